// The logo conversion: a 24-bit 128 × 128 bitmap turned into the meter's run-length logo of at
// most 4096 bytes, the search for the smallest colour tolerance that fits, and the preview
// bitmap decoded back from the logo. Free of Qt; the firmware page calls it from its handlers.
//
// Pixels are 65,536 bytes: 128 × 128 pixels of blue, green, red and an unused byte, from the
// top row down. A run is a stretch of pixels, across rows if need be, whose channels each
// differ from the run's first pixel by at most tolerance per mille of 255; at most 64 pixels.
// The logo is a 9-byte header (width, height, format 0x11, run count) and two bytes per run:
// the first pixel's colour in RGB332 and the run's length.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "meter/firmware_image.h"
#include "text/text_table.h"

namespace vireo {

inline constexpr int kLogoSide = 128;
inline constexpr size_t kLogoPixelBytes = 65536;
inline constexpr int kDefaultLogoTolerance = 100;
inline constexpr int kMaxLogoTolerance = 999;
// FindLogoTolerance's answer when no tolerance fits or the pixels cannot be read.
inline constexpr int kNoLogoTolerance = 1000;
inline constexpr uint8_t kLogoFormat = 0x11;

using LogoPixels = std::vector<uint8_t>;

// The logo header as the page keeps its copy of it.
struct LogoHeader {
  uint16_t width = kLogoSide;
  uint16_t height = kLogoSide;
  uint8_t format = kLogoFormat;
  uint32_t runCount = 0;
};

// A source bitmap is acceptable when its info header says 24 bits per pixel, width 128 and
// height 128 (so rows stored bottom-up). Nothing else is examined. A file shorter than the
// file and info headers (54 bytes) is refused.
bool CheckLogoBitmapHeader(std::span<const uint8_t> file);
bool CheckLogoBitmap(const std::string& path);

// Reads the pixel rows of an uncompressed 24- or 32-bit 128 × 128 bitmap, stored bottom-up or
// top-down, each row padded to 4 bytes. Nothing when the file is another kind of bitmap or its
// rows are cut short.
std::optional<LogoPixels> DecodeLogoPixels(std::span<const uint8_t> file);
std::optional<LogoPixels> LoadLogoPixels(const std::string& path);

struct ColourRun {
  uint8_t blue = 0;
  uint8_t green = 0;
  uint8_t red = 0;
  int length = 0;
};

// The run that begins at byte offset start (a multiple of 4, below 65,536) of the pixels.
ColourRun FindColourRun(std::span<const uint8_t> pixels, size_t start, int tolerance);
// The encoded size of the whole picture: 9 + 2 × runs.
uint32_t MeasureLogo(std::span<const uint8_t> pixels, int tolerance);
// The smallest tolerance 0..999 whose encoding fits 4096 bytes, or kNoLogoTolerance.
int FindLogoTolerance(std::span<const uint8_t> pixels);
int FindLogoTolerance(const std::string& path);

// The RGB332 byte of a colour: the top three bits of red and green, the top two of blue.
uint8_t ToRgb332(uint8_t red, uint8_t green, uint8_t blue);

// Encodes the picture into patch when it fits, and returns its encoded size either way. The
// header is set to 128, 128, 0x11 with no runs first and then counts the runs written; bytes
// after the last run keep what an earlier conversion left there. A size over 4096 leaves the
// patch as it was.
uint32_t ConvertLogo(std::span<const uint8_t> pixels, int tolerance, LogoHeader& header,
                     LogoPatchBytes& patch);

// The Notice line after a conversion of this size.
std::string LogoNotice(const TextTable& texts, uint32_t size);

// The preview's file name: the source's full path followed by "_Tarndeal.bmp".
std::string LogoPreviewName(const std::string& sourcePath);

// The preview bitmap decoded from a logo of any of the four formats (0x11, 0x12, 0x21, 0x22):
// a 24-bit bottom-up bitmap of the header's width and height. Runs beyond the picture are cut
// and pixels no run reaches stay black. Nothing for another format or a picture too large to
// be a logo.
std::optional<std::vector<uint8_t>> EncodeLogoPreview(
    std::span<const uint8_t, kLogoPatchSize> patch);
// Writes that bitmap through a temporary file renamed into place; false when nothing was
// written.
bool WriteLogoPreview(const std::string& previewPath, const LogoPatchBytes& patch);

}  // namespace vireo
