// The logo conversion with bitmaps written out byte by byte: the header rules, the pixel
// reader, runs and their tolerance, the search, the encoding and the preview decoder.
#include "meter/logo_conversion.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace vireo {
namespace {

namespace fs = std::filesystem;

struct Rgb {
  uint8_t r, g, b;
};
using PixelFn = std::function<Rgb(int x, int y)>;  // y counts from the top

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

// A BMP file: file header, 40-byte info header, rows padded to 4 bytes, bottom-up when the
// height is positive.
std::vector<uint8_t> Bmp(const PixelFn& pixel, int width = 128, int height = 128, int bits = 24) {
  const int rows = std::abs(height);
  const size_t stride = (width * (bits / 8) + 3) / 4 * 4;
  std::vector<uint8_t> file(54 + rows * stride, 0);
  file[0] = 'B';
  file[1] = 'M';
  Put32(file, 2, static_cast<uint32_t>(file.size()));
  Put32(file, 10, 54);
  Put32(file, 14, 40);
  Put32(file, 18, static_cast<uint32_t>(width));
  Put32(file, 22, static_cast<uint32_t>(height));
  Put16(file, 26, 1);
  Put16(file, 28, static_cast<uint16_t>(bits));
  for (int stored = 0; stored < rows; ++stored) {
    const int y = height > 0 ? rows - 1 - stored : stored;
    for (int x = 0; x < width; ++x) {
      const Rgb c = pixel(x, y);
      uint8_t* p = &file[54 + stored * stride + x * (bits / 8)];
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
    }
  }
  return file;
}

PixelFn Solid(Rgb c) {
  return [c](int, int) { return c; };
}

// Pixels given as a list from the top left, the rest alternating black and white.
PixelFn Leading(std::vector<Rgb> first) {
  return [first](int x, int y) {
    const size_t i = static_cast<size_t>(y) * 128 + x;
    if (i < first.size())
      return first[i];
    return i % 2 ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
  };
}

LogoPixels Pixels(const PixelFn& pixel) {
  auto pixels = DecodeLogoPixels(Bmp(pixel));
  EXPECT_TRUE(pixels.has_value());
  return pixels.value_or(LogoPixels(65536));
}

class LogoFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-logo-XXXXXX";
    folder_ = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path path = folder_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }
  static std::vector<uint8_t> Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  fs::path folder_;
};

TEST_F(LogoFileTest, OnlyA24Bit128By128BottomUpBitmapIsAccepted) {
  const PixelFn grey = Solid({9, 9, 9});
  EXPECT_TRUE(CheckLogoBitmap(Write("ok.bmp", Bmp(grey))));
  EXPECT_FALSE(CheckLogoBitmap(Write("topdown.bmp", Bmp(grey, 128, -128))));
  EXPECT_FALSE(CheckLogoBitmap(Write("32.bmp", Bmp(grey, 128, 128, 32))));
  EXPECT_FALSE(CheckLogoBitmap(Write("wide.bmp", Bmp(grey, 129, 128))));
  EXPECT_FALSE(CheckLogoBitmap((folder_ / "missing.bmp").string()));
  // Only the info header's three fields count: no signature, no compression is looked at.
  auto odd = Bmp(grey);
  odd[0] = 'X';
  Put32(odd, 30, 1);
  odd.resize(54);
  EXPECT_TRUE(CheckLogoBitmap(Write("odd.bmp", odd)));
  odd.resize(53);
  EXPECT_FALSE(CheckLogoBitmap(Write("short.bmp", odd)));
}

TEST(LogoPixelsTest, RowsAreReadFromTheBottomUpIntoTopRowFirstPixels) {
  const auto pixels = Pixels([](int x, int y) {
    return Rgb{static_cast<uint8_t>(y), static_cast<uint8_t>(x), static_cast<uint8_t>(x ^ y)};
  });
  ASSERT_EQ(pixels.size(), 65536u);
  // Pixel (x=5, y=0) and (x=1, y=127): blue, green, red, unused.
  EXPECT_EQ(std::vector<uint8_t>(pixels.begin() + 20, pixels.begin() + 24),
            (std::vector<uint8_t>{5, 5, 0, 0}));
  const size_t at = (127 * 128 + 1) * 4;
  EXPECT_EQ(std::vector<uint8_t>(pixels.begin() + at, pixels.begin() + at + 4),
            (std::vector<uint8_t>{126, 1, 127, 0}));
}

