// Valid firmware images for tests and demos, made the way the meter's images are laid out:
// a header with the date, the product identifier, the payload length, XOR and sum, then the
// payload with its trailing sum, all stored through the inverse of the image table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vireo::sim {

struct TestImageOptions {
  uint32_t payloadLength = 51200;  // including the trailing sum; at least 4
  bool logoArea = true;  // the payload carries a marked logo area (needs 9220 bytes or more)
  uint16_t year = 2024;
  uint8_t month = 5;
  uint8_t day = 17;
  uint32_t seed = 1;  // the payload's bytes follow from it
};

// The image as it reads after decoding: header and payload.
std::vector<uint8_t> MakePlainImage(const TestImageOptions& options = {});
// The same as it is stored in a file.
std::vector<uint8_t> StoreImage(const std::vector<uint8_t>& plain);
// Writes the stored image to path; false when it cannot.
bool WriteTestImage(const std::string& path, const TestImageOptions& options = {});

}  // namespace vireo::sim
