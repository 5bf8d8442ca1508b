// One paint of the chart as plain values: what is drawn, where, in which colour and order.
#include "pages/chart/chart_scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>

namespace vireo {
namespace {

constexpr ChartRect kClient{0, 0, 577, 261};
constexpr Rgb kYellow{221, 221, 0};
constexpr Rgb kCyan{0, 221, 221};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kGreen{95, 223, 0};
constexpr Rgb kGrey{64, 64, 64};

// The items of a scene in drawing order, records included.
std::vector<ChartItem> Flatten(const ChartScene& scene) {
  std::vector<ChartItem> items;
  scene.ForEachItem([&](const ChartItem& item) { items.push_back(item); });
  return items;
}

std::vector<ChartText> TextsIn(const std::vector<ChartItem>& items, Rgb colour) {
  std::vector<ChartText> texts;
  for (const ChartItem& item : items) {
    if (const auto* text = std::get_if<ChartText>(&item); text && text->colour == colour) {
      texts.push_back(*text);
    }
  }
  return texts;
}

std::vector<std::string> Strings(const std::vector<ChartText>& texts) {
  std::vector<std::string> out;
  for (const ChartText& t : texts) {
    out.push_back(t.text);
  }
  return out;
}

// Every segment drawn in a colour, solid ones only.
std::vector<ChartSegment> SegmentsIn(const std::vector<ChartItem>& items, Rgb colour) {
  std::vector<ChartSegment> segments;
  for (const ChartItem& item : items) {
    if (const auto* lines = std::get_if<ChartLines>(&item);
        lines && lines->colour == colour && !lines->dotted) {
      segments.insert(segments.end(), lines->segments.begin(), lines->segments.end());
    }
  }
  return segments;
}

// The segments of a curve: those below the legend strip.
std::vector<ChartSegment> CurveOf(const std::vector<ChartItem>& items, Rgb colour) {
  auto segments = SegmentsIn(items, colour);
  std::erase_if(segments, [](const ChartSegment& s) { return s.y1 == 8 && s.y2 == 8; });
  return segments;
}

class ChartSceneTest : public ::testing::Test {
 protected:
  std::vector<ChartItem> Build() {
    inputs_.client = kClient;
    inputs_.voltage = voltage_;
    inputs_.current = current_;
    inputs_.temperature = temperature_;
    inputs_.captions = CaptionsFrom("Voltage", "Current", "Temperature");
    BuildChartScene(inputs_, scene_);
    return Flatten(scene_);
  }