TEST(LogoPixelsTest, TopDownAnd32BitRowsReadTheSame) {
  const PixelFn pattern = [](int x, int y) {
    return Rgb{static_cast<uint8_t>(x * 2), static_cast<uint8_t>(y), 77};
  };
  const auto expected = DecodeLogoPixels(Bmp(pattern));
  ASSERT_TRUE(expected);
  EXPECT_EQ(DecodeLogoPixels(Bmp(pattern, 128, -128)), expected);
  EXPECT_EQ(DecodeLogoPixels(Bmp(pattern, 128, 128, 32)), expected);
}

TEST_F(LogoFileTest, AFileWhoseRowsAreCutShortGivesNoPixels) {
  auto file = Bmp(Solid({1, 2, 3}));
  EXPECT_TRUE(LoadLogoPixels(Write("whole.bmp", file)));
  file.pop_back();
  EXPECT_FALSE(LoadLogoPixels(Write("cut.bmp", file)));
  EXPECT_FALSE(DecodeLogoPixels(file));
  // Pixels said to start beyond the end of the file.
  auto far = Bmp(Solid({1, 2, 3}));
  Put32(far, 10, 0xFFFFFFF0);
  EXPECT_FALSE(DecodeLogoPixels(far));
  EXPECT_EQ(FindLogoTolerance(Write("far.bmp", far)), 1000);
}

TEST(LogoRunTest, OneColourMakes256RunsOf64AndThePatchStartsAsItShould) {
  const auto pixels = Pixels(Solid({255, 0, 0}));
  EXPECT_EQ(MeasureLogo(pixels, 0), 521u);
  EXPECT_EQ(FindLogoTolerance(pixels), 0);
  LogoPatchBytes patch{};
  LogoHeader header;
  EXPECT_EQ(ConvertLogo(pixels, 0, header, patch), 521u);
  EXPECT_EQ(header.runCount, 256u);
  const std::vector<uint8_t> head = {0x80, 0x00, 0x80, 0x00, 0x11, 0x00, 0x01, 0x00, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(patch.begin(), patch.begin() + 9), head);
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(patch[9 + 2 * i], 0xE0) << i;
    ASSERT_EQ(patch[10 + 2 * i], 0x40) << i;
  }
  EXPECT_EQ(patch[9 + 512], 0x00);
}

TEST(LogoRunTest, BlackAndWhiteAlternatingFitsNoTolerance) {
  const auto pixels = Pixels(Leading({}));
  EXPECT_EQ(MeasureLogo(pixels, 999), 32777u);
  EXPECT_EQ(FindLogoTolerance(pixels), 1000);
  LogoPatchBytes patch;
  patch.fill(0x5C);
  LogoHeader header;
  EXPECT_EQ(ConvertLogo(pixels, 0, header, patch), 32777u);
  EXPECT_EQ(patch, [] {
    LogoPatchBytes same;
    same.fill(0x5C);
    return same;
  }());
}

struct Join {
  int tolerance;
  uint8_t difference;
  bool joins;
};

class ToleranceTest : public ::testing::TestWithParam<Join> {};

TEST_P(ToleranceTest, AChannelJoinsWhenItsDifferenceIsWithinTheTolerance) {
  const Join j = GetParam();
  // Each channel in turn differs from the run's first pixel; the others are equal.
  for (int channel = 0; channel < 3; ++channel) {
    Rgb first{100, 100, 100};
    Rgb second = first;
    uint8_t* c = channel == 0 ? &second.r : channel == 1 ? &second.g : &second.b;
    *c = static_cast<uint8_t>(std::min(255, 100 + j.difference));
    if (j.difference > 155) {
      first = {0, 0, 0};
      second = {0, 0, 0};
      *(channel == 0 ? &second.r : channel == 1 ? &second.g : &second.b) = j.difference;
    }
    const auto pixels = Pixels(Leading({first, second, {128, 0, 255}}));
    EXPECT_EQ(FindColourRun(pixels, 0, j.tolerance).length, j.joins ? 2 : 1)
        << "channel " << channel;
  }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, ToleranceTest,
                         ::testing::Values(Join{200, 51, true}, Join{200, 52, false},
                                           Join{0, 0, true}, Join{0, 1, false}, Join{4, 1, true},
                                           Join{3, 1, false}, Join{999, 254, true},
                                           Join{999, 255, false}));

