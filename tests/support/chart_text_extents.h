// The extents of the chart's texts without a font engine. Advances of the characters the chart
// draws are given in 1/2048 em of DejaVu Sans, the sans face that stands in for the chart's
// face on a desktop without it and one of the widest, so a width from this table is what the
// painter takes there and an upper bound elsewhere. A widget test holds them to the real font.
#pragma once

#include <cmath>
#include <optional>
#include <string_view>

#include "pages/chart/chart_scene.h"

namespace vireo::testing {

inline constexpr double kUnitsPerEm = 2048;
inline constexpr double kLineHeightUnits = 2384;  // ascent 1901 + descent 483

struct Advance {
  char32_t c;
  int units;
};

inline constexpr Advance kAdvances[] = {
    {U'0', 1303}, {U'1', 1303}, {U'2', 1303}, {U'3', 1303}, {U'4', 1303}, {U'5', 1303},
    {U'6', 1303}, {U'7', 1303}, {U'8', 1303}, {U'9', 1303}, {U'.', 651},  {U'-', 739},
    {U':', 690},  {U'+', 1716}, {U' ', 651},  {U'(', 799},  {U')', 799},  {U'A', 1401},
    {U'C', 1430}, {U'D', 1577}, {U'E', 1294}, {U'L', 1141}, {U'N', 1532}, {U'T', 1251},
    {U'U', 1499}, {U'V', 1401}, {U'W', 2025}, {U'Z', 1403}, {U'a', 1255}, {U'e', 1260},
    {U'g', 1300}, {U'i', 569},  {U'l', 569},  {U'm', 1995}, {U'n', 1298}, {U'o', 1253},
    {U'p', 1300}, {U'r', 842},  {U's', 1067}, {U't', 803},  {U'u', 1298}, {U'\u2103', 2300},
};

// CJK ideographs come from a CJK face, one em each.
inline std::optional<int> UnitsOf(char32_t c) {
  if (c >= 0x4E00 && c <= 0x9FFF) {
    return 2048;
  }
  for (const Advance& a : kAdvances) {
    if (a.c == c) {
      return a.units;
    }
  }
  return std::nullopt;
}

// Width in pixels at a pixel size; empty when a character is not in the table.
inline std::optional<double> TextWidth(std::string_view utf8, int pixelSize) {
  double units = 0;
  for (size_t i = 0; i < utf8.size();) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    const int length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? byte : byte & (0x3F >> (length - 1));
    for (int k = 1; k < length && i + k < utf8.size(); ++k) {
      c = c << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    i += static_cast<size_t>(length);
    const std::optional<int> advance = UnitsOf(c);
    if (!advance) {
      return std::nullopt;
    }
    units += *advance;
  }
  return units * pixelSize / kUnitsPerEm;
}

inline double LineHeight(int pixelSize) {
  return kLineHeightUnits * pixelSize / kUnitsPerEm;
}

// A text's box in client pixels, as it stands on one line in its rectangle.
struct Extent {
  double left, top, right, bottom;
};

inline std::optional<Extent> ExtentOf(const ChartText& text) {
  const int size = ChartFontPixels(text.font);
  const std::optional<double> width = TextWidth(text.text, size);
  if (!width) {
    return std::nullopt;
  }
  const ChartRect& r = text.rect;
  double left = r.left;
  if (text.align == ChartAlign::kRight) {
    left = r.right - *width;
  } else if (text.align != ChartAlign::kLeft) {
    left = r.left + (r.right - r.left - *width) / 2;
  }
  double top = r.top;
  if (text.align == ChartAlign::kCentredLine) {
    top = r.top + (r.bottom - r.top - LineHeight(size)) / 2;
  }
  return Extent{left, top, left + *width, top + LineHeight(size)};
}

}  // namespace vireo::testing
