#include "meter/firmware_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "base/posix.h"
#include "meter/frame.h"
#include "meter/product_constants.h"

namespace vireo {

namespace {

constexpr char kMagic[] = "vornapp";
constexpr size_t kMagicSize = 7;
constexpr size_t kYearOffset = 7;
constexpr size_t kMonthOffset = 9;
constexpr size_t kDayOffset = 10;
constexpr size_t kProductOffset = 20;
constexpr size_t kPayloadLengthOffset = 36;
constexpr size_t kXorOffset = 40;
constexpr size_t kSumOffset = 44;
constexpr size_t kTrailingSumSize = 4;
constexpr uint8_t kLogoMark[] = {0x80, 0x00, 0x80, 0x00, 0x11};

bool LogoMarked(std::span<const uint8_t> image) {
  return image.size() >= kImageLogoOffset + sizeof kLogoMark &&
         std::equal(std::begin(kLogoMark), std::end(kLogoMark), image.begin() + kImageLogoOffset);
}

}  // namespace

const char* ImageRuleName(ImageRule rule) {
  switch (rule) {
    case ImageRule::kNone:
      return "valid";
    case ImageRule::kUnreadable:
      return "unreadable";
    case ImageRule::kTooShort:
      return "too short";
    case ImageRule::kMagic:
      return "magic";
    case ImageRule::kYear:
      return "year";
    case ImageRule::kMonth:
      return "month";
    case ImageRule::kDay:
      return "day";
    case ImageRule::kProduct:
      return "product identifier";
    case ImageRule::kLength:
      return "length";
    case ImageRule::kXor:
      return "xor";
    case ImageRule::kSum:
      return "sum";
    case ImageRule::kTrailingSum:
      return "trailing sum";
    case ImageRule::kSize:
      return "size";
  }
  return "unknown";
}

void DecodeImage(std::span<uint8_t> bytes) {
  for (uint8_t& b : bytes)
    b = kImageTable[b];
}

uint32_t PayloadXor(std::span<const uint8_t> payloadWithoutSum) {
  uint8_t x = 0;
  for (uint8_t b : payloadWithoutSum)
    x ^= b;
  return x;
}

uint32_t PayloadSum(std::span<const uint8_t> payloadWithoutSum) {
  uint32_t sum = 0;
  for (uint8_t b : payloadWithoutSum)
    sum += b;
  return sum;
}

ImageCheck CheckImage(std::span<const uint8_t> image,
                      std::span<const uint8_t, 16> productIdentifier, uint32_t appSize) {
  ImageCheck c;
  c.fileLength = image.size();
  if (image.size() < kImageHeaderSize) {
    c.failed = ImageRule::kTooShort;
    return c;
  }
  const uint8_t* h = image.data();
  c.year = GetU16(h + kYearOffset);
  c.month = h[kMonthOffset];
  c.day = h[kDayOffset];
  c.payloadLength = GetU32(h + kPayloadLengthOffset);
  c.headerXor = GetU32(h + kXorOffset);
  c.headerSum = GetU32(h + kSumOffset);
  c.logoMarked = LogoMarked(image);
  const size_t length = image.size() - kImageHeaderSize;
  if (length >= kTrailingSumSize)
    c.trailingSum = GetU32(h + image.size() - kTrailingSumSize);

  auto fail = [&c](ImageRule rule) {
    c.failed = rule;
    return c;
  };
  if (std::memcmp(h, kMagic, kMagicSize) != 0)
    return fail(ImageRule::kMagic);
  if (c.year >= 2050)
    return fail(ImageRule::kYear);
  if (c.month >= 13)
    return fail(ImageRule::kMonth);
  if (c.day >= 32)
    return fail(ImageRule::kDay);
  if (!std::equal(productIdentifier.begin(), productIdentifier.end(), h + kProductOffset))
    return fail(ImageRule::kProduct);
  if (c.payloadLength != length)
    return fail(ImageRule::kLength);
  if (length < kTrailingSumSize)
    return fail(ImageRule::kTooShort);

  const auto summed = image.subspan(kImageHeaderSize, length - kTrailingSumSize);
  c.payloadXor = PayloadXor(summed);
  c.payloadSum = PayloadSum(summed);
  if (c.headerXor != c.payloadXor)
    return fail(ImageRule::kXor);
  if (c.headerSum != c.payloadSum)
    return fail(ImageRule::kSum);
  if (c.trailingSum != c.payloadSum)
    return fail(ImageRule::kTrailingSum);
  // It would be written past the application area.
  if (length > appSize)
    return fail(ImageRule::kSize);
  return c;
}

std::optional<std::vector<uint8_t>> ReadImageFile(const std::string& path, size_t maxLength,
                                                  bool* tooLong) {
  if (tooLong)
    *tooLong = false;
  posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (!fd || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
    return std::nullopt;
  if (static_cast<uint64_t>(info.st_size) > maxLength) {
    if (tooLong)
      *tooLong = true;
    return std::nullopt;
  }
  // One byte more than the file said, so a file that grew meanwhile is noticed.
  std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size) + 1);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = posix::RetryOnSignal(
        [&] { return ::read(fd.Get(), bytes.data() + done, bytes.size() - done); });
    if (n < 0)
      return std::nullopt;
    if (n == 0)
      break;
    done += static_cast<size_t>(n);
  }
  if (done > maxLength) {
    if (tooLong)
      *tooLong = true;
    return std::nullopt;
  }
  bytes.resize(done);
  DecodeImage(bytes);
  return bytes;
}

bool ApplyLogoPatch(std::vector<uint8_t>& image, const LogoPatchBytes& logo) {
  if (image.size() < kImageMinLogoFile || !LogoMarked(image))
    return false;
  std::copy(logo.begin(), logo.end(), image.begin() + kImageLogoOffset);
  const size_t end = image.size() - kTrailingSumSize;
  const uint32_t sum =
      PayloadSum(std::span(image).subspan(kImageHeaderSize, end - kImageHeaderSize));
  PutU32(image.data() + end, sum);
  return true;
}

}  // namespace vireo
