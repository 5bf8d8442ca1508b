#include "app/live_control.h"

#include "app/identify.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::LogEntry;
using testing::RecordingReporter;
using testing::WaitFor;

constexpr uint8_t kStreamReadings = 0x1A;

class LiveControlTest : public testing::VirtualMeterTest {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    // Built by append: "T" + std::to_string(i) draws a false -Wrestrict from GCC 12 at -O3.
    for (int i = 0; i < TextTable::kSlotCount; ++i)
      state.texts.texts[i] = std::string("T").append(std::to_string(i));
    link.Configure();
  }
  void TearDown() override {
    live.Shutdown();
    VirtualMeterTest::TearDown();
  }

  // Plugs a meter streaming one frame every intervalUs and identifies it, as start-up does.
  sim::VirtualMeter& PlugAndIdentify(uint32_t intervalUs = 2000, uint8_t version = 0x15,
                                     bool upgradeMode = false) {
    sim::EmulatorOptions options;
    options.frameIntervalUs = intervalUs;
    options.versionByte = version;
    options.upgradeMode = upgradeMode;
    sim::VirtualMeter& meter = PlugMeter(options);
    Identify(link, state, reporter);
    return meter;
  }

  uint32_t Requests(sim::VirtualMeter& meter) {
    uint32_t n = 0;
    meter.WithEmulator([&](sim::MeterEmulator& e) { n = e.CommandCount(kStreamReadings); });
    return n;
  }
  uint32_t FramesSent(sim::VirtualMeter& meter) {
    uint32_t n = 0;
    meter.WithEmulator([&](sim::MeterEmulator& e) { n = e.framesSent(); });
    return n;
  }
  bool Ended() {
    return WaitFor([&] { return state.LiveRunning == 0; }, std::chrono::seconds(15));
  }

  AppState state;
  MeterLink link;
  RecordingReporter reporter;
  LiveControl live{link, state, reporter};
};

TEST_F(LiveControlTest, StartStreamsReadingsAndReportsSuccess) {
  PlugAndIdentify();
  live.Start();
  EXPECT_EQ(state.LiveRunning, 1);
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T27", 1}}));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{true});
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 100; }));
  const ReadingsRecord r = state.readings.Load();
  EXPECT_GT(r.voltage, 3.0f);
  EXPECT_TRUE(WaitFor([&] { return reporter.progress() > 0 && reporter.progress() < 100; }));
}

TEST_F(LiveControlTest, StopRightAfterStartStillDrainsTheFirstRequest) {
  sim::VirtualMeter& meter = PlugAndIdentify(5000);
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return Requests(meter) == 1; }));
  live.Stop();
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T28", 0}}));
  ASSERT_TRUE(Ended());
  EXPECT_EQ(Requests(meter), 1u);
  EXPECT_EQ(FramesSent(meter), 50u);
  EXPECT_EQ(state.readings.Load().spare1, 49.0f);  // the last frame of the burst was used
  EXPECT_EQ(reporter.progress(), 100);
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(LiveControlTest, ReadingsAreKeptAfterStop) {
  PlugAndIdentify();
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 10; }));
  live.Stop();
  ASSERT_TRUE(Ended());
  const ReadingsRecord last = state.readings.Load();
  EXPECT_GT(last.voltage, 3.0f);
  EXPECT_EQ(state.readings.Load().spare1, last.spare1);
}

TEST_F(LiveControlTest, UnpluggingEndsTheStreamAndIdentifiesAgain) {
  sim::VirtualMeter& meter = PlugAndIdentify();
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 5; }));
  reporter.ClearLog();
  meter.Unplug();
  ASSERT_TRUE(Ended());
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T29", 3}, {"T7", 3}}));
  EXPECT_EQ(reporter.beeps().back(), false);
  EXPECT_EQ(reporter.status(StatusField::kUsb), "T7");
  EXPECT_EQ(reporter.progress(), 100);
}

TEST_F(LiveControlTest, BadChecksumsNeverChangeTheReadingsButTheStreamGoesOn) {
  sim::VirtualMeter& meter = PlugAndIdentify(1000);
  meter.faults().badChecksumEvery = 1;
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return Requests(meter) >= 4; }));
  EXPECT_EQ(state.LiveRunning, 1);
  EXPECT_EQ(state.readings.Load().voltage, 0.0f);
  EXPECT_GE(FramesSent(meter), 3u * 20u);  // a request every 20 frames read
}

TEST_F(LiveControlTest, EveryThirdFrameCorruptedIsNeverUsed) {
  sim::VirtualMeter& meter = PlugAndIdentify(1000);
  meter.faults().badChecksumEvery = 3;
  std::vector<float> numbers;
  live.onReadings = [&](const ReadingsRecord& r) { numbers.push_back(r.spare1); };
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 60; }));
  live.Stop();
  ASSERT_TRUE(Ended());
  ASSERT_FALSE(numbers.empty());
  for (float n : numbers)
    EXPECT_NE(static_cast<int>(n) % 3, 2) << n;  // frames 2, 5, 8, ...
}