  std::vector<float> voltage_, current_, temperature_;
  ChartInputs inputs_;
  ChartScene scene_;
};

TEST_F(ChartSceneTest, WatermarkComesFirstThenTheLegend) {
  const auto items = Build();
  const auto& watermark = std::get<ChartText>(items.at(0));
  EXPECT_EQ(watermark.text, "ZEV-");
  EXPECT_EQ(watermark.rect, (ChartRect{60, 18, 519, 217}));
  EXPECT_EQ(watermark.colour, (Rgb{32, 32, 32}));
  EXPECT_EQ(watermark.font, ChartFont::kLarge);
  EXPECT_EQ(watermark.align, ChartAlign::kCentredLine);

  // Line, caption, line for each quantity.
  const auto& first = std::get<ChartLines>(items.at(1));
  EXPECT_EQ(first.colour, kYellow);
  EXPECT_EQ(first.segments, (std::vector<ChartSegment>{{85, 8, 115, 8}}));
  // The caption, centred between the lines, may take all but 5 pixels of each.
  const auto& caption = std::get<ChartText>(items.at(2));
  EXPECT_EQ(caption.text, "Voltage (V)");
  EXPECT_EQ(caption.rect, (ChartRect{90, 0, 190, 17}));
  EXPECT_EQ(caption.align, ChartAlign::kCentre);
  EXPECT_EQ(caption.font, ChartFont::kLegend);
  EXPECT_EQ(std::get<ChartLines>(items.at(3)).segments,
            (std::vector<ChartSegment>{{165, 8, 195, 8}}));
  EXPECT_EQ(std::get<ChartText>(items.at(5)).text, "Current (A)");
  EXPECT_EQ(std::get<ChartText>(items.at(5)).rect, (ChartRect{240, 0, 340, 17}));
  EXPECT_EQ(std::get<ChartText>(items.at(8)).text, "Temperature (\u2103)");
  EXPECT_EQ(std::get<ChartText>(items.at(8)).colour, kRed);
  EXPECT_EQ(std::get<ChartLines>(items.at(9)).segments,
            (std::vector<ChartSegment>{{465, 8, 495, 8}}));

  // A caption wider than 50 pixels: the lines stop 3 pixels short of it.
  inputs_.captions.widths = {0, 0, 85};
  BuildChartScene(inputs_, scene_);
  EXPECT_EQ(std::get<ChartLines>(scene_.items.at(7)).segments,
            (std::vector<ChartSegment>{{385, 8, 394, 8}}));
  EXPECT_EQ(std::get<ChartLines>(scene_.items.at(9)).segments,
            (std::vector<ChartSegment>{{486, 8, 495, 8}}));
}

TEST_F(ChartSceneTest, FrameIsSolidAndTheGridDottedEveryTwentyPixels) {
  const auto items = Build();
  EXPECT_EQ(SegmentsIn(items, kGrey),
            (std::vector<ChartSegment>{
                {60, 18, 519, 18}, {519, 18, 519, 217}, {519, 217, 60, 217}, {60, 217, 60, 18}}));
  const auto grid = std::find_if(items.begin(), items.end(), [](const ChartItem& item) {
    const auto* lines = std::get_if<ChartLines>(&item);
    return lines && lines->dotted;
  });
  ASSERT_NE(grid, items.end());
  const auto& segments = std::get<ChartLines>(*grid).segments;
  ASSERT_EQ(segments.size(), 22u + 9u);
  EXPECT_EQ(segments.front(), (ChartSegment{80, 18, 80, 217}));
  EXPECT_EQ(segments[21], (ChartSegment{500, 18, 500, 217}));
  EXPECT_EQ(segments[22], (ChartSegment{60, 38, 519, 38}));
  EXPECT_EQ(segments.back(), (ChartSegment{60, 198, 519, 198}));
  EXPECT_EQ(std::get<ChartLines>(*grid).colour, kGrey);
}

TEST_F(ChartSceneTest, EmptyStoresDrawNoCurvesAndTheDefaultAxes) {
  const auto items = Build();
  EXPECT_TRUE(CurveOf(items, kYellow).empty());
  EXPECT_TRUE(CurveOf(items, kCyan).empty());
  EXPECT_TRUE(CurveOf(items, kRed).empty());
  EXPECT_FALSE(scene_.labelsDrawn);
  const auto voltage = TextsIn(items, kYellow);
  // The legend caption, the 11 labels and the readout cell.
  ASSERT_EQ(voltage.size(), 13u);
  EXPECT_EQ(voltage[2].text, "10.00");
  EXPECT_EQ(voltage[2].rect, (ChartRect{0, 10, 55, 30}));
  EXPECT_EQ(voltage[2].align, ChartAlign::kRight);
  EXPECT_EQ(voltage[12].text, "0.00");
  const auto current = TextsIn(items, kCyan);
  EXPECT_EQ(current[2].text, "10.00");
  EXPECT_EQ(current[2].align, ChartAlign::kLeft);
  EXPECT_EQ(current[2].rect, (ChartRect{524, 10, 575, 30}));
  const auto temperature = TextsIn(items, kRed);
  EXPECT_EQ(temperature[2].text, "20");
  EXPECT_EQ(temperature[12].text, "0");
  EXPECT_EQ(temperature[2].align, ChartAlign::kRight);
}

TEST_F(ChartSceneTest, ASingleSampleDrawsNoCurveAndTheCurrentAxisTakesTheVoltageScale) {
  voltage_ = {5.0f};
  current_ = {1.0f};
  temperature_ = {25.0f};
  const auto items = Build();
  EXPECT_TRUE(CurveOf(items, kYellow).empty());
  EXPECT_TRUE(CurveOf(items, kCyan).empty());
  const auto current = Strings(TextsIn(items, kCyan));
  EXPECT_EQ(current[2], "5.20");
  EXPECT_EQ(current[12], "5.00");
  EXPECT_EQ(Strings(TextsIn(items, kRed))[2], "40");
}

TEST_F(ChartSceneTest, LiveCurvesEndOnTheRightFrameLine) {
  voltage_ = {5.0f, 5.1f};
  current_ = {1.0f, 1.0f};
  temperature_ = {-60.0f, -60.0f};
  const auto items = Build();
  // Scale 5.0 to 5.2: 5.1 lies 100 rows up.
  EXPECT_EQ(CurveOf(items, kYellow), (std::vector<ChartSegment>{{518, 217, 519, 117}}));
  EXPECT_EQ(CurveOf(items, kCyan), (std::vector<ChartSegment>{{518, 217, 519, 217}}));
  // No probe: no temperature segment at all.
  EXPECT_TRUE(CurveOf(items, kRed).empty());
  EXPECT_TRUE(scene_.labelsDrawn);
  // Each axis labelled once, by its own curve.
  EXPECT_EQ(TextsIn(items, kYellow).size(), 13u);
  // Caption, then the curve's own labels from the top.
  EXPECT_EQ(Strings(TextsIn(items, kCyan))[1], "1.20");
  // Without a probe the temperature axis keeps the empty scale, 20 down to 0.
  EXPECT_EQ(Strings(TextsIn(items, kRed))[1], "20");
}

TEST_F(ChartSceneTest, TheTemperatureAxisSpansOnlyReadingsOfAProbe) {
  voltage_ = {5.0f, 5.0f, 5.0f};
  temperature_ = {25.0f, 30.0f, -60.0f};
  const auto items = Build();
  // 20 to 40 over 25 and 30; the probe taken away draws the last segment down to the bottom
  // frame line, not below it.
  const auto labels = Strings(TextsIn(items, kRed));
  EXPECT_EQ(labels[1], "40");
  EXPECT_EQ(labels[11], "20");
  EXPECT_EQ(CurveOf(items, kRed),
            (std::vector<ChartSegment>{{517, 167, 518, 117}, {518, 117, 519, 217}}));
}

TEST_F(ChartSceneTest, AFullStoreReachesTheLeftFrameLine) {
  voltage_.assign(460, 5.0f);
  current_ = voltage_;
  temperature_.assign(460, 25.0f);
  const auto curve = CurveOf(Build(), kYellow);
  ASSERT_EQ(curve.size(), 459u);
  EXPECT_EQ(curve.front(), (ChartSegment{60, 217, 61, 217}));
  EXPECT_EQ(curve.back(), (ChartSegment{518, 217, 519, 217}));
}

TEST(LiveCurve, ATemperatureAtOrBelowMinusFiftyStartsNoSegment) {
  const std::vector<float> held = {20.0f, -60.0f, -50.0f, 20.0f, 25.0f};
  const ValueScale scale{-60.0f, 40.0f};
  const auto segments = LiveCurveSegments(held, scale, true, kClient);
  // 100 degrees over 200 rows: 2 rows a degree above row 217 at -60.
  EXPECT_EQ(segments, (std::vector<ChartSegment>{{515, 57, 516, 217}, {518, 57, 519, 47}}));
  // The voltage and current curves draw every segment.
  EXPECT_EQ(LiveCurveSegments(held, scale, false, kClient).size(), 4u);
}

TEST(LiveCurve, SegmentsTouchingANonFiniteValueAreLeftOut) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> held = {5.0f, nan, 5.1f, 5.1f, inf, 5.0f};
  const auto segments = LiveCurveSegments(held, {5.0f, 5.2f}, false, kClient);
  EXPECT_EQ(segments, (std::vector<ChartSegment>{{516, 117, 517, 117}}));
}

TEST(LiveCurve, ValuesFarOutsideTheScaleAreClampedToTheClientArea) {
  const std::vector<float> held = {0.0f, 1e30f, -1e30f};
  const auto segments = LiveCurveSegments(held, {0.0f, 100.0f}, false, kClient);
  EXPECT_EQ(segments, (std::vector<ChartSegment>{{517, 217, 518, 0}, {518, 0, 519, 261}}));
}

TEST_F(ChartSceneTest, PeriodLabelUnderThePlotInLiveModeOnly) {
  inputs_.samplePeriod = 10;
  auto green = TextsIn(Build(), kGreen);
  ASSERT_EQ(green.size(), 2u);  // the label and the D+ cell
  EXPECT_EQ(green[0].text, "Time : 200ms All : 4.6s");
  EXPECT_EQ(green[0].rect, (ChartRect{60, 217, 519, 237}));
  EXPECT_EQ(green[0].font, ChartFont::kSmall);
  inputs_.samplePeriod = 0;
  green = TextsIn(Build(), kGreen);
  ASSERT_EQ(green.size(), 1u);
  EXPECT_EQ(green[0].text, "D+:0.00V");
}

TEST_F(ChartSceneTest, ReadoutRowHasSixCellsUnderThePlot) {
  inputs_.readout = {5.0f, 1.5f, 7.5f, 0.6f, 0.59f, -60.0f};
  std::vector<ChartText> cells;
  for (const ChartItem& item : Build()) {
    if (const auto* t = std::get_if<ChartText>(&item); t && t->font == ChartFont::kMedium)
      cells.push_back(*t);
  }
  ASSERT_EQ(cells.size(), 6u);
  EXPECT_EQ(Strings(cells), (std::vector<std::string>{"5.0000V", "1.5000A", "7.5000W", "D+:0.60V",
                                                      "D-:0.59V", "NULL"}));
  EXPECT_EQ(cells[0].rect, (ChartRect{0, 232, 100, 261}));
  EXPECT_EQ(cells[4].rect, (ChartRect{400, 232, 500, 261}));
  EXPECT_EQ(cells[5].rect, (ChartRect{500, 232, 577, 261}));
  const Rgb colours[] = {kYellow, kCyan, {221, 0, 221}, kGreen, {255, 127, 80}, kRed};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(cells[i].colour, colours[i]) << i;
  }
}

