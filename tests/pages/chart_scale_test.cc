// The chart's numbers: scales, axis labels, the vertical mapping, the period label, the
// readout texts and the record time axis, with the values written out.
#include "pages/chart/chart_scale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace vireo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
// The chart control's client area.
constexpr ChartRect kClient{0, 0, 577, 261};

struct ScaleCase {
  std::vector<float> values;
  float bottom;
  float top;
};

class VoltageCurrentScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(VoltageCurrentScale, BottomIsATenthNotAboveTheMinimumAndTopCoversTheSpan) {
  const ScaleCase& c = GetParam();
  const ValueScale scale = ScaleVoltageCurrent(c.values);
  EXPECT_EQ(scale.bottom, c.bottom);
  EXPECT_EQ(scale.top, c.top);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VoltageCurrentScale,
    ::testing::Values(
        // No samples: 0 to 10.
        ScaleCase{{}, 0.0f, 10.0f},
        // A constant 5 V: span 0, so 0.2 above the bottom.
        ScaleCase{{5.0f, 5.0f, 5.0f}, 5.0f, 5.2f},
        // 4.95 to 5.05: bottom 4.9, span about 0.15.
        ScaleCase{{4.95f, 5.0f, 5.05f}, 4.9f, 5.1f},
        // 4.95 to 5.25: span about 0.35, the next step is 1.
        ScaleCase{{4.95f, 5.25f}, 4.9f, 5.9f},
        // A span of exactly 1 takes the step 1; up to 0.2 the top is 0.2 above the bottom,
        // and 0.2 in single precision is just above 0.2 in double, so it takes the step 1.
        ScaleCase{{0.0f, 1.0f}, 0.0f, 1.0f}, ScaleCase{{0.0f, 0.19f}, 0.0f, 0.2f},
        ScaleCase{{0.0f, 0.2f}, 0.0f, 1.0f}, ScaleCase{{0.0f, 2.5f}, 0.0f, 5.0f},
        ScaleCase{{0.0f, 45.0f}, 0.0f, 50.0f},
        // 65.535 V (a record of 0xFFFF millivolts) grows the axis to a span of 100.
        ScaleCase{{5.0f, 65.535f}, 5.0f, 105.0f},
        // Negative: the tenth below -1.234 is -1.2 - 0.1, which rounds to the float next
        // below -1.3; the span of 0.3 takes the step 1.
        ScaleCase{{-1.234f, -1.0f}, std::nextafter(-1.3f, -2.0f), -0.30000004f},
        // In single precision 0.7 is 0.69999999, whose tenths truncate to 6.
        ScaleCase{{0.7f}, 0.6f, 0.8f},
        // Values that are not finite are left out; with none left the default applies.
        ScaleCase{{kNaN, 5.0f, kInf, -kInf}, 5.0f, 5.2f}, ScaleCase{{kNaN, kInf}, 0.0f, 10.0f}));

class TemperatureScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(TemperatureScale, BottomIsATwentyNotAboveTheMinimum) {
  const ScaleCase& c = GetParam();
  const ValueScale scale = ScaleTemperature(c.values);
  EXPECT_EQ(scale.bottom, c.bottom);
  EXPECT_EQ(scale.top, c.top);
}

INSTANTIATE_TEST_SUITE_P(Cases, TemperatureScale,
                         ::testing::Values(ScaleCase{{}, 0.0f, 20.0f},
                                           // -3 to 25: bottom -20, span 45.
                                           ScaleCase{{-3.0f, 25.0f}, -20.0f, 30.0f},
                                           ScaleCase{{25.0f}, 20.0f, 40.0f},
                                           ScaleCase{{20.0f, 40.0f}, 20.0f, 40.0f},
                                           ScaleCase{{-20.5f, 0.0f}, -40.0f, 10.0f},
                                           // No probe (-60) beside a reading of 30.
                                           ScaleCase{{-60.0f, 30.0f}, -60.0f, 40.0f},
                                           ScaleCase{{0.0f, 150.0f}, 0.0f, 200.0f},
                                           ScaleCase{{-128.0f, 127.0f}, -140.0f, 260.0f},
                                           ScaleCase{{kNaN, 25.0f}, 20.0f, 40.0f}));

TEST(ChartScale, HugeValuesGiveAFiniteScale) {
  const std::vector<float> values = {-3e38f, 3e38f};
  const ValueScale vc = ScaleVoltageCurrent(values);
  const ValueScale t = ScaleTemperature(values);
  for (const float v : {vc.bottom, vc.top, t.bottom, t.top}) {
    EXPECT_TRUE(std::isfinite(v)) << v;
  }
}

