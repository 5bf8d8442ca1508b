// Fuzz target: a stored firmware image file through decoding, the header rules and the logo
// patch. Whatever the bytes, the check names one rule and the patch stays inside the image.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "meter/firmware_image.h"
#include "meter/product_constants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vireo;
  std::vector<uint8_t> image(data, data + size);
  DecodeImage(image);
  const ImageCheck check = CheckImage(image, kProductIdentifier, 51200);
  if (check.fileLength != size)
    std::abort();
  if (check.valid() && (size < kImageHeaderSize + 4 || size > kImageHeaderSize + 51200))
    std::abort();
  LogoPatchBytes logo;
  logo.fill(0xA5);
  const size_t before = image.size();
  if (ApplyLogoPatch(image, logo) && !check.logoMarked)
    std::abort();
  if (image.size() != before)
    std::abort();
  return 0;
}