TEST(LogoRunTest, SixtyFivePixelsOfOneColourMakeARunOf64AndOneOf1) {
  const auto pixels = Pixels(Leading(std::vector<Rgb>(65, Rgb{10, 200, 30})));
  const ColourRun first = FindColourRun(pixels, 0, 0);
  EXPECT_EQ(first.length, 64);
  EXPECT_EQ(first.red, 10);
  EXPECT_EQ(first.green, 200);
  EXPECT_EQ(first.blue, 30);
  EXPECT_EQ(FindColourRun(pixels, 64 * 4, 0).length, 1);
  EXPECT_EQ(FindColourRun(pixels, 65 * 4, 0).length, 1);
}

TEST(LogoRunTest, ARunGoesOnFromTheEndOfARowIntoTheNext) {
  std::vector<Rgb> lead(136, Rgb{0, 0, 0});
  for (int i = 0; i < 136; ++i)
    lead[i] = i >= 120 ? Rgb{50, 50, 50} : (i % 2 ? Rgb{255, 255, 255} : Rgb{0, 0, 0});
  const auto pixels = Pixels(Leading(lead));
  EXPECT_EQ(FindColourRun(pixels, 120 * 4, 0).length, 16);
}

TEST(LogoRunTest, ARunIsMeasuredAgainstItsFirstPixel) {
  std::vector<Rgb> gradient;
  for (int i = 0; i < 10; ++i)
    gradient.push_back({static_cast<uint8_t>(i), 0, 0});
  const auto pixels = Pixels(Leading(gradient));
  // Tolerance 8 allows a difference of 2: values 0, 1, 2 join, 3 does not.
  EXPECT_EQ(FindColourRun(pixels, 0, 8).length, 3);
  EXPECT_EQ(FindColourRun(pixels, 3 * 4, 8).length, 3);
}

TEST(LogoRunTest, TheLastPixelsOfThePictureEndTheirRun) {
  const auto pixels = Pixels(Solid({1, 1, 1}));
  EXPECT_EQ(FindColourRun(pixels, 65536 - 4, 0).length, 1);
  EXPECT_EQ(FindColourRun(pixels, 65536 - 12, 0).length, 3);
}

TEST(LogoSearchTest, TheSearchFindsTheSmallestToleranceThatFits) {
  // A checkerboard of 0 and 60: every pixel is a run of its own until a difference of 60
  // joins, from tolerance 236 on.
  const auto pixels = Pixels([](int x, int y) {
    const uint8_t v = static_cast<uint8_t>((x + y) % 2 ? 60 : 0);
    return Rgb{v, v, v};
  });
  const int found = FindLogoTolerance(pixels);
  ASSERT_LT(found, 1000);
  EXPECT_LE(MeasureLogo(pixels, found), 4096u);
  for (int t = 0; t < found; ++t)
    ASSERT_GT(MeasureLogo(pixels, t), 4096u) << t;
  EXPECT_EQ(found, 236);  // 60 × 1000 / 255 = 235.3, rounded up
}

TEST(LogoConvertTest, BytesAfterTheLastRunKeepAnEarlierConversion) {
  LogoPatchBytes patch{};
  LogoHeader header;
  // 1800 single pixels and 228 runs of blue: 4065 bytes.
  std::vector<Rgb> busy;
  for (int i = 0; i < 1800; ++i)
    busy.push_back(i % 2 ? Rgb{255, 255, 255} : Rgb{0, 0, 0});
  const auto busyPixels = Pixels([&busy](int x, int y) {
    const size_t i = static_cast<size_t>(y) * 128 + x;
    return i < busy.size() ? busy[i] : Rgb{0, 0, 255};
  });
  ASSERT_EQ(ConvertLogo(busyPixels, 0, header, patch), 4065u);
  const LogoPatchBytes before = patch;

  EXPECT_EQ(ConvertLogo(Pixels(Solid({255, 255, 255})), 0, header, patch), 521u);
  EXPECT_EQ(Get32(std::vector<uint8_t>(patch.begin(), patch.end()), 5), 256u);
  EXPECT_EQ(patch[9], 0xFF);
  EXPECT_TRUE(std::equal(patch.begin() + 521, patch.end(), before.begin() + 521));
}

