#include "pages/chart/chart_scene.h"

#include <algorithm>
#include <cmath>

namespace vireo {
namespace {

constexpr float kNoProbeAtOrBelow = -50.0f;

struct AxisStyle {
  Rgb colour;
  ChartAlign align;
};

AxisStyle StyleOf(AxisKind kind) {
  switch (kind) {
    case AxisKind::kVoltage:
      return {kVoltageColour, ChartAlign::kRight};
    case AxisKind::kCurrent:
      return {kCurrentColour, ChartAlign::kLeft};
    case AxisKind::kTemperature:
      break;
  }
  return {kTemperatureColour, ChartAlign::kRight};
}

void AddAxisLabels(std::vector<ChartItem>& items, const ChartRect& client, AxisKind kind,
                   const ValueScale& scale) {
  const AxisStyle style = StyleOf(kind);
  const auto texts = AxisLabelTexts(scale, kind);
  for (int i = 0; i <= 10; ++i) {
    items.emplace_back(ChartText{AxisLabelRect(client, kind, i), texts[i], style.colour,
                                 ChartFont::kSmall, style.align});
  }
}

void AddLines(std::vector<ChartItem>& items, Rgb colour, std::vector<ChartSegment> segments,
              bool dotted = false) {
  if (!segments.empty()) {
    items.emplace_back(ChartLines{colour, dotted, std::move(segments)});
  }
}

void AddWatermarkAndLegend(std::vector<ChartItem>& items, const ChartRect& client,
                           const ChartCaptions& captions) {
  const ChartRect plot = PlotRectOf(client);
  items.emplace_back(
      ChartText{plot, "ZEV-", kWatermarkColour, ChartFont::kLarge, ChartAlign::kCentredLine});
  struct Entry {
    int offset;
    const std::string& caption;
    int width;
    Rgb colour;
  };
  const Entry entries[] = {{25, captions.voltage, captions.widths[0], kVoltageColour},
                           {175, captions.current, captions.widths[1], kCurrentColour},
                           {325, captions.temperature, captions.widths[2], kTemperatureColour}};
  const int y = client.top + 8;
  for (const Entry& e : entries) {
    // Line, caption, line across 110 pixels. The caption is centred where the design puts it
    // and may take all but 5 pixels of each line; the lines end 3 pixels before it.
    const int x = plot.left + e.offset;
    const int centre = x + 55;
    const int half = (std::clamp(e.width, 0, kLegendCaptionWidth) + 1) / 2;
    AddLines(items, e.colour, {{x, y, std::min(x + 30, centre - half - 3), y}});
    items.emplace_back(ChartText{{centre - kLegendCaptionWidth / 2, client.top,
                                  centre + kLegendCaptionWidth / 2, plot.top - 1},
                                 e.caption,
                                 e.colour,
                                 ChartFont::kLegend,
                                 ChartAlign::kCentre});
    AddLines(items, e.colour, {{std::max(x + 80, centre + half + 3), y, x + 110, y}});
  }
}

void AddFrameAndGrid(std::vector<ChartItem>& items, const ChartRect& client) {
  const ChartRect p = PlotRectOf(client);
  AddLines(items, kFrameColour,
           {{p.left, p.top, p.right, p.top},
            {p.right, p.top, p.right, p.bottom},
            {p.right, p.bottom, p.left, p.bottom},
            {p.left, p.bottom, p.left, p.top}});
  std::vector<ChartSegment> grid;
  for (int x = p.left + kGridStep; x < p.right; x += kGridStep) {
    grid.push_back({x, p.top, x, p.bottom});
  }
  for (int y = p.top + kGridStep; y < p.bottom; y += kGridStep) {
    grid.push_back({p.left, y, p.right, y});
  }
  AddLines(items, kFrameColour, std::move(grid), true);
}

// A live curve with its axis labels; true when it was drawn.
bool AddLiveCurve(std::vector<ChartItem>& items, const ChartRect& client,
                  std::span<const float> held, AxisKind kind) {
  if (held.size() < 2) {
    return false;
  }
  const bool temperature = kind == AxisKind::kTemperature;
  const ValueScale scale = temperature ? ScaleLiveTemperature(held) : ScaleVoltageCurrent(held);
  AddAxisLabels(items, client, kind, scale);
  AddLines(items, StyleOf(kind).colour, LiveCurveSegments(held, scale, temperature, client));
  return true;
}

void AddReadoutRow(std::vector<ChartItem>& items, const ChartRect& client,
                   const ReadoutSnapshot& snapshot, bool live) {
  const ChartRect plot = PlotRectOf(client);
  const auto texts = ReadoutTexts(snapshot);
  const Rgb colours[] = {kVoltageColour, kCurrentColour, kPowerColour,
                         kDPlusColour,   kDMinusColour,  kTemperatureColour};
  for (int i = 0; i < 6; ++i) {
    const int left = client.left + 100 * i;
    const int right = i == 5 ? client.right : left + 100;
    items.emplace_back(ChartText{{left, plot.bottom + 15, right, client.bottom},
                                 texts[i],
                                 live ? colours[i] : Dimmed(colours[i]),
                                 ChartFont::kMedium,
                                 ChartAlign::kCentre});
  }
}

}  // namespace

std::vector<ChartSegment> LiveCurveSegments(std::span<const float> held, const ValueScale& scale,
                                            bool temperature, const ChartRect& client) {
  std::vector<ChartSegment> segments;
  if (held.size() < 2) {
    return segments;
  }
  const ChartRect plot = PlotRectOf(client);
  const int count = static_cast<int>(std::min<size_t>(held.size(), kPlotColumns));
  held = held.last(static_cast<size_t>(count));
  segments.reserve(static_cast<size_t>(count - 1));
  std::optional<int> next = MapToRow(held[0], scale, plot, client);
  for (int i = 0; i + 1 < count; ++i) {
    const std::optional<int> row = next;
    next = MapToRow(held[i + 1], scale, plot, client);
    if (temperature && !(held[i] > kNoProbeAtOrBelow)) {
      continue;
    }
    if (!std::isfinite(held[i]) || !std::isfinite(held[i + 1]) || !row || !next) {
      continue;
    }
    // A segment that ends where the probe was taken away goes down to the plot's bottom: the
    // scale leaves such readings out, and below it the line would cross the texts under the
    // plot.
    const int end =
        temperature && !(held[i + 1] > kNoProbeAtOrBelow) ? std::min(*next, plot.bottom) : *next;
    const int x = plot.left + kPlotColumns - count + i;
    segments.push_back({x, *row, x + 1, end});
  }
  return segments;
}

std::vector<ChartSegment> RecordCurveSegments(std::span<const float> values,
                                              const ValueScale& scale, uint32_t divisor,
                                              const ChartRect& client) {
  std::vector<ChartSegment> segments;
  if (values.size() < 2) {
    return segments;
  }
  const ChartRect plot = PlotRectOf(client);
  // A run of vertical segments in one column, joined end to end.
  bool inRun = false;
  ChartSegment run{};
  const auto flush = [&] {
    if (inRun) {
      segments.push_back(run);
      inRun = false;
    }
  };
  int x = RecordColumn(plot, 0, divisor);
  std::optional<int> row = MapToRow(values[0], scale, plot, client);
  for (size_t i = 0; i + 1 < values.size(); ++i) {
    const int nextX = RecordColumn(plot, i + 1, divisor);
    const std::optional<int> nextRow = MapToRow(values[i + 1], scale, plot, client);
    if (!std::isfinite(values[i]) || !std::isfinite(values[i + 1]) || !row || !nextRow) {
      flush();
    } else if (nextX == x) {
      const int low = std::min(*row, *nextRow);
      const int high = std::max(*row, *nextRow);
      if (inRun && run.x1 == x) {
        run.y1 = std::min(run.y1, low);
        run.y2 = std::max(run.y2, high);
      } else {
        flush();
        run = {x, low, x, high};
        inRun = true;
      }
    } else {
      flush();
      segments.push_back({x, *row, nextX, *nextRow});
    }
    x = nextX;
    row = nextRow;
  }
  flush();
  return segments;
}

RecordCurves BuildRecordCurves(const RecordSet& set, bool fullMode, const ChartRect& client) {
  RecordCurves curves;
  if (set.count <= 1 || set.points.size() < set.count) {
    return curves;
  }
  const ChartRect plot = PlotRectOf(client);
  std::vector<float> values(set.count);
  const auto take = [&](float RecordPoint::*field) {
    for (uint32_t i = 0; i < set.count; ++i) {
      values[i] = set.points[i].*field;
    }
  };
  const uint32_t divisor = RecordDivisor(set.count, fullMode);

  // Voltage, with the time axis first.
  take(&RecordPoint::voltage);
  const auto times = TimeLabelTexts(set.RecordHours, set.count, fullMode);
  for (int i = 1; i <= 7; ++i) {
    const int centre = plot.left + 60 * i;
    curves.items.emplace_back(ChartText{{centre - 30, plot.bottom, centre + 30, plot.bottom + 20},
                                        times[i - 1],
                                        kDPlusColour,
                                        ChartFont::kSmall,
                                        ChartAlign::kCentre});
  }
  ValueScale scale = ScaleVoltageCurrent(values);
  AddAxisLabels(curves.items, client, AxisKind::kVoltage, scale);
  curves.labelsDrawn = true;
  AddLines(curves.items, kVoltageColour, RecordCurveSegments(values, scale, divisor, client));

  take(&RecordPoint::current);
  scale = ScaleVoltageCurrent(values);
  AddAxisLabels(curves.items, client, AxisKind::kCurrent, scale);
  AddLines(curves.items, kCurrentColour, RecordCurveSegments(values, scale, divisor, client));

  // Recorded temperatures are drawn whatever their values.
  take(&RecordPoint::temperature);
  scale = ScaleTemperature(values);
  AddAxisLabels(curves.items, client, AxisKind::kTemperature, scale);
  AddLines(curves.items, kTemperatureColour, RecordCurveSegments(values, scale, divisor, client));
  return curves;
}

ChartCaptions CaptionsFrom(const std::string& voltage, const std::string& current,
                           const std::string& temperature) {
  return {voltage + " (V)", current + " (A)", temperature + " (\u2103)"};
}

void BuildChartScene(const ChartInputs& in, ChartScene& scene) {
  scene.items.clear();
  scene.backgroundItems = 0;
  scene.records = nullptr;
  scene.recordsAt = 0;
  scene.labelsDrawn = false;
  auto& items = scene.items;
  AddWatermarkAndLegend(items, in.client, in.captions);
  AddFrameAndGrid(items, in.client);
  scene.backgroundItems = items.size();

  scene.labelsDrawn = AddLiveCurve(items, in.client, in.voltage, AxisKind::kVoltage);
  AddLiveCurve(items, in.client, in.current, AxisKind::kCurrent);
  AddLiveCurve(items, in.client, in.temperature, AxisKind::kTemperature);

  const ChartRect plot = PlotRectOf(in.client);
  if (const std::string period = PeriodLabelText(in.samplePeriod); !period.empty()) {
    items.emplace_back(ChartText{{plot.left, plot.bottom, plot.right, plot.bottom + 20},
                                 period,
                                 kDPlusColour,
                                 ChartFont::kSmall,
                                 ChartAlign::kCentre});
  }
  AddReadoutRow(items, in.client, in.readout, in.readoutLive);

  scene.records = in.records;
  scene.recordsAt = items.size();
  if (in.records) {
    scene.labelsDrawn = scene.labelsDrawn || in.records->labelsDrawn;
  }

  // Without a voltage curve the axes come from the stores: the voltage store's scale on both
  // the voltage and the current axis.
  if (!scene.labelsDrawn) {
    const ValueScale scale = ScaleVoltageCurrent(in.voltage);
    AddAxisLabels(items, in.client, AxisKind::kVoltage, scale);
    AddAxisLabels(items, in.client, AxisKind::kCurrent, scale);
    AddAxisLabels(items, in.client, AxisKind::kTemperature, ScaleLiveTemperature(in.temperature));
  }
}

}  // namespace vireo