TEST(AxisLabels, ElevenLabelsFromTheTopDown) {
  using Labels = std::array<std::string, 11>;
  EXPECT_EQ(AxisLabelTexts({0.0f, 10.0f}, AxisKind::kVoltage),
            (Labels{"10.00", "9.00", "8.00", "7.00", "6.00", "5.00", "4.00", "3.00", "2.00", "1.00",
                    "0.00"}));
  EXPECT_EQ(AxisLabelTexts({5.0f, 5.2f}, AxisKind::kCurrent),
            (Labels{"5.20", "5.18", "5.16", "5.14", "5.12", "5.10", "5.08", "5.06", "5.04", "5.02",
                    "5.00"}));
  EXPECT_EQ(AxisLabelTexts({0.0f, 20.0f}, AxisKind::kTemperature),
            (Labels{"20", "18", "16", "14", "12", "10", "8", "6", "4", "2", "0"}));
  EXPECT_EQ(AxisLabelTexts({-20.0f, 30.0f}, AxisKind::kTemperature),
            (Labels{"30", "25", "20", "15", "10", "5", "0", "-5", "-10", "-15", "-20"}));
}

TEST(AxisLabels, StandLevelWithTheGridLinesInTheirMargins) {
  EXPECT_EQ(AxisLabelRect(kClient, AxisKind::kVoltage, 0), (ChartRect{0, 10, 55, 30}));
  EXPECT_EQ(AxisLabelRect(kClient, AxisKind::kVoltage, 10), (ChartRect{0, 210, 55, 230}));
  EXPECT_EQ(AxisLabelRect(kClient, AxisKind::kCurrent, 3), (ChartRect{524, 70, 575, 90}));
  EXPECT_EQ(AxisLabelRect(kClient, AxisKind::kTemperature, 3), (ChartRect{524, 70, 575, 90}));
}

TEST(ChartGeometry, PlotRectIsFixedFromTheClientCorner) {
  EXPECT_EQ(PlotRectOf(kClient), (ChartRect{60, 18, 519, 217}));
  EXPECT_EQ(PlotRectOf({10, 20, 600, 300}), (ChartRect{70, 38, 529, 237}));
}

struct RowCase {
  float value;
  ValueScale scale;
  int row;
};

class VerticalMapping : public ::testing::TestWithParam<RowCase> {};

TEST_P(VerticalMapping, TruncatesTowardZeroAndClampsToTheClientArea) {
  const RowCase& c = GetParam();
  EXPECT_EQ(MapToRow(c.value, c.scale, PlotRectOf(kClient), kClient), c.row);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerticalMapping,
    ::testing::Values(RowCase{0.0f, {0, 10}, 217},       // bottom on the bottom frame line
                      RowCase{10.0f, {0, 10}, 17},       // top one row above the top frame line
                      RowCase{5.0f, {0, 10}, 117},       // half way
                      RowCase{0.05f, {0, 10}, 216},      // 1.0000000149 rows up
                      RowCase{-0.05f, {0, 10}, 218},     // truncated toward zero below too
                      RowCase{5.1f, {5.0f, 5.2f}, 117},  // exactly 100 rows in double precision
                      RowCase{5.05f, {5.0f, 5.2f}, 167}, RowCase{5.19f, {5.0f, 5.2f}, 27},
                      RowCase{1e30f, {0, 100}, 0},     // far above: the client top
                      RowCase{-1e30f, {0, 100}, 261},  // far below: the client bottom
                      RowCase{kInf, {0, 10}, 0}, RowCase{-kInf, {0, 10}, 261}));

TEST(VerticalMapping, NotANumberHasNoRow) {
  EXPECT_FALSE(MapToRow(kNaN, {0, 10}, PlotRectOf(kClient), kClient).has_value());
  // A scale without height gives 0 ÷ 0 for its own bottom.
  EXPECT_FALSE(MapToRow(1e9f, {1e9f, 1e9f}, PlotRectOf(kClient), kClient).has_value());
}

