// Firmware image files (.lrm): reading them through the image table, the header rules, and
// the logo patch. Pure functions of bytes, apart from ReadImageFile.
//
// After substitution an image is a 48-byte header (magic "vornapp", date, product identifier,
// payload length, XOR and sum of the payload) followed by the payload, whose last four bytes
// repeat the sum. The payload is flashed from the application start on.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vireo {

inline constexpr size_t kImageHeaderSize = 48;
inline constexpr size_t kImageLogoOffset = 5168;  // file offset; payload offset 5120
inline constexpr size_t kLogoPatchSize = 4096;
// A file must reach past the logo area and the trailing sum to take the logo patch.
inline constexpr size_t kImageMinLogoFile = 9268;

using LogoPatchBytes = std::array<uint8_t, kLogoPatchSize>;

// The rules of an image, in the order they are tested; kNone when all hold.
enum class ImageRule {
  kNone,
  kUnreadable,   // the file cannot be opened or read
  kTooShort,     // shorter than the header, or a payload shorter than its trailing sum
  kMagic,        // bytes 0..6 are not "vornapp"
  kYear,         // year 2050 or later
  kMonth,        // month 13 or more
  kDay,          // day 32 or more
  kProduct,      // another product's identifier
  kLength,       // the payload length is not the file length minus 48
  kXor,          // header XOR differs from the payload's
  kSum,          // header sum differs from the payload's
  kTrailingSum,  // the payload's last four bytes differ from its sum
  kSize,         // the payload is longer than the application area
};

// A short name of the rule for the log and the command line: "magic", "year", ...
const char* ImageRuleName(ImageRule rule);

// What the check found: the first rule that failed, and the header's fields as far as the
// file has them.
struct ImageCheck {
  ImageRule failed = ImageRule::kNone;
  size_t fileLength = 0;
  uint16_t year = 0;
  uint8_t month = 0;
  uint8_t day = 0;
  uint32_t payloadLength = 0;
  uint32_t headerXor = 0;
  uint32_t headerSum = 0;
  uint32_t trailingSum = 0;
  uint32_t payloadXor = 0;  // computed over payload bytes 0..L-5, when the length holds
  uint32_t payloadSum = 0;
  bool logoMarked = false;  // the logo area starts with 80 00 80 00 11

  bool valid() const { return failed == ImageRule::kNone; }
};

// Turns stored bytes into the image's own bytes through the image table, in place.
void DecodeImage(std::span<uint8_t> bytes);

// Checks the image's own (decoded) bytes against the rules for a meter with this product
// identifier and application area size.
ImageCheck CheckImage(std::span<const uint8_t> image,
                      std::span<const uint8_t, 16> productIdentifier, uint32_t appSize);

// Reads and decodes an image file whole. A file that cannot be read, or that is longer than
// maxLength (tested before anything is allocated), gives no bytes; tooLong then says which.
std::optional<std::vector<uint8_t>> ReadImageFile(const std::string& path, size_t maxLength,
                                                  bool* tooLong = nullptr);

// The payload's XOR and sum over bytes 0..L-5, as the header keeps them.
uint32_t PayloadXor(std::span<const uint8_t> payloadWithoutSum);
uint32_t PayloadSum(std::span<const uint8_t> payloadWithoutSum);

// Copies the logo over the logo area and renews the trailing sum, when the image is long
// enough and its logo area is marked. The header's XOR and sum stay as they were. True when
// the image was patched.
bool ApplyLogoPatch(std::vector<uint8_t>& image, const LogoPatchBytes& logo);

}  // namespace vireo
