#include "pages/chart/chart_scale.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "meter/readings_record.h"
#include "meter/record_memory.h"
#include "pages/readings/readings_format.h"

namespace vireo {
namespace {

constexpr const char* kCelsius = "\u2103";
// 60 ÷ 460, as the time axis applies it.
constexpr double kTimeFactor = 0.13043478260869565;

struct Range {
  float min;
  float max;
};

// Smallest and largest finite value above `above`; empty when there is none.
std::optional<Range> FiniteRange(std::span<const float> values, float above = -HUGE_VALF) {
  std::optional<Range> range;
  for (const float v : values) {
    if (!std::isfinite(v) || !(v > above)) {
      continue;
    }
    if (!range) {
      range = Range{v, v};
    } else {
      range->min = std::min(range->min, v);
      range->max = std::max(range->max, v);
    }
  }
  return range;
}

// A double narrowed to a float, kept within the float range.
float ToFloat(double value) {
  return static_cast<float>(std::fmax(-FLT_MAX, std::fmin(FLT_MAX, value)));
}

template <typename... Args>
std::string Printed(const char* format, Args... args) {
  const int size = std::snprintf(nullptr, 0, format, args...);
  std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  std::snprintf(text.data(), text.size() + 1, format, args...);
  return text;
}

}  // namespace

ValueScale ScaleVoltageCurrent(std::span<const float> values) {
  const Range range = FiniteRange(values).value_or(Range{0, 10});
  const double min = range.min;
  // n = min × 10 truncated toward zero; it stays a double, so no value overflows an integer.
  const double n = std::trunc(min * 10.0);
  const double c = n * 0.1;
  const float cRounded = ToFloat(c);
  const double bottom = c > min ? static_cast<double>(cRounded) - 0.1 : cRounded;
  const double span = static_cast<double>(range.max) - bottom;
  double top;
  if (span <= 0.2) {
    top = bottom + 0.2;
  } else {
    double step = 100;
    for (const double s : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0}) {
      if (s >= span) {
        step = s;
        break;
      }
    }
    top = bottom + step;
  }
  return {ToFloat(bottom), ToFloat(top)};
}

namespace {

ValueScale TemperatureScaleOf(const Range& range) {
  const double min = range.min;
  const double n = std::trunc(min);
  // (n ÷ 20) × 20 in integer division toward zero: n less its remainder, which fmod gives
  // exactly with n's sign.
  const double c = n - std::fmod(n, 20.0);
  const double bottom = c > min ? c - 20 : c;
  const double span = static_cast<double>(range.max) - bottom;
  double step = 400;
  for (const double s : {20.0, 50.0, 100.0, 200.0}) {
    if (span <= s) {
      step = s;
      break;
    }
  }
  return {ToFloat(bottom), ToFloat(bottom + step)};
}

}  // namespace

ValueScale ScaleTemperature(std::span<const float> values) {
  return TemperatureScaleOf(FiniteRange(values).value_or(Range{0, 20}));
}

ValueScale ScaleLiveTemperature(std::span<const float> held) {
  return TemperatureScaleOf(FiniteRange(held, kNoProbeBelow).value_or(Range{0, 20}));
}

std::array<std::string, 11> AxisLabelTexts(const ValueScale& scale, AxisKind kind) {
  std::array<std::string, 11> texts;
  const double top = scale.top;
  const double height = top - static_cast<double>(scale.bottom);
  for (int i = 0; i <= 10; ++i) {
    const double value = top - i * height * 0.1;
    texts[i] = Printed(kind == AxisKind::kTemperature ? "%0.0f" : "%0.2f", value);
  }
  return texts;
}

ChartRect AxisLabelRect(const ChartRect& client, AxisKind kind, int i) {
  const ChartRect plot = PlotRectOf(client);
  const int top = client.top + 10 + kGridStep * i;
  if (kind == AxisKind::kVoltage) {
    return {client.left, top, plot.left - 5, top + 20};
  }
  return {plot.right + 5, top, client.right - 2, top + 20};
}

std::optional<int> MapToRow(float value, const ValueScale& scale, const ChartRect& plot,
                            const ChartRect& client) {
  const double bottom = scale.bottom;
  const double ratio = (value - bottom) / (static_cast<double>(scale.top) - bottom);
  double rows = ratio * kScaleHeight;
  if (std::isnan(rows)) {
    return std::nullopt;
  }
  // Far outside the scale the line goes to the edge of the client area, never beyond it;
  // bounding the rows first keeps the conversion to an integer defined.
  rows = rows < -1e6 ? -1e6 : (rows > 1e6 ? 1e6 : rows);
  const int row = plot.bottom - static_cast<int>(rows);  // truncated toward zero
  return std::clamp(row, client.top, client.bottom);
}

std::string PeriodLabelText(uint32_t samplePeriodMs) {
  if (samplePeriodMs == 0) {
    return {};
  }
  const double all = samplePeriodMs * 0.46;
  if (samplePeriodMs < 50) {
    return Printed("Time : %ums All : %0.1fs", samplePeriodMs * 20, all);
  }
  return Printed("Time : %us All : %0.1fs", samplePeriodMs * 20 / 1000, all);
}

std::array<std::string, 6> ReadoutTexts(const ReadoutSnapshot& s) {
  std::string temperature = "NULL";
  if (!(s.temperature < kNoProbeBelow) && !std::isnan(s.temperature)) {
    temperature = Printed("%0.1f%s", static_cast<double>(s.temperature), kCelsius);
  }
  return {
      FormatFixedWidth(s.voltage, 6) + "V",        FormatFixedWidth(s.current, 6) + "A",
      FormatFixedWidth(s.power, 6) + "W",          "D+:" + FormatFixedWidth(s.dPlus, 4) + "V",
      "D-:" + FormatFixedWidth(s.dMinus, 4) + "V", temperature,
  };
}

std::array<std::string, 7> TimeLabelTexts(uint8_t recordHours, uint32_t count, bool fullMode) {
  const double records = fullMode ? count : kPlotColumns;
  const double span = recordHours * 3600.0 * records / kRecordCapacity;
  std::array<std::string, 7> texts;
  for (int i = 1; i <= 7; ++i) {
    // Below 2^63 for any count a file can hold, so the conversion is always defined.
    const auto s = static_cast<long long>(std::trunc(i * span * kTimeFactor));
    texts[i - 1] = Printed("%lld:%02lld:%02lld", s / 3600, s % 3600 / 60, s % 60);
  }
  return texts;
}

uint32_t RecordDivisor(uint32_t count, bool fullMode) {
  if (count > static_cast<uint32_t>(kPlotColumns)) {
    return count;
  }
  if (!fullMode) {
    return kPlotColumns - 1;
  }
  return count > 1 ? count - 1 : 1;
}

int RecordColumn(const ChartRect& plot, uint64_t i, uint32_t divisor) {
  return plot.left + static_cast<int>(uint64_t{kPlotColumns} * i / (divisor > 0 ? divisor : 1));
}

}  // namespace vireo