TEST(LogoConvertTest, TheNoticeSaysWhetherThePictureFits) {
  TextTable texts;
  texts.texts[TXT_NOTICE] = "Logo data";
  texts.texts[TXT_NOTICE_FITS] = "fits";
  texts.texts[TXT_NOTICE_TOO_BIG] = "too big";
  EXPECT_EQ(LogoNotice(texts, 4095), "Logo data fits");
  EXPECT_EQ(LogoNotice(texts, 4096), "Logo data fits");
  EXPECT_EQ(LogoNotice(texts, 4097), "Logo data too big: >4096");
  EXPECT_EQ(LogoPreviewName("/home/u/cat.bmp"), "/home/u/cat.bmp_Tarndeal.bmp");
}

// A patch of the given format with its runs (colour, length), after a 9-byte header.
LogoPatchBytes Patch(uint16_t w, uint16_t h, uint8_t format, uint32_t runCount,
                     const std::vector<uint8_t>& records) {
  LogoPatchBytes patch{};
  patch[0] = static_cast<uint8_t>(w);
  patch[1] = static_cast<uint8_t>(w >> 8);
  patch[2] = static_cast<uint8_t>(h);
  patch[3] = static_cast<uint8_t>(h >> 8);
  patch[4] = format;
  for (int i = 0; i < 4; ++i)
    patch[5 + i] = static_cast<uint8_t>(runCount >> (8 * i));
  std::copy(records.begin(), records.end(), patch.begin() + 9);
  return patch;
}

// The preview pixel (blue, green, red) at x, y from the top, of a bitmap w wide and h high.
std::vector<uint8_t> PreviewPixel(const std::vector<uint8_t>& bmp, int w, int h, int x, int y) {
  const size_t stride = (3 * w + 3) / 4 * 4;
  const size_t at = 54 + (h - 1 - y) * stride + 3 * x;
  return {bmp[at], bmp[at + 1], bmp[at + 2]};
}

