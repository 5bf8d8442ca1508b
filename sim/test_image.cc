#include "sim/test_image.h"

#include <algorithm>
#include <fstream>
#include <random>

#include "meter/frame.h"
#include "meter/product_constants.h"

namespace vireo::sim {

namespace {

constexpr uint32_t kHeader = 48;
constexpr uint32_t kLogoOffset = 5120;  // in the payload
constexpr uint32_t kLogoSize = 4096;

}  // namespace

std::vector<uint8_t> MakePlainImage(const TestImageOptions& options) {
  const uint32_t length = std::max<uint32_t>(options.payloadLength, 4);
  std::vector<uint8_t> image(kHeader + length);
  const char magic[] = "vornapp";
  std::copy(magic, magic + 7, image.begin());
  PutU16(&image[7], options.year);
  image[9] = options.month;
  image[10] = options.day;
  std::copy(kProductIdentifier.begin(), kProductIdentifier.end(), image.begin() + 20);
  PutU32(&image[36], length);

  uint8_t* payload = image.data() + kHeader;
  std::mt19937 rng(options.seed);
  std::generate(payload, payload + length - 4, [&] { return static_cast<uint8_t>(rng()); });
  if (options.logoArea && length >= kLogoOffset + kLogoSize + 4) {
    // A logo of one grey: 256 runs of 64 pixels.
    uint8_t* logo = payload + kLogoOffset;
    std::fill_n(logo, kLogoSize, 0);
    const uint8_t header[] = {0x80, 0x00, 0x80, 0x00, 0x11, 0x00, 0x01, 0x00, 0x00};
    std::copy(std::begin(header), std::end(header), logo);
    for (int i = 0; i < 256; ++i) {
      logo[9 + 2 * i] = 0x92;
      logo[10 + 2 * i] = 64;
    }
  } else if (length >= kLogoOffset + 5) {
    payload[kLogoOffset + 4] = 0x12;  // never taken for a marked logo area
  }
  uint8_t x = 0;
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length - 4; ++i) {
    x ^= payload[i];
    sum += payload[i];
  }
  PutU32(&image[40], x);
  PutU32(&image[44], sum);
  PutU32(payload + length - 4, sum);
  return image;
}

std::vector<uint8_t> StoreImage(const std::vector<uint8_t>& plain) {
  const auto stored = InvertTable(kImageTable);
  std::vector<uint8_t> out(plain.size());
  std::transform(plain.begin(), plain.end(), out.begin(), [&](uint8_t b) { return stored[b]; });
  return out;
}

bool WriteTestImage(const std::string& path, const TestImageOptions& options) {
  const std::vector<uint8_t> bytes = StoreImage(MakePlainImage(options));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace vireo::sim
