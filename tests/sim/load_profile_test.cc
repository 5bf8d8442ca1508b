// Load profiles and the scripted unplug of the emulator.
#include "sim/load_profile.h"

#include <gtest/gtest.h>

#include "sim/meter_emulator.h"
#include "sim/sim_args.h"
#include "sim/unplug_schedule.h"

namespace vireo::sim {
namespace {

std::shared_ptr<const LoadProfile> Parse(const std::string& text) {
  std::string error;
  auto profile = LoadProfile::Parse(text, error);
  EXPECT_TRUE(profile) << text << ": " << error;
  return profile;
}

TEST(LoadProfileTest, AChargeRisesHoldsTapersAndRests) {
  const auto p = Parse("charge:idle=1,rise=2,hold=3,taper=4,rest=5,idle_a=0.1,peak=2.1,done=0.1");
  struct Point {
    double t, amps;
  };
  for (const Point& point :
       {Point{0, 0.1}, Point{0.99, 0.1}, Point{2, 1.1}, Point{3, 2.1}, Point{5.9, 2.1},
        Point{8, 1.1}, Point{10, 0.1}, Point{14.9, 0.1}, Point{15 + 2, 1.1}}) {  // the next cycle
    EXPECT_NEAR(p->CurrentAt(point.t), point.amps, 1e-9) << point.t;
  }
  EXPECT_NEAR(p->VoltageAt(3), 5.1 - 0.05 * 2.1, 1e-9);
}

TEST(LoadProfileTest, WithoutRepeatTheChargeStaysDone) {
  const auto p = Parse("charge:repeat=0,done=0.03");
  EXPECT_NEAR(p->CurrentAt(1000), 0.03, 1e-9);
}

TEST(LoadProfileTest, ShapesTheEmulatorsFramesByFrameTime) {
  EmulatorOptions options;
  options.frameIntervalUs = 10'000;
  options.loadProfile = Parse("steady:12,-1.5");
  MeterEmulator meter(options);
  std::vector<Frame> out;
  meter.HandleReport(BuildFrame(26, std::vector<uint8_t>{3}, false, 0), out);
  for (uint32_t n = 0; n < 3; ++n) {
    const auto frame = meter.NextLiveFrame();
    ASSERT_TRUE(frame);
    const ReadingsRecord r = ReadingsRecord::FromBytes(frame->data() + 10);
    EXPECT_FLOAT_EQ(r.current, -1.5f);
    EXPECT_FLOAT_EQ(r.voltage, 12.075f);
    EXPECT_FLOAT_EQ(r.power, 12.075f * -1.5f);
    EXPECT_EQ(r.spare1, static_cast<float>(n));  // still numbered
  }
}

TEST(LoadProfileTest, BadSpecsSayWhy) {
  for (const char* text : {"", "sawtooth", "steady:5", "steady:5,x", "charge:peak", "charge:warp=1",
                           "charge:rise=-1", "charge:idle=0,rise=0,hold=0,taper=0,rest=0"}) {
    std::string error;
    EXPECT_FALSE(LoadProfile::Parse(text, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(UnplugScriptTest, UnplugsAndPlugsOnScheduleFromTheFirstOpen) {
  using namespace std::chrono_literals;
  UnplugScript script({2, 0.5, 2});
  const auto t0 = UnplugScript::Clock::time_point{} + 100s;
  EXPECT_EQ(script.Step(t0 + 10s), UnplugScript::Action::kNone);  // not begun
  script.Begin(t0);
  EXPECT_EQ(script.Next(), t0 + 2s);
  EXPECT_EQ(script.Step(t0 + 1s), UnplugScript::Action::kNone);
  EXPECT_EQ(script.Step(t0 + 2s), UnplugScript::Action::kUnplug);
  EXPECT_EQ(script.Step(t0 + 2s), UnplugScript::Action::kNone);
  EXPECT_EQ(script.Step(t0 + 2500ms), UnplugScript::Action::kPlug);
  EXPECT_EQ(script.Step(t0 + 4500ms), UnplugScript::Action::kUnplug);
  EXPECT_EQ(script.Step(t0 + 5s), UnplugScript::Action::kPlug);
  EXPECT_EQ(script.cyclesDone(), 2u);
  EXPECT_EQ(script.Next(), UnplugScript::Clock::time_point::max());
  EXPECT_EQ(script.Step(t0 + 100s), UnplugScript::Action::kNone);
}

TEST(SimArgsTest, LoadAndUnplugOptions) {
  const auto parsed = ParseSimArgs({"--dir", "/tmp/x", "--load", "charge:peak=3", "--unplug-every",
                                    "1.5", "--unplug-for", "0.25", "--unplug-cycles", "10"},
                                   nullptr);
  ASSERT_TRUE(parsed.settings) << parsed.error;
  EXPECT_NEAR(parsed.settings->options.loadProfile->CurrentAt(4), 3, 1e-9);
  EXPECT_DOUBLE_EQ(parsed.settings->unplug.every, 1.5);
  EXPECT_DOUBLE_EQ(parsed.settings->unplug.away, 0.25);
  EXPECT_EQ(parsed.settings->unplug.cycles, 10u);
  const auto bad = ParseSimArgs({"--dir", "/tmp/x", "--load", "charge:peak"}, nullptr);
  EXPECT_FALSE(bad.settings);
  EXPECT_NE(bad.error.find("not key=number"), std::string::npos) << bad.error;
}

}  // namespace
}  // namespace vireo::sim
