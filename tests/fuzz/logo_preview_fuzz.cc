// Fuzz target: any 4096 bytes as a logo through the preview decoder. The bitmap it makes is
// exactly as long as its header says, whatever the header and runs claim.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "meter/logo_conversion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vireo;
  LogoPatchBytes patch{};
  std::copy_n(data, std::min(size, patch.size()), patch.begin());
  const auto bmp = EncodeLogoPreview(patch);
  if (!bmp)
    return 0;
  const uint32_t w = patch[0] | patch[1] << 8;
  const uint32_t h = patch[2] | patch[3] << 8;
  const size_t stride = (3 * size_t{w} + 3) / 4 * 4;
  if (bmp->size() != 54 + h * stride + 2)
    std::abort();
  return 0;
}