TEST(LogoPreviewTest, TheHeadersRowPaddingAndTrailerAreAsDesigned) {
  // 3 × 2 pixels: rows of 9 bytes padded to 12.
  const auto bmp = EncodeLogoPreview(Patch(3, 2, 0x11, 2, {0xE0, 4, 0x03, 2}));
  ASSERT_TRUE(bmp);
  ASSERT_EQ(bmp->size(), 54u + 2 * 12 + 2);
  const std::vector<uint8_t> fileHeader = {'B', 'M', 80, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(bmp->begin(), bmp->begin() + 14), fileHeader);
  const std::vector<uint8_t> info = {40,   0,    0, 0, 3, 0, 0,  0, 2, 0, 0,    0,    1, 0,
                                     24,   0,    0, 0, 0, 0, 26, 0, 0, 0, 0x12, 0x0B, 0, 0,
                                     0x12, 0x0B, 0, 0, 0, 0, 0,  0, 0, 0, 0,    0};
  EXPECT_EQ(std::vector<uint8_t>(bmp->begin() + 14, bmp->begin() + 54), info);
  // Top row: red, red, red; bottom row: red, blue, blue. Padding and trailer are zero.
  EXPECT_EQ(PreviewPixel(*bmp, 3, 2, 2, 0), (std::vector<uint8_t>{0, 0, 255}));
  EXPECT_EQ(PreviewPixel(*bmp, 3, 2, 0, 1), (std::vector<uint8_t>{0, 0, 255}));
  EXPECT_EQ(PreviewPixel(*bmp, 3, 2, 1, 1), (std::vector<uint8_t>{255, 0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(bmp->begin() + 54 + 9, bmp->begin() + 54 + 12),
            std::vector<uint8_t>(3, 0));
  EXPECT_EQ(std::vector<uint8_t>(bmp->end() - 2, bmp->end()), std::vector<uint8_t>(2, 0));
}

TEST(LogoPreviewTest, Rgb332ExpandsByTruncatingArithmetic) {
  const auto bmp = EncodeLogoPreview(Patch(2, 1, 0x11, 2, {0xFF, 1, 0x92, 1}));
  ASSERT_TRUE(bmp);
  EXPECT_EQ(PreviewPixel(*bmp, 2, 1, 0, 0), (std::vector<uint8_t>{255, 255, 255}));
  EXPECT_EQ(PreviewPixel(*bmp, 2, 1, 1, 0), (std::vector<uint8_t>{170, 145, 145}));
}

TEST(LogoPreviewTest, AllFourFormatsDecode) {
  // Colour 0xF81F in RGB565 is magenta: red 0xF8, green 0, blue 0xF8.
  const struct {
    uint8_t format;
    std::vector<uint8_t> records;
  } cases[] = {
      {0x11, {0xE3, 3}},
      {0x12, {0xE3, 3, 0}},
      {0x21, {0x1F, 0xF8, 3}},
      {0x22, {0x1F, 0xF8, 3, 0}},
  };
  for (const auto& c : cases) {
    const auto bmp = EncodeLogoPreview(Patch(3, 1, c.format, 1, c.records));
    ASSERT_TRUE(bmp) << int{c.format};
    const bool wide = c.format >= 0x21;
    const std::vector<uint8_t> expected =
        wide ? std::vector<uint8_t>{0xF8, 0, 0xF8} : std::vector<uint8_t>{255, 0, 255};
    EXPECT_EQ(PreviewPixel(*bmp, 3, 1, 2, 0), expected) << int{c.format};
  }
  // A long run of format 0x12 covers more than 255 pixels.
  const auto bmp = EncodeLogoPreview(Patch(300, 1, 0x12, 1, {0x1C, 0x2C, 0x01}));
  ASSERT_TRUE(bmp);
  EXPECT_EQ(PreviewPixel(*bmp, 300, 1, 299, 0), (std::vector<uint8_t>{0, 255, 0}));
  EXPECT_FALSE(EncodeLogoPreview(Patch(3, 1, 0x13, 1, {0xFF, 1})));
}

TEST(LogoPreviewTest, RunsBeyondThePictureAreCutAndUnreachedPixelsStayBlack) {
  // Two runs: the first covers 5 of 4 pixels; runs of length 0 draw nothing.
  const auto cut = EncodeLogoPreview(Patch(2, 2, 0x11, 3, {0x03, 0, 0xFF, 5, 0xE0, 9}));
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->size(), 54u + 2 * 8 + 2);
  EXPECT_EQ(PreviewPixel(*cut, 2, 2, 1, 1), (std::vector<uint8_t>{255, 255, 255}));
  // A run count far beyond the patch reads no further than its 4096 bytes.
  LogoPatchBytes endless = Patch(128, 128, 0x11, 0xFFFFFFFF, {});
  for (size_t i = 9; i + 1 < endless.size(); i += 2) {
    endless[i] = 0x1C;
    endless[i + 1] = 1;
  }
  const auto bmp = EncodeLogoPreview(endless);
  ASSERT_TRUE(bmp);
  EXPECT_EQ(bmp->size(), 49208u);
  EXPECT_EQ(PreviewPixel(*bmp, 128, 128, 2042 % 128, 2042 / 128),
            (std::vector<uint8_t>{0, 255, 0}));
  EXPECT_EQ(PreviewPixel(*bmp, 128, 128, 2043 % 128, 2043 / 128), (std::vector<uint8_t>{0, 0, 0}));
  // A picture too large to be a logo is not drawn.
  EXPECT_FALSE(EncodeLogoPreview(Patch(0xFFFF, 0xFFFF, 0x11, 1, {0xFF, 1})));
}

TEST_F(LogoFileTest, ThePreviewOfAConversionIsWrittenBesideTheSource) {
  const std::string source = Write("cat.bmp", Bmp(Solid({255, 0, 0})));
  const auto pixels = LoadLogoPixels(source);
  ASSERT_TRUE(pixels);
  LogoPatchBytes patch{};
  LogoHeader header;
  ASSERT_EQ(ConvertLogo(*pixels, 0, header, patch), 521u);
  const std::string preview = LogoPreviewName(source);
  ASSERT_TRUE(WriteLogoPreview(preview, patch));
  const auto bytes = Read(preview);
  ASSERT_EQ(bytes.size(), 49208u);
  EXPECT_EQ(Get32(bytes, 2), 49208u);
  EXPECT_EQ(PreviewPixel(bytes, 128, 128, 127, 127), (std::vector<uint8_t>{0, 0, 255}));
  EXPECT_FALSE(fs::exists(preview + ".tmp"));
  // The preview decodes back to the same picture.
  EXPECT_TRUE(CheckLogoBitmap(preview));
  EXPECT_EQ(LoadLogoPixels(preview), pixels);
  EXPECT_FALSE(WriteLogoPreview((folder_ / "no/such/folder.bmp").string(), patch));
}

}  // namespace
}  // namespace vireo