RecordSet Records(uint32_t count, uint8_t hours = 1) {
  RecordSet set;
  set.RecordHours = hours;
  set.count = count;
  for (uint32_t i = 0; i < count; ++i) {
    set.points.push_back({5.0f + (i % 2) * 0.1f, 1.0f, 25.0f});
  }
  return set;
}

TEST(RecordCurves, TimeAxisThenTheThreeCurvesWithTheirLabels) {
  const RecordCurves curves = BuildRecordCurves(Records(352), false, kClient);
  EXPECT_TRUE(curves.labelsDrawn);
  const auto times = TextsIn(curves.items, kGreen);
  ASSERT_EQ(times.size(), 7u);
  EXPECT_EQ(times[0].text, "0:10:13");
  EXPECT_EQ(times[0].rect, (ChartRect{90, 217, 150, 237}));
  EXPECT_EQ(times[6].text, "1:11:35");
  EXPECT_EQ(times[6].rect, (ChartRect{450, 217, 510, 237}));
  // The time axis comes before the voltage labels.
  EXPECT_EQ(std::get<ChartText>(curves.items.at(0)).text, "0:10:13");
  EXPECT_EQ(Strings(TextsIn(curves.items, kYellow))[0], "5.20");

  const auto voltage = SegmentsIn(curves.items, kYellow);
  ASSERT_EQ(voltage.size(), 351u);
  // About a column per record from the left frame line; 5.1 V is 100 rows up.
  EXPECT_EQ(voltage[0], (ChartSegment{60, 217, 61, 117}));
  EXPECT_EQ(voltage[350], (ChartSegment{410, 217, 411, 117}));
  EXPECT_EQ(SegmentsIn(curves.items, kCyan).size(), 351u);
  EXPECT_EQ(SegmentsIn(curves.items, kRed).size(), 351u);
}

