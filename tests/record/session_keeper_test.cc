// How frames and what happens to the meter become sessions: gaps, triggers with pre-roll,
// limits, and the ends of sessions.
#include "record/session_keeper.h"

#include <gtest/gtest.h>

#include <cmath>

#include "recording_sink.h"

namespace vireo::record {
namespace {

using test::Frame;
using test::kMillisecond;
using test::kMonoBase;
using test::kSecond;
using test::kWallBase;
using test::RecordingSink;

class SessionKeeperTest : public ::testing::Test {
 protected:
  void Make(const TriggerSettings& settings) {
    keeper_ = std::make_unique<SessionKeeper>(settings, sink_);
    keeper_->SetMeter("FEDCBA", "1.5");
    keeper_->OnStreamStarted(kMonoBase);
  }
  // Frames every 100 ms from `from` to `to` (test time, ns) with the current that `amps` gives.
  void Frames(int64_t from, int64_t to, const std::function<float(int64_t)>& amps) {
    for (int64_t t = from; t <= to; t += 100 * kMillisecond) {
      keeper_->OnFrame(Frame(t, 5, amps(t)));
      keeper_->OnTick(kMonoBase + t);
    }
  }
  static std::function<float(int64_t)> Constant(float a) {
    return [a](int64_t) { return a; };
  }

