// The figures of a session: trapezoid integration over covered time, statistics, repeats and
// frames lost.
#include "record/session_stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "recording_sink.h"

namespace vireo::record {
namespace {

using test::kSecond;

ReadingsRecord Readings(float volts, float amps, float number = 0) {
  return test::Frame(0, volts, amps, number).readings;
}

TEST(SessionStatsTest, TrapezoidOfALinearRampIsExact) {
  // Current rises from 0 to 2 A over one hour at 5 V, sampled every 10 minutes: 1 Ah, 5 Wh.
  SessionStats stats;
  for (int i = 0; i <= 6; ++i)
    stats.AddSample(i * 600 * kSecond, Readings(5, 2.0f * i / 6), false);
  const Summary s = stats.Snapshot(3600 * kSecond);
  EXPECT_NEAR(s.chargeMah, 1000, 1e-3);
  EXPECT_NEAR(s.energyWh, 5, 1e-5);
  EXPECT_DOUBLE_EQ(s.coveredSeconds, 3600);
  EXPECT_DOUBLE_EQ(s.coverage, 1);
}

TEST(SessionStatsTest, NothingIsIntegratedAcrossAGap) {
  SessionStats stats;
  stats.AddSample(0, Readings(5, 1), false);
  stats.AddSample(1800 * kSecond, Readings(5, 1), false);  // half an hour at 1 A
  stats.AddGap(1800 * kSecond);
  stats.AddSample(3600 * kSecond, Readings(5, 3), true);  // after the gap, at 3 A
  stats.AddSample(5400 * kSecond, Readings(5, 3), false);
  const Summary s = stats.Snapshot(5400 * kSecond);
  EXPECT_NEAR(s.chargeMah, 500 + 1500, 1e-6);
  EXPECT_NEAR(s.energyWh, 2.5 + 7.5, 1e-6);
  EXPECT_DOUBLE_EQ(s.coveredSeconds, 3600);
  EXPECT_DOUBLE_EQ(s.gapSeconds, 1800);
  EXPECT_EQ(s.gaps, 1);
  EXPECT_NEAR(s.coverage, 2.0 / 3, 1e-12);
}

TEST(SessionStatsTest, MinMaxMeanSkipValuesThatAreNotNumbers) {
  SessionStats stats;
  stats.AddSample(0, Readings(5, 1), false);
  stats.AddSample(kSecond, Readings(std::numeric_limits<float>::quiet_NaN(), 3), false);
  stats.AddSample(2 * kSecond, Readings(4, -1), false);
  const Summary s = stats.Snapshot(2 * kSecond);
  EXPECT_EQ(s.samples, 3);
  EXPECT_EQ(s.quantities[0].count, 2);
  EXPECT_DOUBLE_EQ(s.quantities[0].min, 4);
  EXPECT_DOUBLE_EQ(s.quantities[0].max, 5);
  EXPECT_DOUBLE_EQ(s.quantities[0].Mean(), 4.5);
  EXPECT_DOUBLE_EQ(s.quantities[1].min, -1);
  EXPECT_DOUBLE_EQ(s.quantities[1].Mean(), 1);
  // The power next to the NaN is NaN too: those two intervals add no energy, but the charge is
  // whole. 1 s at 2 A, then 1 s at 1 A on average.
  EXPECT_TRUE(std::isfinite(s.energyWh));
  EXPECT_DOUBLE_EQ(s.energyWh, 0);
  EXPECT_NEAR(s.chargeMah, 3000.0 / 3600, 1e-9);
}

TEST(SessionStatsTest, AnExternalTemperatureWithoutProbeIsNoValue) {
  SessionStats stats;
  for (const float celsius : {-60.0f, 25.0f, -50.5f, 27.0f}) {
    ReadingsRecord r = Readings(5, 1);
    r.tempExternal = celsius;
    stats.AddSample(0, r, false);
  }
  const QuantityStats external = stats.Snapshot(0).quantities[kTempExternalIndex];
  EXPECT_EQ(external.count, 2);
  EXPECT_DOUBLE_EQ(external.min, 25);
  EXPECT_DOUBLE_EQ(external.Mean(), 26);
}

TEST(SessionStatsTest, RepeatsCountReadingsEqualToThePreviousOnes) {
  SessionStats stats;
  // The frame number differs each time; only the nine quantities are compared.
  stats.AddSample(0, Readings(5, 1, 0), false);
  stats.AddSample(kSecond, Readings(5, 1, 1), false);
  stats.AddSample(2 * kSecond, Readings(5, 2, 2), false);
  stats.AddSample(3 * kSecond, Readings(5, 2, 3), false);
  stats.AddSample(4 * kSecond, Readings(5, 2, 4), false);
  EXPECT_EQ(stats.Snapshot(4 * kSecond).repeated, 3);
}

struct NumberingCase {
  const char* name;
  std::vector<float> numbers;
  std::vector<bool> afterGap;
  std::optional<int64_t> lost;
};

class FramesLostTest : public ::testing::TestWithParam<NumberingCase> {};

TEST_P(FramesLostTest, CountsTheMissingNumbersWithinCoveredStretches) {
  const NumberingCase& c = GetParam();
  SessionStats stats;
  for (size_t i = 0; i < c.numbers.size(); ++i)
    stats.AddSample(i * kSecond, Readings(5, 1, c.numbers[i]), c.afterGap[i]);
  EXPECT_EQ(stats.Snapshot(kSecond).framesLost, c.lost);
}

INSTANTIATE_TEST_SUITE_P(
    Numbering, FramesLostTest,
    ::testing::Values(NumberingCase{"none_lost", {0, 1, 2, 3}, {0, 0, 0, 0}, 0},
                      NumberingCase{"two_holes", {7, 8, 10, 13}, {0, 0, 0, 0}, 3},
                      // The meter sends nothing while unplugged; a jump across a gap is no loss.
                      NumberingCase{"jump_across_gap", {0, 1, 50, 51}, {0, 0, 1, 0}, 0},
                      // A meter that restarts its numbers after a replug.
                      NumberingCase{"restart_after_gap", {5, 6, 0, 1}, {0, 0, 1, 0}, 0},
                      NumberingCase{"constant_field", {0, 0, 0}, {0, 0, 0}, std::nullopt},
                      NumberingCase{"fractions", {0.5f, 1.5f}, {0, 0}, std::nullopt},
                      NumberingCase{"negative", {-1, 0}, {0, 0}, std::nullopt}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SessionStatsTest, ASessionWithoutDurationHasNoCoverage) {
  SessionStats stats;
  stats.AddSample(0, Readings(5, 1), false);
  const Summary s = stats.Snapshot(0);
  EXPECT_EQ(s.coverage, 0);
  EXPECT_EQ(s.samples, 1);
}

TEST(SessionStatsTest, AnOpenGapCountsAsOne) {
  SessionStats stats;
  stats.AddSample(0, Readings(5, 1), false);
  stats.AddGap(kSecond);
  const Summary s = stats.Snapshot(3 * kSecond, 2 * kSecond);
  EXPECT_EQ(s.gaps, 2);
  EXPECT_DOUBLE_EQ(s.gapSeconds, 3);
}

}  // namespace
}  // namespace vireo::record
