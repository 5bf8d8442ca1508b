#include "meter/logo_conversion.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/posix.h"

namespace vireo {

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
constexpr size_t kRunWindow = 255;
constexpr size_t kLogoHeaderSize = 9;
constexpr uint32_t kLogoLimit = 4096;
// A bitmap whose pixels start further in than this is not read.
constexpr size_t kMaxPixelOffset = 1 << 20;
// The largest preview drawn: far beyond any logo, small enough to allocate without a second
// thought.
constexpr uint64_t kMaxPreviewPixels = 1 << 22;

uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
int32_t S32(const uint8_t* p) {
  return static_cast<int32_t>(U32(p));
}
void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put32At(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Up to maxBytes from the start of a regular file; nothing when it cannot be read.
std::optional<std::vector<uint8_t>> ReadPrefix(const std::string& path, size_t maxBytes) {
  posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    return std::nullopt;
  std::vector<uint8_t> bytes(maxBytes);
  size_t done = 0;
  while (done < maxBytes) {
    const ssize_t n = posix::RetryOnSignal(
        [&] { return ::read(fd.Get(), bytes.data() + done, maxBytes - done); });
    if (n < 0)
      return std::nullopt;
    if (n == 0)
      break;
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

// A channel matches when |difference| × 1000 ≤ t × 255, which for whole differences is
// |difference| ≤ t × 255 / 1000 rounded down.
int ChannelLimit(int tolerance) {
  return std::max(tolerance, 0) * 255 / 1000;
}

bool Matches(const uint8_t* a, const uint8_t* b, int limit) {
  return std::abs(a[0] - b[0]) <= limit && std::abs(a[1] - b[1]) <= limit &&
         std::abs(a[2] - b[2]) <= limit;
}

int RunLength(const uint8_t* pixels, size_t start, int limit) {
  const size_t window = std::min(kRunWindow, kLogoPixelBytes - start);
  const uint8_t* first = pixels + start;
  int length = 1;
  while (4 * static_cast<size_t>(length) < window && Matches(first + 4 * length, first, limit))
    ++length;
  return length;
}

// The runs of the whole picture, counting no further than maxRuns.
uint32_t CountRuns(const uint8_t* pixels, int limit, uint32_t maxRuns) {
  uint32_t runs = 0;
  for (size_t offset = 0; offset < kLogoPixelBytes && runs <= maxRuns; ++runs)
    offset += 4 * static_cast<size_t>(RunLength(pixels, offset, limit));
  return runs;
}

std::string ToText(uint32_t v) {
  return std::to_string(v);
}

}  // namespace

bool CheckLogoBitmapHeader(std::span<const uint8_t> file) {
  if (file.size() < kHeadersSize)
    return false;
  const uint8_t* info = file.data() + kFileHeaderSize;
  return U16(info + 14) == 24 && S32(info + 4) == kLogoSide && S32(info + 8) == kLogoSide;
}

bool CheckLogoBitmap(const std::string& path) {
  const auto head = ReadPrefix(path, kHeadersSize);
  return head && CheckLogoBitmapHeader(*head);
}

std::optional<LogoPixels> DecodeLogoPixels(std::span<const uint8_t> file) {
  if (file.size() < kHeadersSize)
    return std::nullopt;
  const uint8_t* info = file.data() + kFileHeaderSize;
  const uint32_t pixelOffset = U32(file.data() + 10);
  const uint32_t infoSize = U32(info);
  const int32_t width = S32(info + 4);
  const int32_t height = S32(info + 8);
  const uint16_t bits = U16(info + 14);
  const uint32_t compression = U32(info + 16);
  if (infoSize < kInfoHeaderSize || width != kLogoSide ||
      (height != kLogoSide && height != -kLogoSide) || (bits != 24 && bits != 32) ||
      compression != 0 || pixelOffset < kFileHeaderSize + infoSize) {
    return std::nullopt;
  }
  const size_t pixelBytes = bits / 8;
  const size_t stride = (kLogoSide * pixelBytes + 3) / 4 * 4;
  if (pixelOffset > file.size() || file.size() - pixelOffset < kLogoSide * stride)
    return std::nullopt;  // rows cut short
  LogoPixels pixels(kLogoPixelBytes, 0);
  for (int row = 0; row < kLogoSide; ++row) {
    // Positive heights store the bottom row first.
    const int stored = height > 0 ? kLogoSide - 1 - row : row;
    const uint8_t* in = file.data() + pixelOffset + stored * stride;
    uint8_t* out = pixels.data() + row * kLogoSide * 4;
    for (int x = 0; x < kLogoSide; ++x) {
      std::copy_n(in + x * pixelBytes, 3, out + 4 * x);
    }
  }
  return pixels;
}

std::optional<LogoPixels> LoadLogoPixels(const std::string& path) {
  const auto file = ReadPrefix(path, kMaxPixelOffset + kLogoSide * kLogoSide * 4);
  if (!file)
    return std::nullopt;
  return DecodeLogoPixels(*file);
}

ColourRun FindColourRun(std::span<const uint8_t> pixels, size_t start, int tolerance) {
  ColourRun run;
  if (pixels.size() < kLogoPixelBytes || start >= kLogoPixelBytes)
    return run;
  run.blue = pixels[start];
  run.green = pixels[start + 1];
  run.red = pixels[start + 2];
  run.length = RunLength(pixels.data(), start, ChannelLimit(tolerance));
  return run;
}

uint32_t MeasureLogo(std::span<const uint8_t> pixels, int tolerance) {
  if (pixels.size() < kLogoPixelBytes)
    return 0;
  const uint32_t runs = CountRuns(pixels.data(), ChannelLimit(tolerance), UINT32_MAX - 1);
  return static_cast<uint32_t>(kLogoHeaderSize) + 2 * runs;
}

int FindLogoTolerance(std::span<const uint8_t> pixels) {
  if (pixels.size() < kLogoPixelBytes)
    return kNoLogoTolerance;
  constexpr uint32_t kMaxRuns = (kLogoLimit - kLogoHeaderSize) / 2;
  // The encoding depends on the tolerance only through the channel limit, so each limit is
  // measured once, for the smallest tolerance that gives it, and counting stops once the
  // picture is known not to fit.
  for (int limit = 0; limit <= ChannelLimit(kMaxLogoTolerance); ++limit) {
    if (CountRuns(pixels.data(), limit, kMaxRuns) <= kMaxRuns)
      return (1000 * limit + 254) / 255;
  }
  return kNoLogoTolerance;
}

int FindLogoTolerance(const std::string& path) {
  const auto pixels = LoadLogoPixels(path);
  return pixels ? FindLogoTolerance(*pixels) : kNoLogoTolerance;
}

uint8_t ToRgb332(uint8_t red, uint8_t green, uint8_t blue) {
  return static_cast<uint8_t>((red & 0xE0) | ((green & 0xE0) >> 3) | (blue >> 6));
}

uint32_t ConvertLogo(std::span<const uint8_t> pixels, int tolerance, LogoHeader& header,
                     LogoPatchBytes& patch) {
  header = LogoHeader{};
  const uint32_t size = MeasureLogo(pixels, tolerance);
  if (size == 0 || size > kLogoLimit)
    return size;
  auto putHeader = [&] {
    patch[0] = static_cast<uint8_t>(header.width);
    patch[1] = static_cast<uint8_t>(header.width >> 8);
    patch[2] = static_cast<uint8_t>(header.height);
    patch[3] = static_cast<uint8_t>(header.height >> 8);
    patch[4] = header.format;
    Put32At(&patch[5], header.runCount);
  };
  putHeader();
  const int limit = ChannelLimit(tolerance);
  for (size_t offset = 0; offset < kLogoPixelBytes;) {
    const int length = RunLength(pixels.data(), offset, limit);
    const size_t at = kLogoHeaderSize + 2 * header.runCount;
    patch[at] = ToRgb332(pixels[offset + 2], pixels[offset + 1], pixels[offset]);
    patch[at + 1] = static_cast<uint8_t>(length);
    ++header.runCount;
    offset += 4 * static_cast<size_t>(length);
  }
  putHeader();
  return size;
}

std::string LogoNotice(const TextTable& texts, uint32_t size) {
  if (size <= kLogoLimit)
    return texts[TXT_NOTICE] + " " + texts[TXT_NOTICE_FITS];
  return texts[TXT_NOTICE] + " " + texts[TXT_NOTICE_TOO_BIG] + ": >" + ToText(kLogoLimit);
}

std::string LogoPreviewName(const std::string& sourcePath) {
  return sourcePath + "_Tarndeal.bmp";
}

std::optional<std::vector<uint8_t>> EncodeLogoPreview(
    std::span<const uint8_t, kLogoPatchSize> patch) {
  const uint32_t w = U16(&patch[0]);
  const uint32_t h = U16(&patch[2]);
  const uint8_t format = patch[4];
  const uint32_t runCount = U32(&patch[5]);
  const bool wideColour = format == 0x21 || format == 0x22;
  const bool wideLength = format == 0x12 || format == 0x22;
  if (format != 0x11 && format != 0x12 && format != 0x21 && format != 0x22)
    return std::nullopt;
  const uint64_t pixelCount = uint64_t{w} * h;
  if (pixelCount > kMaxPreviewPixels)
    return std::nullopt;
  const size_t colourBytes = wideColour ? 2 : 1;
  const size_t recordBytes = colourBytes + (wideLength ? 2 : 1);

  // Decoded pixels from the top row down, three bytes each; black where no run reaches.
  std::vector<uint8_t> picture(pixelCount * 3, 0);
  uint64_t position = 0;
  const size_t records =
      std::min<size_t>(runCount, (kLogoPatchSize - kLogoHeaderSize) / recordBytes);
  for (size_t i = 0; i < records && position < pixelCount; ++i) {
    const uint8_t* r = patch.data() + kLogoHeaderSize + i * recordBytes;
    const uint32_t length = wideLength ? U16(r + colourBytes) : r[colourBytes];
    uint8_t red, green, blue;
    if (wideColour) {
      const uint16_t c = U16(r);
      red = static_cast<uint8_t>((c >> 8) & 0xF8);
      green = static_cast<uint8_t>((c >> 3) & 0xFC);
      blue = static_cast<uint8_t>((c & 0x1F) << 3);
    } else {
      const uint8_t c = r[0];
      red = static_cast<uint8_t>((c >> 5) * 255 / 7);
      green = static_cast<uint8_t>(((c >> 2) & 7) * 255 / 7);
      blue = static_cast<uint8_t>((c & 3) * 85);
    }
    const uint64_t end = std::min<uint64_t>(position + length, pixelCount);
    for (; position < end; ++position) {
      uint8_t* p = picture.data() + position * 3;
      p[0] = blue;
      p[1] = green;
      p[2] = red;
    }
  }

  const size_t stride = (3 * size_t{w} + 3) / 4 * 4;
  std::vector<uint8_t> out;
  out.reserve(kHeadersSize + h * stride + 2);
  out.push_back('B');
  out.push_back('M');
  Put32(out, static_cast<uint32_t>(56 + h * stride));
  Put16(out, 0);
  Put16(out, 0);
  Put32(out, static_cast<uint32_t>(kHeadersSize));
  Put32(out, static_cast<uint32_t>(kInfoHeaderSize));
  Put32(out, w);
  Put32(out, h);
  Put16(out, 1);
  Put16(out, 24);
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(h * stride + 2));
  Put32(out, 2834);
  Put32(out, 2834);
  Put32(out, 0);
  Put32(out, 0);
  for (uint32_t row = h; row-- > 0;) {
    const uint8_t* line = picture.data() + size_t{row} * w * 3;
    out.insert(out.end(), line, line + size_t{w} * 3);
    out.insert(out.end(), stride - size_t{w} * 3, 0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

bool WriteLogoPreview(const std::string& previewPath, const LogoPatchBytes& patch) {
  const auto bytes = EncodeLogoPreview(patch);
  if (!bytes)
    return false;
  const std::string temporary = previewPath + ".tmp";
  {
    posix::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
      return false;
    size_t done = 0;
    while (done < bytes->size()) {
      const ssize_t n = posix::RetryOnSignal(
          [&] { return ::write(fd.Get(), bytes->data() + done, bytes->size() - done); });
      if (n <= 0) {
        ::unlink(temporary.c_str());
        return false;
      }
      done += static_cast<size_t>(n);
    }
  }
  if (std::rename(temporary.c_str(), previewPath.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace vireo
