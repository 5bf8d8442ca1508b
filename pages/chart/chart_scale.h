// The chart's numbers without a window: the plot's geometry, the auto-ranged value scales,
// the axis labels, the vertical mapping and the texts of the period label, the readout row and
// the record time axis. Every function here is pure; the chart view only paints what they give.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vireo {

// A rectangle in client pixels; right and bottom are exclusive for areas and fills, and the
// frame lines of the plot are drawn on them.
struct ChartRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool operator==(const ChartRect&) const = default;
};

// The plot inside a client area: 60 pixels in from the left, 18 down, 459 × 199 pixels
// between its frame lines.
constexpr ChartRect PlotRectOf(const ChartRect& client) {
  return {client.left + 60, client.top + 18, client.left + 519, client.top + 217};
}

// The plot is 460 pixel columns wide counting both frame lines; one division is 20 pixels,
// and the scale top lies 200 pixels above the bottom frame line.
inline constexpr int kPlotColumns = 460;
inline constexpr int kGridStep = 20;
inline constexpr int kScaleHeight = 200;

struct ValueScale {
  float bottom = 0;
  float top = 0;
  bool operator==(const ValueScale&) const = default;
};

// The voltage and current scale: bottom the largest multiple of 0.1 not above the smallest
// value, top 0.2 above it or the first of 1, 2, 5, 10, 20, 50, 100 that covers the largest.
// Non-finite values are left out; with none left the scale is 0 to 10.
ValueScale ScaleVoltageCurrent(std::span<const float> values);

// The temperature scale: bottom the largest multiple of 20 not above the smallest value, top
// 20, 50, 100, 200 or 400 above it. Non-finite values are left out; with none, 0 to 20.
ValueScale ScaleTemperature(std::span<const float> values);

// The temperature scale of the live curve: over the readings above −50 °C only, the ones it
// draws (at or below, no probe is attached); with none, 0 to 20.
ValueScale ScaleLiveTemperature(std::span<const float> held);

enum class AxisKind { kVoltage, kCurrent, kTemperature };

// Eleven labels from the scale top (label 0) down to the bottom (label 10): "%0.2f" for
// voltage and current, "%0.0f" for temperature.
std::array<std::string, 11> AxisLabelTexts(const ValueScale& scale, AxisKind kind);

// Where label i of an axis stands: 20 pixels high, level with the grid line at its height.
ChartRect AxisLabelRect(const ChartRect& client, AxisKind kind, int i);

// The row of a value on a scale: plot bottom − trunc((v − b) ÷ (t − b) × 200), clamped to the
// client area. Empty for a value that is not a number, or when the mapping gives none.
std::optional<int> MapToRow(float value, const ValueScale& scale, const ChartRect& plot,
                            const ChartRect& client);

// The label under the live plot: the time of one division and of the whole width, for a
// sample period in ms; empty for period 0 (Records mode).
std::string PeriodLabelText(uint32_t samplePeriodMs);

// The present readings that the readout row shows.
struct ReadoutSnapshot {
  float voltage = 0;
  float current = 0;
  float power = 0;
  float dPlus = 0;
  float dMinus = 0;
  float temperature = 0;
};

// The six cells of the readout row, left to right: voltage, current, power, D+, D−,
// temperature ("NULL" without a probe).
std::array<std::string, 6> ReadoutTexts(const ReadoutSnapshot& snapshot);

// The seven labels of the record time axis ("%d:%02d:%02d"), at 60, 120, … 420 pixels from
// the left frame line. fullMode stretches `count` records across the plot; otherwise the plot
// counts 460 record intervals.
std::array<std::string, 7> TimeLabelTexts(uint8_t recordHours, uint32_t count, bool fullMode);

// The horizontal divisor of the record curves: the count when it exceeds the plot's columns,
// otherwise count − 1 stretched (fullMode) or 459.
uint32_t RecordDivisor(uint32_t count, bool fullMode);

// The column of record i: plot left + (460 × i) ÷ divisor, in integer division.
int RecordColumn(const ChartRect& plot, uint64_t i, uint32_t divisor);

}  // namespace vireo
