// Firmware image files: the image table, the header rules in their order, reading files with
// a bound, and the logo patch. Images are built here byte by byte.
#include "meter/firmware_image.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "meter/meter_link.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;

const uint8_t kProduct[16] = {0x01, 0x0D, 0xA4, 0x4B, 0x3B, 0x45, 0x79, 0x4D,
                              0x01, 0xDD, 0x22, 0xC6, 0x79, 0x60, 0xD9, 0x65};
constexpr uint32_t kArea = 51200;

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

// Sets the header's XOR and sum and the trailing sum from the payload.
void Seal(std::vector<uint8_t>& image) {
  uint8_t x = 0;
  uint32_t sum = 0;
  for (size_t i = 48; i + 4 < image.size(); ++i) {
    x ^= image[i];
    sum += image[i];
  }
  Put32(image, 40, x);
  Put32(image, 44, sum);
  Put32(image, image.size() - 4, sum);
}

// A valid decoded image with a payload of `length` bytes (trailing sum included).
std::vector<uint8_t> Image(uint32_t length, bool logoMark = false) {
  std::vector<uint8_t> image(48 + length);
  const char magic[] = "vornapp";
  std::copy(magic, magic + 7, image.begin());
  image[7] = 0xE8;  // 2024
  image[8] = 0x07;
  image[9] = 6;
  image[10] = 30;
  std::copy(std::begin(kProduct), std::end(kProduct), image.begin() + 20);
  Put32(image, 36, length);
  for (size_t i = 48; i + 4 < image.size(); ++i)
    image[i] = static_cast<uint8_t>(i * 7 + 3);
  if (logoMark) {
    const uint8_t mark[] = {0x80, 0x00, 0x80, 0x00, 0x11};
    std::copy(std::begin(mark), std::end(mark), image.begin() + 5168);
  }
  Seal(image);
  return image;
}

ImageRule Check(const std::vector<uint8_t>& image) {
  return CheckImage(image, std::span<const uint8_t, 16>(kProduct), kArea).failed;
}

TEST(ImageTableTest, StoredBytesReadThroughTheTable) {
  std::vector<uint8_t> bytes = {0x00, 0x01, 0x10, 0x7F, 0xC3, 0xFF};
  DecodeImage(bytes);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0xE9, 0xD4, 0x95, 0x7E, 0x00, 0x04}));
}

TEST(CheckImageTest, AWellFormedImageIsValidAndDescribed) {
  const auto image = Image(1000, false);
  const ImageCheck c = CheckImage(image, std::span<const uint8_t, 16>(kProduct), kArea);
  EXPECT_TRUE(c.valid());
  EXPECT_EQ(c.year, 2024);
  EXPECT_EQ(c.month, 6);
  EXPECT_EQ(c.day, 30);
  EXPECT_EQ(c.payloadLength, 1000u);
  EXPECT_EQ(c.fileLength, 1048u);
  EXPECT_EQ(c.payloadSum, Get32(image, 44));
  EXPECT_EQ(c.trailingSum, Get32(image, 1044));
  EXPECT_FALSE(c.logoMarked);
  EXPECT_TRUE(
      CheckImage(Image(10000, true), std::span<const uint8_t, 16>(kProduct), kArea).logoMarked);
}

struct Breakage {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> apply;
  ImageRule expected;
};

class ImageRuleTest : public ::testing::TestWithParam<Breakage> {};