TEST(RecordCurves, FullStretchesTheSetAcrossThePlot) {
  const RecordCurves curves = BuildRecordCurves(Records(352), true, kClient);
  const auto voltage = SegmentsIn(curves.items, kYellow);
  ASSERT_EQ(voltage.size(), 351u);
  EXPECT_EQ(voltage.back().x2, 520);
  EXPECT_EQ(Strings(TextsIn(curves.items, kGreen))[0], "0:07:49");
}

TEST(RecordCurves, OneRecordOrNoneDrawsNothing) {
  for (uint32_t count : {0u, 1u}) {
    const RecordCurves curves = BuildRecordCurves(Records(count), true, kClient);
    EXPECT_TRUE(curves.items.empty()) << count;
    EXPECT_FALSE(curves.labelsDrawn);
  }
}

TEST(RecordCurves, RecordedTemperaturesAreDrawnWhateverTheirValue) {
  RecordSet set = Records(3);
  for (RecordPoint& p : set.points)
    p.temperature = -128.0f;
  EXPECT_EQ(SegmentsIn(BuildRecordCurves(set, false, kClient).items, kRed).size(), 2u);
}

TEST(RecordCurves, ALargeSetIsCompressedIntoThePlotWidth) {
  const RecordCurves curves = BuildRecordCurves(Records(100000), false, kClient);
  const auto voltage = SegmentsIn(curves.items, kYellow);
  // At most one line within and one line to the next column, per column.
  EXPECT_LE(voltage.size(), 2u * 460u);
  for (const ChartSegment& s : voltage) {
    EXPECT_GE(std::min(s.x1, s.x2), 60);
    EXPECT_LE(std::max(s.x1, s.x2), 519);
  }
}