TEST(PeriodLabel, OneDivisionAndTheWholeWidthForEachRate) {
  EXPECT_EQ(PeriodLabelText(10), "Time : 200ms All : 4.6s");
  EXPECT_EQ(PeriodLabelText(20), "Time : 400ms All : 9.2s");
  EXPECT_EQ(PeriodLabelText(50), "Time : 1s All : 23.0s");
  EXPECT_EQ(PeriodLabelText(100), "Time : 2s All : 46.0s");
  EXPECT_EQ(PeriodLabelText(200), "Time : 4s All : 92.0s");
  EXPECT_EQ(PeriodLabelText(500), "Time : 10s All : 230.0s");
  EXPECT_EQ(PeriodLabelText(1000), "Time : 20s All : 460.0s");
  EXPECT_EQ(PeriodLabelText(0), "");
}

TEST(Readout, SixCellsWithTheirUnits) {
  using Texts = std::array<std::string, 6>;
  EXPECT_EQ(ReadoutTexts({}),
            (Texts{"0.0000V", "0.0000A", "0.0000W", "D+:0.00V", "D-:0.00V", "0.0\u2103"}));
  // Signs count toward the width, and the power keeps its sign.
  EXPECT_EQ(ReadoutTexts({5.123456f, -1.234567f, -2.5f, 0.6f, 2.71f, 25.25f}),
            (Texts{"5.1234V", "-1.234A", "-2.500W", "D+:0.60V", "D-:2.71V", "25.2\u2103"}));
}

TEST(Readout, TemperatureBelowMinusFiftyMeansNoProbe) {
  EXPECT_EQ(ReadoutTexts({.temperature = -50.5f})[5], "NULL");
  EXPECT_EQ(ReadoutTexts({.temperature = -50.0f})[5], "-50.0\u2103");
  EXPECT_EQ(ReadoutTexts({.temperature = kNaN})[5], "NULL");
}

TEST(TimeAxis, LabelsCountRecordIntervalsAcrossThePlot) {
  using Labels = std::array<std::string, 7>;
  // 352 records of one hour: 460 intervals across the plot, or the 352 stretched.
  EXPECT_EQ(TimeLabelTexts(1, 352, false),
            (Labels{"0:10:13", "0:20:27", "0:30:40", "0:40:54", "0:51:08", "1:01:21", "1:11:35"}));
  EXPECT_EQ(TimeLabelTexts(1, 352, true),
            (Labels{"0:07:49", "0:15:39", "0:23:28", "0:31:18", "0:39:07", "0:46:57", "0:54:46"}));
  EXPECT_EQ(TimeLabelTexts(1, 100, true),
            (Labels{"0:02:13", "0:04:26", "0:06:40", "0:08:53", "0:11:06", "0:13:20", "0:15:33"}));
  // 500 records: unstretched the plot still counts 460 intervals, stretched it counts 500.
  EXPECT_EQ(TimeLabelTexts(1, 500, false), TimeLabelTexts(1, 352, false));
  EXPECT_EQ(TimeLabelTexts(1, 500, true),
            (Labels{"0:11:06", "0:22:13", "0:33:20", "0:44:27", "0:55:34", "1:06:41", "1:17:48"}));
  EXPECT_EQ(TimeLabelTexts(24, 352, true)[6], "21:54:46");
}

TEST(TimeAxis, TheLargestFileKeepsItsHoursWhole) {
  // 16 MiB of records at 255 hours: beyond 32-bit seconds.
  EXPECT_EQ(TimeLabelTexts(255, 3355443, true)[6], "2219416:39:29");
}

TEST(RecordColumns, DivisorAndColumnsPerMode) {
  EXPECT_EQ(RecordDivisor(352, false), 459u);
  EXPECT_EQ(RecordDivisor(352, true), 351u);
  EXPECT_EQ(RecordDivisor(460, true), 459u);
  EXPECT_EQ(RecordDivisor(461, false), 461u);
  EXPECT_EQ(RecordDivisor(500, true), 500u);
  // Never zero, even where nothing is drawn.
  EXPECT_EQ(RecordDivisor(1, true), 1u);
  EXPECT_EQ(RecordDivisor(0, true), 1u);

  const ChartRect plot = PlotRectOf(kClient);
  EXPECT_EQ(RecordColumn(plot, 0, 459), 60);
  EXPECT_EQ(RecordColumn(plot, 1, 459), 61);
  EXPECT_EQ(RecordColumn(plot, 351, 459), 411);
  // Stretched, the last record lands one column right of the right frame line.
  EXPECT_EQ(RecordColumn(plot, 351, 351), 520);
  EXPECT_EQ(RecordColumn(plot, 1, 351), 61);
  EXPECT_EQ(RecordColumn(plot, 499, 500), 519);
  EXPECT_EQ(RecordColumn(plot, 3355442, 3355443), 519);
}

}  // namespace
}  // namespace vireo