TEST_P(ImageRuleTest, TheFirstRuleThatFailsIsNamed) {
  auto image = Image(2000);
  GetParam().apply(image);
  EXPECT_EQ(Check(image), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ImageRuleTest,
    ::testing::Values(
        Breakage{"Magic", [](auto& b) { b[6] = 'P'; }, ImageRule::kMagic},
        Breakage{"MagicBeforeMonth",
                 [](auto& b) {
                   b[0] = 'V';
                   b[9] = 13;
                 },
                 ImageRule::kMagic},
        Breakage{"Year2050",
                 [](auto& b) {
                   b[7] = 0x02;  // 2050
                   b[8] = 0x08;
                 },
                 ImageRule::kYear},
        Breakage{"Month13", [](auto& b) { b[9] = 13; }, ImageRule::kMonth},
        Breakage{"Day32", [](auto& b) { b[10] = 32; }, ImageRule::kDay},
        Breakage{"DayBeforeProduct",
                 [](auto& b) {
                   b[10] = 40;
                   b[20] ^= 1;
                 },
                 ImageRule::kDay},
        Breakage{"Product", [](auto& b) { b[35] ^= 0x80; }, ImageRule::kProduct},
        Breakage{"LengthField", [](auto& b) { Put32(b, 36, 1999); }, ImageRule::kLength},
        Breakage{"FileLonger", [](auto& b) { b.push_back(0); }, ImageRule::kLength},
        Breakage{"XorAboveAByteNeverMatches", [](auto& b) { Put32(b, 40, 0x00000123); },
                 ImageRule::kXor},
        Breakage{"PayloadByte", [](auto& b) { b[100] ^= 0x01; }, ImageRule::kXor},
        Breakage{"Sum", [](auto& b) { Put32(b, 44, Get32(b, 44) + 1); }, ImageRule::kSum},
        Breakage{"TrailingSum", [](auto& b) { b[b.size() - 1] ^= 0x40; }, ImageRule::kTrailingSum},
        Breakage{"ShorterThanTheHeader", [](auto& b) { b.resize(47); }, ImageRule::kTooShort},
        Breakage{"PayloadOfThreeBytes",
                 [](auto& b) {
                   b.resize(51);
                   Put32(b, 36, 3);
                 },
                 ImageRule::kTooShort}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CheckImageTest, MonthAndDayZeroAndTheLastAcceptedValuesPass) {
  auto image = Image(500);
  image[9] = 0;
  image[10] = 0;
  EXPECT_EQ(Check(image), ImageRule::kNone);
  image[7] = 0x01;  // 2049
  image[8] = 0x08;
  image[9] = 12;
  image[10] = 31;
  EXPECT_EQ(Check(image), ImageRule::kNone);
}

TEST(CheckImageTest, APayloadOfOnlyItsTrailingSumIsValid) {
  EXPECT_EQ(Check(Image(4)), ImageRule::kNone);
}

TEST(CheckImageTest, APayloadLongerThanTheApplicationAreaIsRefused) {
  EXPECT_EQ(Check(Image(51200)), ImageRule::kNone);
  EXPECT_EQ(Check(Image(51201)), ImageRule::kSize);
}

class ImageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-image-XXXXXX";
    folder_ = mkdtemp(pattern);
    link_.Configure();
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Stores the decoded bytes as a file would hold them (through the table's inverse).
  std::string Write(const std::string& name, const std::vector<uint8_t>& plain) {
    uint8_t inverse[256];
    std::vector<uint8_t> all(256);
    for (int b = 0; b < 256; ++b)
      all[b] = static_cast<uint8_t>(b);
    DecodeImage(all);
    for (int b = 0; b < 256; ++b)
      inverse[all[b]] = static_cast<uint8_t>(b);
    std::ofstream out(folder_ / name, std::ios::binary);
    for (uint8_t b : plain)
      out.put(static_cast<char>(inverse[b]));
    return (folder_ / name).string();
  }

  fs::path folder_;
  MeterLink link_;
};

TEST_F(ImageFileTest, AStoredImageIsDecodedAndChecked) {
  EXPECT_TRUE(link_.CheckImage(Write("a.lrm", Image(3000))).valid());
}

TEST_F(ImageFileTest, MissingFilesAndFoldersAreUnreadable) {
  EXPECT_EQ(link_.CheckImage((folder_ / "none.lrm").string()).failed, ImageRule::kUnreadable);
  EXPECT_EQ(link_.CheckImage(folder_.string()).failed, ImageRule::kUnreadable);
}

TEST_F(ImageFileTest, AFileLongerThanAnyImageIsRefusedBeforeItIsRead) {
  const std::string path = Write("big.lrm", Image(51200));
  {
    std::ofstream grow(path, std::ios::binary | std::ios::app);
    grow.put(0);
  }
  bool tooLong = false;
  EXPECT_FALSE(ReadImageFile(path, 48 + 51200, &tooLong));
  EXPECT_TRUE(tooLong);
  EXPECT_EQ(link_.CheckImage(path).failed, ImageRule::kSize);
  // A sparse file of 4 GiB costs nothing to refuse.
  const std::string huge = (folder_ / "huge.lrm").string();
  { std::ofstream(huge, std::ios::binary).put(0); }
  fs::resize_file(huge, uint64_t{1} << 32);
  EXPECT_EQ(link_.CheckImage(huge).failed, ImageRule::kSize);
}

TEST(LogoPatchTest, AMarkedAreaTakesTheLogoAndTheTrailingSumIsRenewed) {
  auto image = Image(12000, true);
  const auto original = image;
  LogoPatchBytes logo;
  for (size_t i = 0; i < logo.size(); ++i)
    logo[i] = static_cast<uint8_t>(i % 251);
  ASSERT_TRUE(ApplyLogoPatch(image, logo));
  EXPECT_TRUE(std::equal(logo.begin(), logo.end(), image.begin() + 5168));
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 5168, original.begin()));
  EXPECT_TRUE(std::equal(image.begin() + 9264, image.end() - 4, original.begin() + 9264));
  uint32_t sum = 0;
  for (size_t i = 48; i + 4 < image.size(); ++i)
    sum += image[i];
  EXPECT_EQ(Get32(image, image.size() - 4), sum);
  // The header keeps the sums of the image as it came.
  EXPECT_EQ(Get32(image, 40), Get32(original, 40));
  EXPECT_EQ(Get32(image, 44), Get32(original, 44));
}

TEST(LogoPatchTest, AnUnmarkedOrShortImageIsLeftAlone) {
  LogoPatchBytes logo;
  logo.fill(0x5A);
  auto unmarked = Image(12000, true);
  unmarked[5172] = 0x12;
  Seal(unmarked);
  const auto before = unmarked;
  EXPECT_FALSE(ApplyLogoPatch(unmarked, logo));
  EXPECT_EQ(unmarked, before);

  // 9268 bytes hold the logo area and the trailing sum; one byte less does not.
  auto shortest = Image(9220, true);
  EXPECT_TRUE(ApplyLogoPatch(shortest, logo));
  auto tooShort = Image(9219, true);
  const auto shortBefore = tooShort;
  EXPECT_FALSE(ApplyLogoPatch(tooShort, logo));
  EXPECT_EQ(tooShort, shortBefore);
}

}  // namespace
}  // namespace vireo