TEST_F(LiveControlTest, ASilentMeterThatStaysAttachedIsReopenedAndAskedAgain) {
  sim::VirtualMeter& meter = PlugAndIdentify(1000);
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 5; }));
  meter.faults().silent = true;
  const uint32_t connections = meter.Connections();
  ASSERT_TRUE(WaitFor([&] { return meter.Connections() > connections; }));
  const uint32_t requests = Requests(meter);
  meter.faults().silent = false;
  ASSERT_TRUE(WaitFor([&] { return Requests(meter) > requests; }));
  const float before = state.readings.Load().spare1;
  EXPECT_TRUE(WaitFor([&] { return state.readings.Load().spare1 > before; }));
  EXPECT_EQ(state.LiveRunning, 1);
}

TEST_F(LiveControlTest, AMeterThatCannotBeReopenedIsRetriedAtThePaceOfReads) {
  sim::VirtualMeter& meter = PlugAndIdentify(1000);
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 5; }));
  meter.faults().refuseOpens = true;
  meter.faults().silent = true;
  // Within 50 silent reads of 100 ms the link is closed and the reopen refused.
  ASSERT_TRUE(WaitFor([&] { return !meter.HasClient(); }));
  const int steps = reporter.progressUpdates();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(reporter.progressUpdates() - steps, 20);  // one step per read time-out, no spin
  EXPECT_EQ(state.LiveRunning, 1);

  live.Stop();  // nothing can arrive on a closed link: the stream ends without a drain
  EXPECT_TRUE(WaitFor([&] { return state.LiveRunning == 0; }, std::chrono::milliseconds(1500)));
}

TEST_F(LiveControlTest, StartTwiceDoesNothingTheSecondTime) {
  sim::VirtualMeter& meter = PlugAndIdentify();
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return Requests(meter) == 1; }));
  const int clears = reporter.clears();
  live.Start();
  EXPECT_EQ(reporter.clears(), clears);
  EXPECT_EQ(reporter.beeps().size(), 1u);
}

TEST_F(LiveControlTest, StartRefusesAMeterInUpgradeModeAndClosesTheLink) {
  PlugAndIdentify(2000, 0x15, true);
  live.Start();
  EXPECT_EQ(state.LiveRunning, 0);
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T24", 3}}));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(LiveControlTest, StartRefusesFirmwareOlderThan15WithTheNotice) {
  sim::VirtualMeter& meter = PlugAndIdentify(2000, 0x14);
  reporter.ClearLog();
  live.Start();
  EXPECT_EQ(state.LiveRunning, 0);
  EXPECT_TRUE(reporter.lines().empty());
  // Once at identification and once at START.
  EXPECT_EQ(reporter.notices(), std::vector<std::string>(2, testing::kFirmwareTooOldNotice));
  EXPECT_EQ(Requests(meter), 0u);
  EXPECT_TRUE(state.linkOwner.IsFree());
}

TEST_F(LiveControlTest, StartWithoutMeterFails) {
  live.Start();
  EXPECT_EQ(state.LiveRunning, 0);
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T23", 3}}));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
}

TEST_F(LiveControlTest, StartLiveReportsAMeterHeldElsewhere) {
  PlugAndIdentify();
  MeterLink holder;
  holder.Configure();
  ASSERT_TRUE(holder.Open());
  EXPECT_FALSE(live.StartLive());
  EXPECT_EQ(reporter.lines().back(), (LogEntry{"T31", 3}));
}

TEST_F(LiveControlTest, StartLiveReportsAWorkerThatCannotRun) {
  PlugAndIdentify();
  live.Shutdown();
  EXPECT_FALSE(live.StartLive());
  EXPECT_EQ(reporter.lines().back(), (LogEntry{"T26", 3}));
  EXPECT_EQ(state.LiveRunning, 0);
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(LiveControlTest, StopWithNothingRunningStillClearsTheLog) {
  reporter.AppendLog("old", LogLevel::kSuccess);
  live.Stop();
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T28", 0}}));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{true});
  EXPECT_EQ(live.stopRequested, 0);
}

TEST_F(LiveControlTest, ShutdownDuringAStreamStopsItAndClosesTheLink) {
  sim::VirtualMeter& meter = PlugAndIdentify();
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 5; }));
  live.Shutdown();
  EXPECT_EQ(state.LiveRunning, 0);
  EXPECT_FALSE(link.IsOpen());
  const uint32_t requests = Requests(meter);
  MeterLink other;
  other.Configure();
  EXPECT_TRUE(other.Open());  // the meter is free again
  EXPECT_EQ(Requests(meter), requests);
}

}  // namespace
}  // namespace vireo