TEST(RecordCurves, SegmentsWithinAColumnJoinIntoOneLineOverTheSamePixels) {
  // Divisor 1000: records 0, 1 and 2 fall into column 60, record 3 into column 61.
  const std::vector<float> values = {1.0f, 3.0f, 2.0f, 4.0f};
  const auto segments = RecordCurveSegments(values, {0.0f, 10.0f}, 1000, kClient);
  // Rows: 1 -> 197, 3 -> 157, 2 -> 177, 4 -> 137.
  EXPECT_EQ(segments, (std::vector<ChartSegment>{{60, 157, 60, 197}, {60, 177, 61, 137}}));
}

TEST_F(ChartSceneTest, RecordCurvesTakeTheirPlaceAfterTheReadoutAndLabelTheAxes) {
  const RecordCurves curves = BuildRecordCurves(Records(352), false, kClient);
  inputs_.records = &curves;
  const auto items = Build();
  EXPECT_TRUE(scene_.labelsDrawn);
  // No fallback labels follow: the voltage axis is labelled once, from the records.
  EXPECT_EQ(Strings(TextsIn(items, kYellow))[2], "5.20");
  EXPECT_EQ(TextsIn(items, kYellow).size(), 13u);
  const auto isTime = [](const ChartItem& item) {
    const auto* t = std::get_if<ChartText>(&item);
    return t && t->text == "0:10:13";
  };
  const auto isReadout = [](const ChartItem& item) {
    const auto* t = std::get_if<ChartText>(&item);
    return t && t->text == "0.0000V";
  };
  EXPECT_LT(std::find_if(items.begin(), items.end(), isReadout) - items.begin(),
            std::find_if(items.begin(), items.end(), isTime) - items.begin());
}

TEST_F(ChartSceneTest, ASetOfOneRecordLeavesTheAxesToTheStores) {
  const RecordCurves curves = BuildRecordCurves(Records(1), false, kClient);
  inputs_.records = &curves;
  inputs_.readout.temperature = 0.0f;
  const auto items = Build();
  EXPECT_FALSE(scene_.labelsDrawn);
  EXPECT_EQ(Strings(TextsIn(items, kYellow))[2], "10.00");
}

}  // namespace
}  // namespace vireo