  RecordingSink sink_;
  std::unique_ptr<SessionKeeper> keeper_;
};

TEST_F(SessionKeeperTest, WithoutTriggersTheFirstFrameStartsTheSession) {
  Make({});
  Frames(2 * kSecond, 3 * kSecond, Constant(1));
  keeper_->Stop(kMonoBase + 10 * kSecond, EndReason::kStopped);
  ASSERT_EQ(sink_.sessions.size(), 1u);
  const auto& s = sink_.sessions[0];
  EXPECT_EQ(s.start.wallStartNs, kWallBase + 2 * kSecond);
  EXPECT_EQ(s.start.serial, "FEDCBA");
  EXPECT_EQ(s.samples.front().first, 0);
  EXPECT_EQ(s.samples.size(), 11u);
  // Stopped while frames came: the session ends at its last sample, not at the request.
  EXPECT_EQ(s.end.endNs, kSecond);
  EXPECT_EQ(s.end.reason, EndReason::kStopped);
  EXPECT_DOUBLE_EQ(s.end.summary.coverage, 1);
  EXPECT_TRUE(keeper_->Finished());
}

TEST_F(SessionKeeperTest, AnUnplugOpensAGapAtTheLastFrameAndTheNextFrameClosesIt) {
  Make({});
  Frames(0, kSecond, Constant(1));
  keeper_->OnMeterLost(kMonoBase + kSecond + 300 * kMillisecond, "meter gone");
  keeper_->OnTick(kMonoBase + 3 * kSecond);
  keeper_->OnStreamStarted(kMonoBase + 4 * kSecond);
  Frames(4 * kSecond + 200 * kMillisecond, 5 * kSecond, Constant(2));
  keeper_->Stop(kMonoBase + 6 * kSecond, EndReason::kStopped);

  const auto& s = sink_.sessions.at(0);
  ASSERT_EQ(s.gaps.size(), 1u);
  EXPECT_EQ(s.gaps[0].fromNs, kSecond);
  EXPECT_EQ(s.gaps[0].toNs, 4 * kSecond + 200 * kMillisecond);
  EXPECT_EQ(s.gaps[0].cause, "meter gone");
  ASSERT_EQ(s.events.size(), 2u);
  EXPECT_EQ(s.events[0].kind, "meter lost");
  EXPECT_EQ(s.events[0].tNs, kSecond);
  EXPECT_EQ(s.events[1].kind, "meter back");
  const Summary& m = s.end.summary;
  EXPECT_EQ(m.gaps, 1);
  EXPECT_NEAR(m.gapSeconds, 3.2, 1e-9);
  EXPECT_NEAR(m.coveredSeconds, 1.8, 1e-9);
  EXPECT_NEAR(m.coveredSeconds + m.gapSeconds, m.durationSeconds, 1e-9);
  // 1 s at 1 A and 0.8 s at 2 A; nothing across the gap.
  EXPECT_NEAR(m.chargeMah, (1.0 + 1.6) / 3.6, 1e-6);
}

TEST_F(SessionKeeperTest, SilenceBecomesAGapOnceItLastsLongerThanGapAfter) {
  TriggerSettings settings;
  settings.gapAfterSeconds = 1;
  Make(settings);
  Frames(0, kSecond, Constant(1));
  keeper_->OnTick(kMonoBase + 1900 * kMillisecond);
  EXPECT_EQ(sink_.gapsOpened, 0);
  EXPECT_EQ(keeper_->NextDeadline(), kMonoBase + 2 * kSecond + 1);
  keeper_->OnTick(kMonoBase + 2100 * kMillisecond);
  EXPECT_EQ(sink_.gapsOpened, 1);
  EXPECT_EQ(keeper_->NextDeadline(), INT64_MAX);  // nothing more to wait for
  // The meter then turns out to be gone: the same gap, with the better cause.
  keeper_->OnMeterLost(kMonoBase + 2500 * kMillisecond, "meter gone");
  EXPECT_EQ(sink_.gapsOpened, 1);
  keeper_->OnStreamStarted(kMonoBase + 3 * kSecond);
  Frames(3 * kSecond, 3 * kSecond, Constant(1));
  const auto& s = sink_.sessions.at(0);
  ASSERT_EQ(s.gaps.size(), 1u);
  EXPECT_EQ(s.gaps[0].fromNs, kSecond);
  EXPECT_EQ(s.gaps[0].cause, "meter gone");
  EXPECT_EQ(s.events.at(0).detail, "meter silent");
}

TEST_F(SessionKeeperTest, AStopDuringAGapEndsTheSessionThenAndClosesTheGap) {
  Make({});
  Frames(0, kSecond, Constant(1));
  keeper_->OnMeterLost(kMonoBase + kSecond, "meter gone");
  keeper_->Stop(kMonoBase + 5 * kSecond, EndReason::kStopped);
  const auto& s = sink_.sessions.at(0);
  EXPECT_EQ(s.end.endNs, 5 * kSecond);
  ASSERT_EQ(s.gaps.size(), 1u);
  EXPECT_EQ(s.gaps[0].toNs, 5 * kSecond);
  EXPECT_NEAR(s.end.summary.coverage, 0.2, 1e-9);
}

// A charge: 0.1 A idle until 3 s, 2 A until 8 s, then 0.05 A.
float Charge(int64_t t) {
  return t < 3 * kSecond ? 0.1f : t < 8 * kSecond ? 2.0f : 0.05f;
}

TEST_F(SessionKeeperTest, StartAboveKeepsThePreRollAndStopBelowEndsAfterItsTime) {
  TriggerSettings settings;
  settings.startAbove = 1;
  settings.preRollSeconds = 0.5;
  // Below this already during the pre-roll, which must not end the session.
  settings.stopBelow = 0.5;
  settings.stopForSeconds = 0.3;
  Make(settings);
  Frames(0, 12 * kSecond, Charge);
  ASSERT_EQ(sink_.sessions.size(), 1u);
  const auto& s = sink_.sessions[0];
  EXPECT_EQ(s.start.wallStartNs, kWallBase + 2500 * kMillisecond);
  ASSERT_EQ(s.events.size(), 2u);
  EXPECT_EQ(s.events[0].kind, "trigger start");
  EXPECT_EQ(s.events[0].tNs, 500 * kMillisecond);
  EXPECT_EQ(s.events[1].kind, "trigger stop");
  // Six frames of pre-roll (2.5 .. 3.0 s), the hold, and the tail below 0.5 A for 0.3 s.
  EXPECT_EQ(s.samples.front().first, 0);
  EXPECT_FLOAT_EQ(s.samples.front().second.current, 0.1f);
  EXPECT_EQ(s.end.reason, EndReason::kTrigger);
  EXPECT_EQ(s.end.endNs, 8300 * kMillisecond - 2500 * kMillisecond);
  EXPECT_EQ(s.samples.size(), 59u);
  // Without a new crossing no second session starts, but the run is not over either.
  EXPECT_FALSE(keeper_->Finished());
}

TEST_F(SessionKeeperTest, EachCrossingStartsANewSession) {
  TriggerSettings settings;
  settings.startAbove = 1;
  settings.stopBelow = 0.5;
  settings.stopForSeconds = 0.5;
  Make(settings);
  Frames(0, 12 * kSecond, Charge);
  Frames(12 * kSecond + 100 * kMillisecond, 24 * kSecond,
         [](int64_t t) { return Charge(t - 12 * kSecond); });
  ASSERT_EQ(sink_.sessions.size(), 2u);
  EXPECT_EQ(sink_.sessions[0].start.number, 1);
  EXPECT_EQ(sink_.sessions[1].start.number, 2);
  EXPECT_EQ(sink_.sessions[1].start.wallStartNs, kWallBase + 15 * kSecond);
  EXPECT_TRUE(sink_.sessions[1].ended);
}

TEST_F(SessionKeeperTest, ACurrentAboveTheThresholdAtTheStartCountsAsACrossing) {
  TriggerSettings settings;
  settings.startAbove = 1;
  Make(settings);
  Frames(0, kSecond, Constant(2));
  EXPECT_EQ(sink_.sessions.size(), 1u);
}

TEST_F(SessionKeeperTest, StopBelowWithoutStartAboveEndsTheRun) {
  TriggerSettings settings;
  settings.stopBelow = 0.5;
  settings.stopForSeconds = 1;
  Make(settings);
  Frames(3 * kSecond, 12 * kSecond, Charge);
  ASSERT_EQ(sink_.sessions.size(), 1u);
  EXPECT_EQ(sink_.sessions[0].end.reason, EndReason::kTrigger);
  EXPECT_TRUE(keeper_->Finished());
  EXPECT_EQ(sink_.sessions[0].end.endNs, 6 * kSecond);
}

TEST_F(SessionKeeperTest, ABelowStretchInterruptedByAGapStartsOver) {
  TriggerSettings settings;
  settings.stopBelow = 0.5;
  settings.stopForSeconds = 1;
  Make(settings);
  Frames(0, 700 * kMillisecond, Constant(0.1f));
  keeper_->OnMeterLost(kMonoBase + 800 * kMillisecond, "meter gone");
  keeper_->OnStreamStarted(kMonoBase + 2 * kSecond);
  Frames(2 * kSecond, 2700 * kMillisecond, Constant(0.1f));
  EXPECT_TRUE(keeper_->SessionActive());
  Frames(2800 * kMillisecond, 3 * kSecond, Constant(0.1f));
  EXPECT_FALSE(keeper_->SessionActive());
}

struct LimitCase {
  const char* name;
  TriggerSettings settings;
  int64_t endNs;
};

class LimitTest : public SessionKeeperTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(LimitTest, ALimitEndsTheSessionAndTheRun) {
  Make(GetParam().settings);
  Frames(0, 20 * kSecond, Constant(-2));  // a discharge: limits count the amount
  ASSERT_EQ(sink_.sessions.size(), 1u);
  EXPECT_EQ(sink_.sessions[0].end.reason, EndReason::kLimit);
  EXPECT_EQ(sink_.sessions[0].end.endNs, GetParam().endNs);
  EXPECT_TRUE(keeper_->Finished());
}

TriggerSettings With(void (*set)(TriggerSettings&)) {
  TriggerSettings s;
  set(s);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LimitTest,
    ::testing::Values(LimitCase{"duration",
                                With([](TriggerSettings& s) { s.durationSeconds = 4.25; }),
                                4200 * kMillisecond},
                      // 2 A at 5 V: 10 W, so 9.9 mWh are passed at 3.6 s and 0.99 mAh at 1.8 s.
                      LimitCase{"energy", With([](TriggerSettings& s) { s.maxEnergyWh = 0.0099; }),
                                3600 * kMillisecond},
                      LimitCase{"charge", With([](TriggerSettings& s) { s.maxChargeMah = 0.99; }),
                                1800 * kMillisecond}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(SessionKeeperTest, ADurationLimitEndsASessionWaitingForTheMeter) {
  TriggerSettings settings;
  settings.durationSeconds = 3;
  Make(settings);
  Frames(0, kSecond, Constant(1));
  keeper_->OnMeterLost(kMonoBase + kSecond, "meter gone");
  EXPECT_EQ(keeper_->NextDeadline(), kMonoBase + 3 * kSecond);
  keeper_->OnTick(kMonoBase + 3 * kSecond);
  const auto& s = sink_.sessions.at(0);
  EXPECT_TRUE(s.ended);
  EXPECT_EQ(s.end.endNs, 3 * kSecond);
  EXPECT_EQ(s.gaps.at(0).toNs, 3 * kSecond);
}

TEST_F(SessionKeeperTest, SampleTimesStayIncreasingWhenFramesArriveTogether) {
  Make({});
  keeper_->OnFrame(Frame(0, 5, 1));
  keeper_->OnFrame(Frame(200, 5, 1));  // within the same microsecond
  keeper_->OnFrame(Frame(1500, 5, 1));
  const auto& samples = sink_.sessions.at(0).samples;
  EXPECT_EQ(samples[0].first, 0);
  EXPECT_EQ(samples[1].first, 1000);
  EXPECT_EQ(samples[2].first, 2000);
}

struct CheckCase {
  const char* name;
  TriggerSettings settings;
  bool ok;
};

class TriggerCheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(TriggerCheckTest, RefusesContradictoryOrNegativeSettings) {
  EXPECT_EQ(GetParam().settings.Check().empty(), GetParam().ok) << GetParam().settings.Check();
}

INSTANTIATE_TEST_SUITE_P(
    Settings, TriggerCheckTest,
    ::testing::Values(
        CheckCase{"defaults", {}, true},
        CheckCase{"start_and_stop", With([](TriggerSettings& s) {
                    s.startAbove = 1;
                    s.stopBelow = 0.1;
                    s.preRollSeconds = 5;
                  }),
                  true},
        CheckCase{"stop_above_start", With([](TriggerSettings& s) {
                    s.startAbove = 0.1;
                    s.stopBelow = 1;
                  }),
                  false},
        CheckCase{"pre_roll_alone", With([](TriggerSettings& s) { s.preRollSeconds = 1; }), false},
        CheckCase{"negative_pre_roll", With([](TriggerSettings& s) {
                    s.startAbove = 1;
                    s.preRollSeconds = -1;
                  }),
                  false},
        CheckCase{"negative_for", With([](TriggerSettings& s) { s.stopForSeconds = -2; }), false},
        CheckCase{"zero_duration", With([](TriggerSettings& s) { s.durationSeconds = 0; }), false},
        CheckCase{"negative_energy", With([](TriggerSettings& s) { s.maxEnergyWh = -1; }), false},
        CheckCase{"nan_start", With([](TriggerSettings& s) { s.startAbove = std::nan(""); }),
                  false}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace vireo::record
