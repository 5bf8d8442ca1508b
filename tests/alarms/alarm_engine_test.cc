// The engine over synthetic frame sequences: durations, hysteresis, the "done" rule that waits
// for a rise, the meter lost and back, and values that a frame does not have.
#include "alarms/alarm_engine.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

namespace vireo::alarms {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kWallOffset = 1'700'000'000'000'000'000;

struct Heard : AlarmListener {
  void OnAlarm(const AlarmEvent& e) override { events.push_back(e); }
  // "overvolt raised 600 5.3" per event: name, state, milliseconds, value.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const AlarmEvent& e : events) {
      char value[32];
      std::snprintf(value, sizeof value, "%g", e.value);
      lines.push_back(e.name + " " + AlarmStateText(e.state) + " " +
                      std::to_string(e.monotonicNs / kMs) + " " + value);
    }
    return lines;
  }
  std::vector<AlarmEvent> events;
};

std::vector<AlarmRule> Rules(std::initializer_list<const char*> texts) {
  std::vector<AlarmRule> rules;
  for (const char* text : texts) {
    RuleParse parsed = ParseAlarmRule(text);
    EXPECT_TRUE(parsed.rule) << parsed.error;
    if (parsed.rule)
      rules.push_back(*parsed.rule);
  }
  return rules;
}

TimedReadings Frame(int64_t ms, float ReadingsRecord::*field, float value) {
  TimedReadings f;
  f.readings.voltage = 5;
  f.readings.tempExternal = -60;  // no probe
  f.readings.*field = value;
  f.monotonicNs = ms * kMs;
  f.wallNs = kWallOffset + ms * kMs;
  f.serial = "ABCDEF";
  return f;
}

TEST(AlarmEngine, ADurationMustHoldWithoutBreakAndTheClearLevelKeepsItRaised) {
  Heard heard;
  AlarmEngine engine(Rules({"overvolt: voltage > 5.25 for 0.5s clear < 5.20"}), heard);
  const std::pair<int64_t, float> voltages[] = {
      {0, 5.1f},     {100, 5.3f},  {400, 5.22f},   // broken before 0.5 s: no raise
      {500, 5.3f},   {900, 5.4f},  {1000, 5.3f},   // held 0.5 s: raised at 1000
      {1100, 5.22f}, {1200, 5.3f}, {1300, 5.21f},  // within the band: stays raised
      {1400, 5.19f},                               // below the clear level: cleared
      {1500, 5.3f}};
  for (const auto& [ms, volts] : voltages)
    engine.OnFrame(Frame(ms, &ReadingsRecord::voltage, volts));
  EXPECT_EQ(heard.Lines(),
            (std::vector<std::string>{"overvolt raised 1000 5.3", "overvolt cleared 1400 5.19"}));
  const AlarmEvent& raised = heard.events[0];
  EXPECT_EQ(raised.quantity, "voltage");
  EXPECT_EQ(raised.serial, "ABCDEF");
  EXPECT_EQ(raised.wallNs, kWallOffset + 1000 * kMs);
  EXPECT_EQ(AlarmEventText(raised), "overvolt raised: voltage 5.3V");

  // The last frame started a new wait; a tick at its end raises without another frame.
  EXPECT_EQ(engine.NextDeadline(), 2000 * kMs);
  engine.OnTick(1999 * kMs, 0);
  EXPECT_EQ(heard.events.size(), 2u);
  engine.OnTick(2000 * kMs, kWallOffset + 2000 * kMs);
  EXPECT_EQ(heard.Lines().back(), "overvolt raised 2000 5.3");
  EXPECT_TRUE(engine.Raised(0));
  EXPECT_EQ(engine.NextDeadline(), INT64_MAX);
}

TEST(AlarmEngine, DoneWaitsForTheCurrentToRiseBeforeItCanFall) {
  Heard heard;
  AlarmEngine engine(Rules({"done: current < 0.05 for 2s", "idle: current <= 0.1 clear > 0.5"}),
                     heard);
  int64_t ms = 0;
  const auto feed = [&](float amps, int64_t forMs) {
    for (const int64_t end = ms + forMs; ms < end; ms += 100)
      engine.OnFrame(Frame(ms, &ReadingsRecord::current, amps));
  };
  feed(0.0f, 5000);  // the meter starts idle: nothing
  EXPECT_TRUE(heard.events.empty());
  feed(0.3f, 1000);  // above done's level, below idle's clear level
  feed(0.0f, 3000);  // done: raised 2 s after the fall; idle never armed
  feed(2.0f, 1000);  // clears done, arms idle
  feed(0.01f, 2500);
  EXPECT_EQ(heard.Lines(),
            (std::vector<std::string>{"done raised 8000 0", "done cleared 9000 2",
                                      "idle raised 10000 0.01", "done raised 12000 0.01"}));
}

TEST(AlarmEngine, TheMeterIsLostAfterItsTimeWithoutFramesAndBackAtTheNextOne) {
  Heard heard;
  AlarmEngine engine(Rules({"lost: meter lost for 5s"}), heard);
  engine.SetSerial("ABCDEF");
  // No frame at all since the start counts too.
  engine.OnTick(1000 * kMs, 0);
  EXPECT_EQ(engine.NextDeadline(), 6000 * kMs);
  engine.OnTick(6000 * kMs, 0);
  engine.OnFrame(Frame(7000, &ReadingsRecord::voltage, 5));
  engine.OnFrame(Frame(8000, &ReadingsRecord::voltage, 5));
  EXPECT_EQ(engine.NextDeadline(), 13000 * kMs);
  engine.OnTick(12999 * kMs, 0);
  engine.OnTick(14250 * kMs, 0);
  engine.OnTick(15000 * kMs, 0);  // raised once, not at every tick
  EXPECT_EQ(engine.NextDeadline(), INT64_MAX);
  engine.OnFrame(Frame(16000, &ReadingsRecord::voltage, 5));
  EXPECT_EQ(heard.Lines(),
            (std::vector<std::string>{"lost raised 6000 5", "lost cleared 7000 6",
                                      "lost raised 14250 6.25", "lost cleared 16000 8"}));
  EXPECT_EQ(heard.events[0].quantity, kMeterLostQuantity);
  EXPECT_EQ(heard.events[0].serial, "ABCDEF");
  EXPECT_EQ(AlarmEventText(heard.events[3]), "lost cleared: frames again after 8 s");
}

TEST(AlarmEngine, AValueTheFrameLacksNeitherRaisesNorClears) {
  Heard heard;
  AlarmEngine engine(
      Rules({"cold: temp_external < 10", "hot: temp_external > 45", "low: voltage < 4.5"}), heard);
  engine.OnFrame(Frame(0, &ReadingsRecord::tempExternal, -60));  // no probe: not "cold"
  engine.OnFrame(Frame(100, &ReadingsRecord::voltage, 4));
  engine.OnFrame(Frame(200, &ReadingsRecord::voltage, NAN));
  EXPECT_TRUE(engine.Raised(2));
  engine.OnFrame(Frame(300, &ReadingsRecord::tempExternal, 50));
  engine.OnFrame(Frame(400, &ReadingsRecord::tempExternal, -60));  // the probe is pulled
  EXPECT_EQ(heard.Lines(), (std::vector<std::string>{"low raised 100 4", "hot raised 300 50",
                                                     "low cleared 300 5"}));
  EXPECT_TRUE(engine.Raised(1));
}

}  // namespace
}  // namespace vireo::alarms
