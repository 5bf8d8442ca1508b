// ChartScene: everything one paint of the chart draws, in drawing order, as plain values —
// line batches and texts in client pixels with their colours, fonts and alignment. The chart
// view builds a scene from the stores, the readout and the record set and only paints it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "meter/record_file.h"
#include "pages/chart/chart_scale.h"

namespace vireo {

struct Rgb {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
  bool operator==(const Rgb&) const = default;
};

// The chart's colours.
inline constexpr Rgb kChartBackground{0, 0, 0};
inline constexpr Rgb kFrameColour{64, 64, 64};
inline constexpr Rgb kWatermarkColour{32, 32, 32};
inline constexpr Rgb kVoltageColour{221, 221, 0};
inline constexpr Rgb kCurrentColour{0, 221, 221};
inline constexpr Rgb kTemperatureColour{255, 0, 0};
inline constexpr Rgb kPowerColour{221, 0, 221};
inline constexpr Rgb kDPlusColour{95, 223, 0};
inline constexpr Rgb kDMinusColour{255, 127, 80};

// A colour at half its brightness: values that are not live.
constexpr Rgb Dimmed(const Rgb& rgb) {
  return {static_cast<uint8_t>(rgb.red / 2), static_cast<uint8_t>(rgb.green / 2),
          static_cast<uint8_t>(rgb.blue / 2)};
}

// The chart's fonts: small for the axis, period and time labels, medium for the readout row,
// large for the watermark, legend for the legend captions.
enum class ChartFont { kSmall, kMedium, kLarge, kLegend };

// The pixel size (em) of each font at scale 1, chosen so that the widest text each rectangle
// receives fits it in a common sans face: "-32.80" beside "-140" in the 51-pixel right margin,
// "888:88:88" in a 60-pixel time cell, "D+:8.88V" in a 100-pixel readout cell, a legend caption
// of 15 characters on one line above the plot. Larger windows scale them with the chart.
constexpr int ChartFontPixels(ChartFont font) {
  switch (font) {
    case ChartFont::kSmall:
      return 9;
    case ChartFont::kMedium:
      return 18;
    case ChartFont::kLarge:
      return 85;
    case ChartFont::kLegend:
      break;
  }
  return 10;
}

// How a text sits in its rectangle. Every kind but kCentredLine starts at the rectangle's top
// and wraps at word breaks; kCentredLine is one line centred both ways.
enum class ChartAlign { kLeft, kCentre, kRight, kCentredLine };

struct ChartSegment {
  int x1, y1, x2, y2;
  bool operator==(const ChartSegment&) const = default;
};

// Lines drawn with one 1-pixel pen, solid or dotted; both end points are drawn.
struct ChartLines {
  Rgb colour;
  bool dotted = false;
  std::vector<ChartSegment> segments;
};

struct ChartText {
  ChartRect rect;
  std::string text;
  Rgb colour;
  ChartFont font = ChartFont::kSmall;
  ChartAlign align = ChartAlign::kCentre;
};

using ChartItem = std::variant<ChartLines, ChartText>;

// What the record curves of a set add to a paint: their items (curves, axis labels, time axis)
// and whether they labelled the voltage axis. A set never changes once loaded, so the view
// computes this once per set and FULL setting.
struct RecordCurves {
  std::vector<ChartItem> items;
  bool labelsDrawn = false;
};

RecordCurves BuildRecordCurves(const RecordSet& set, bool fullMode, const ChartRect& client);

// The legend captions, "%s (V)" and so on, from the text table, with their widths in the
// legend font as the painter measures them (0 when not measured). A caption may be wider than
// the 50 pixels between its two short lines, up to kLegendCaptionWidth; the lines then stop
// short of it.
inline constexpr int kLegendCaptionWidth = 100;

struct ChartCaptions {
  std::string voltage;
  std::string current;
  std::string temperature;
  std::array<int, 3> widths{};
};

ChartCaptions CaptionsFrom(const std::string& voltage, const std::string& current,
                           const std::string& temperature);

// What one paint shows.
struct ChartInputs {
  ChartRect client;
  // The held samples of the three stores, oldest first.
  std::span<const float> voltage;
  std::span<const float> current;
  std::span<const float> temperature;
  uint32_t samplePeriod = 0;  // ms, 0 in Records mode
  ReadoutSnapshot readout;
  // False while no stream delivers frames: the readout row shows its last values dimmed.
  bool readoutLive = true;
  const RecordCurves* records = nullptr;  // null without a record set
  ChartCaptions captions;
};

// The items of one paint. The record curves are not copied into it: they are drawn from the
// view's RecordCurves at their place in the order, before items[recordsAt].
struct ChartScene {
  std::vector<ChartItem> items;
  // The first items (watermark, legend, frame and grid) depend only on the client area and
  // the captions, so a painter may keep them drawn as a background.
  size_t backgroundItems = 0;
  const RecordCurves* records = nullptr;
  size_t recordsAt = 0;
  bool labelsDrawn = false;  // a voltage curve, live or recorded, labelled its axis

  // Calls f with every item in drawing order, from item `from` on.
  template <typename F>
  void ForEachItem(F&& f, size_t from = 0) const {
    for (size_t i = from; i <= items.size(); ++i) {
      if (i == recordsAt && records) {
        for (const ChartItem& item : records->items) {
          f(item);
        }
      }
      if (i < items.size()) {
        f(items[i]);
      }
    }
  }
};

// The paint's steps after the black fill: watermark and legend, frame and grid, the live
// curves, the period label, the readout row, the record curves, and the fallback axis labels
// when no voltage curve was drawn. `scene` is cleared first; its storage is reused.
void BuildChartScene(const ChartInputs& inputs, ChartScene& scene);

// The live curve of one store: segments between neighbouring held samples, the newest on the
// right frame line. For temperature, a segment starts only at a sample above −50 °C. Segments
// touching a value that is not finite are left out.
std::vector<ChartSegment> LiveCurveSegments(std::span<const float> held, const ValueScale& scale,
                                            bool temperature, const ChartRect& client);

// The record curve of one quantity: segments from record to record across the plot, in the
// columns of RecordColumn. Runs of segments within one pixel column become one vertical line
// over the same pixels, so a large set costs no more than the plot is wide.
std::vector<ChartSegment> RecordCurveSegments(std::span<const float> values,
                                              const ValueScale& scale, uint32_t divisor,
                                              const ChartRect& client);

}  // namespace vireo
