// The chart's texts against each other: at every scale the chart can show, no text runs into
// another or out of the client area, in the fonts the chart chooses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "pages/chart/chart_scene.h"
#include "support/chart_text_extents.h"

namespace vireo {
namespace {

using testing::Extent;
using testing::ExtentOf;
using testing::TextWidth;

constexpr ChartRect kClient{0, 0, 577, 261};
// Texts closer than this read as one.
constexpr double kGap = 1.0;

// Per row, the widest of the labels an axis shows over a set of scales.
using Widest = std::array<std::string, 11>;

void Widen(Widest& widest, const ValueScale& scale, AxisKind kind) {
  const auto texts = AxisLabelTexts(scale, kind);
  for (int i = 0; i <= 10; ++i) {
    if (TextWidth(texts[i], ChartFontPixels(ChartFont::kSmall)) >
        TextWidth(widest[i], ChartFontPixels(ChartFont::kSmall))) {
      widest[i] = texts[i];
    }
  }
}

// Every scale over values from `low` to `high` (the range of a record's field, which covers
// what the meter measures live): each bottom in 0.1 steps, each step of the scale.
void WidenVoltageCurrent(Widest& widest, float low, float high, bool single = false) {
  for (int k = static_cast<int>(std::floor(low * 10)); k <= static_cast<int>(high * 10); ++k) {
    const float min = std::max(k * 0.1f, low);
    for (const float above : {0.0f, 0.15f, 0.9f, 1.9f, 4.9f, 9.9f, 19.9f, 49.9f, 99.0f}) {
      const float values[] = {min, std::min(min + above, high)};
      Widen(widest, ScaleVoltageCurrent(values), AxisKind::kVoltage);
      if (single) {
        break;
      }
    }
  }
}

// Every temperature scale over whole degrees a record can hold (−128 to 127); the live curve's
// readings above −50 lie within them.
Widest WidestTemperature() {
  Widest widest;
  for (int low = -128; low <= 127; ++low) {
    for (const int above : {0, 19, 49, 99, 199, 399}) {
      const float values[] = {static_cast<float>(low),
                              static_cast<float>(std::min(low + above, 127))};
      Widen(widest, ScaleTemperature(values), AxisKind::kTemperature);
    }
  }
  return widest;
}

bool IsAxisLabel(const ChartText& text) {
  for (int i = 0; i <= 10; ++i) {
    for (const AxisKind kind : {AxisKind::kVoltage, AxisKind::kCurrent}) {
      if (text.rect == AxisLabelRect(kClient, kind, i)) {
        return true;
      }
    }
  }
  return false;
}

struct Placed {
  std::string text;
  Extent extent;
};

// Every text of a scene but the watermark, which lies under the grid and curves by design.
void Collect(const ChartScene& scene, std::vector<Placed>& out) {
  scene.ForEachItem([&](const ChartItem& item) {
    const auto* text = std::get_if<ChartText>(&item);
    if (!text || text->font == ChartFont::kLarge || IsAxisLabel(*text)) {
      return;
    }
    const auto extent = ExtentOf(*text);
    ASSERT_TRUE(extent) << "a character of \"" << text->text << "\" has no advance";
    out.push_back({text->text, *extent});
  });
}

bool Apart(const Extent& a, const Extent& b) {
  return a.right + kGap <= b.left || b.right + kGap <= a.left || a.bottom <= b.top ||
         b.bottom <= a.top;
}

TEST(ChartLayout, NoTwoTextsOverlapAtAnyScaleTheChartCanShow) {
  // The legend reads at scale 1 and stands on one line above the plot.
  const double legend = testing::LineHeight(ChartFontPixels(ChartFont::kLegend));
  EXPECT_GE(legend, 9.0);
  EXPECT_LE(legend, 17.0);

  // The axis labels: the widest of every row, the current ones at the left edge of the right
  // margin and the temperature ones at its right edge.
  std::vector<Placed> texts;
  Widest voltage, current;
  WidenVoltageCurrent(voltage, 0.0f, 65.535f);
  WidenVoltageCurrent(current, -32.768f, 32.767f);
  // Without a voltage curve the current axis shows the scale of the one voltage sample held.
  WidenVoltageCurrent(current, 0.0f, 65.535f, true);
  const Widest temperature = WidestTemperature();
  for (int i = 0; i <= 10; ++i) {
    for (const AxisKind kind : {AxisKind::kVoltage, AxisKind::kCurrent, AxisKind::kTemperature}) {
      const std::string& label = kind == AxisKind::kVoltage   ? voltage[i]
                                 : kind == AxisKind::kCurrent ? current[i]
                                                              : temperature[i];
      const ChartAlign align = kind == AxisKind::kCurrent ? ChartAlign::kLeft : ChartAlign::kRight;
      const ChartText text{AxisLabelRect(kClient, kind, i), label, {}, ChartFont::kSmall, align};
      texts.push_back({label, *ExtentOf(text)});
    }
  }
  EXPECT_EQ(current[10], "-32.80");
  EXPECT_EQ(temperature[10], "-140");

  // The legend in both languages, the widest readout, the record time axis of the longest
  // recording (255 hours), and each period label.
  const ChartInputs base = [] {
    ChartInputs in;
    in.client = kClient;
    in.readout = {88.888f, -8.888f, 88.888f, 8.88f, -8.88f, 188.8f};
    return in;
  }();
  RecordSet set;
  set.RecordHours = 255;
  set.count = 352;
  set.points.assign(352, RecordPoint{5.0f, 1.0f, 25.0f});
  const RecordCurves records = BuildRecordCurves(set, false, kClient);
  for (const auto& names : {std::array<const char*, 3>{"Voltage", "Current", "Temperature"},
                            std::array<const char*, 3>{"电压", "电流", "温度"}}) {
    for (const uint32_t period : {0u, 10u, 20u, 50u, 100u, 200u, 500u, 1000u}) {
      ChartInputs in = base;
      in.captions = CaptionsFrom(names[0], names[1], names[2]);
      const std::string* captions[] = {&in.captions.voltage, &in.captions.current,
                                       &in.captions.temperature};
      for (int c = 0; c < 3; ++c) {
        in.captions.widths[c] = static_cast<int>(
            std::ceil(*TextWidth(*captions[c], ChartFontPixels(ChartFont::kLegend))));
      }
      in.samplePeriod = period;
      in.records = period == 0 ? &records : nullptr;
      ChartScene scene;
      BuildChartScene(in, scene);
      std::vector<Placed> all = texts;
      Collect(scene, all);
      // The legend's lines, as thin boxes, must stay clear of the captions too.
      scene.ForEachItem([&](const ChartItem& item) {
        const auto* lines = std::get_if<ChartLines>(&item);
        if (lines && !lines->dotted && lines->segments.size() == 1 && lines->segments[0].y1 == 8) {
          const ChartSegment& s = lines->segments[0];
          all.push_back({"legend line", {double(s.x1), 8.0, double(s.x2) + 1, 9.0}});
        }
      });
      for (size_t a = 0; a < all.size(); ++a) {
        const Extent& e = all[a].extent;
        EXPECT_TRUE(e.left >= kClient.left && e.right <= kClient.right && e.top >= kClient.top &&
                    e.bottom <= kClient.bottom)
            << "\"" << all[a].text << "\" leaves the chart";
        for (size_t b = a + 1; b < all.size(); ++b) {
          EXPECT_TRUE(Apart(e, all[b].extent))
              << "\"" << all[a].text << "\" runs into \"" << all[b].text << "\"";
        }
      }
    }
  }
}

}  // namespace
}  // namespace vireo
