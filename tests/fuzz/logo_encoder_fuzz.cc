// Fuzz target: a bitmap file through the header check, the pixel reader, the tolerance search
// and the encoder. A fitting encoding never claims more runs than its bytes hold.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "meter/logo_conversion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vireo;
  const std::span<const uint8_t> file(data, size);
  CheckLogoBitmapHeader(file);
  const auto pixels = DecodeLogoPixels(file);
  if (!pixels)
    return 0;
  if (pixels->size() != kLogoPixelBytes)
    std::abort();
  const int tolerance = size > 0 ? data[size - 1] * 4 % 1000 : 0;
  const int found = FindLogoTolerance(*pixels);
  if (found < kNoLogoTolerance && MeasureLogo(*pixels, found) > 4096)
    std::abort();
  LogoPatchBytes patch{};
  LogoHeader header;
  const uint32_t encoded = ConvertLogo(*pixels, tolerance, header, patch);
  if (encoded != MeasureLogo(*pixels, tolerance))
    std::abort();
  if (encoded <= 4096 && 9 + 2 * header.runCount != encoded)
    std::abort();
  if (encoded <= 4096 && !EncodeLogoPreview(patch))
    std::abort();
  return 0;
}
