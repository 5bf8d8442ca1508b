#include "app/live_control.h"

#include <cstdio>

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
    testing::NumberTexts(state.texts);
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

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

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
  // 50 frames at 1 ms come well within the drain's time limit.
  sim::VirtualMeter& meter = PlugAndIdentify(1000);
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
  struct Numbers final : FrameSubscriber {
    std::vector<float> seen;
    void OnFrame(const TimedReadings& frame) noexcept override {
      seen.push_back(frame.readings.spare1);
    }
  } numbers;
  live.stream().Subscribe(numbers);
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 60; }));
  live.Stop();
  ASSERT_TRUE(Ended());
  ASSERT_FALSE(numbers.seen.empty());
  for (float n : numbers.seen)
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

TEST_F(LiveControlTest, AMeterListedButRefusingOpensIsRetriedAtThePaceOfReadsAndStopEndsIt) {
  sim::VirtualMeter& meter = PlugAndIdentify(1000);
  // A second meter stays listed but refuses every client, as one held by another program.
  sim::EmulatorOptions options;
  sim::VirtualMeter& refusing = PlugMeter(options, "zz-refusing");
  refusing.faults().refuseOpens = true;
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 5; }));
  meter.Unplug();  // the link hangs up; the reopen finds only the refusing meter
  // The reads that notice the hang-up come at once; then the link is closed and cannot be
  // opened again. Wait for the first step that took a while.
  int last = reporter.progressUpdates();
  auto lastChange = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] {
    const auto now = std::chrono::steady_clock::now();
    if (const int n = reporter.progressUpdates(); n != last) {
      last = n;
      lastChange = now;
    }
    return now - lastChange >= std::chrono::milliseconds(50);
  }));
  const auto start = std::chrono::steady_clock::now();
  const int steps = reporter.progressUpdates();
  ASSERT_TRUE(WaitFor([&] { return reporter.progressUpdates() >= steps + 10; }));
  // Each attempt waits one read time-out (100 ms): ten take a second, not a spin's moment.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(state.LiveRunning, 1);
  EXPECT_EQ(refusing.Connections(), 0u);

  const auto stopped = std::chrono::steady_clock::now();
  live.Stop();  // nothing can arrive on a closed link: the stream ends without a drain
  EXPECT_TRUE(WaitFor([&] { return state.LiveRunning == 0; }, std::chrono::milliseconds(1500)));
  std::printf("[ figures  ] stream ended %.3f s after STOP while reconnecting\n",
              Seconds(std::chrono::steady_clock::now() - stopped));
}

// Closing the window ends a stream without a drain, STOP after a short one.
class SlowStreamEndingTest : public LiveControlTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SlowStreamEndingTest, EndsPromptlyAtTenFramesASecond) {
  const bool shutdown = GetParam();
  PlugAndIdentify(100'000);  // one frame every 100 ms: draining the 50 owed would take 5 s
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 1; }));
  const auto start = std::chrono::steady_clock::now();
  if (shutdown) {
    live.Shutdown();
  } else {
    live.Stop();
  }
  EXPECT_TRUE(WaitFor([&] { return state.LiveRunning == 0; }, std::chrono::seconds(3)));
  std::printf("[ figures  ] %s ended a 10 frames/s stream after %.3f s\n",
              shutdown ? "Shutdown" : "STOP", Seconds(std::chrono::steady_clock::now() - start));
  EXPECT_TRUE(WaitFor([&] { return state.linkOwner.IsFree(); }));
}

INSTANTIATE_TEST_SUITE_P(Endings, SlowStreamEndingTest, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Shutdown" : "Stop"; });

TEST_F(LiveControlTest, StartWhileAStoppedStreamDrainsCarriesItOn) {
  sim::VirtualMeter& meter = PlugAndIdentify(100'000);
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 1; }));
  const uint32_t connections = meter.Connections();
  const uint32_t requests = Requests(meter);
  live.Stop();
  live.Start();  // the 49 frames still owed take far longer than this
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T27", 1}}));
  EXPECT_EQ(reporter.beeps().back(), true);
  // The stream asks for frames again on the link it has, and goes on.
  ASSERT_TRUE(WaitFor([&] { return Requests(meter) > requests; }));
  EXPECT_EQ(meter.Connections(), connections);
  const float before = state.readings.Load().spare1;
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= before + 5; }));
  EXPECT_EQ(state.LiveRunning, 1);
  EXPECT_EQ(state.linkOwner.Holder(), LinkUser::kLive);
}

TEST_F(LiveControlTest, StartNeverGetsLostAgainstTheEndOfAStream) {
  sim::VirtualMeter& meter = PlugAndIdentify(500);
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return Requests(meter) >= 1; }));
  // START at every moment of a stream's end: during the drain, while the worker ends the
  // stream, and after it has ended. Each time a stream must run afterwards.
  for (int i = 0; i < 30; ++i) {
    live.Stop();
    if (i % 3 == 1) {
      ASSERT_TRUE(WaitFor([&] { return live.stream().stopRequested != 1; }));
    } else if (i % 3 == 2) {
      ASSERT_TRUE(WaitFor([&] { return state.LiveRunning == 0; }));
    }
    const uint32_t requests = Requests(meter);
    live.Start();
    ASSERT_EQ(state.LiveRunning, 1) << i;
    ASSERT_TRUE(WaitFor([&] { return Requests(meter) > requests; }, std::chrono::seconds(5))) << i;
  }
  EXPECT_EQ(state.linkOwner.Holder(), LinkUser::kLive);
}

TEST_F(LiveControlTest, DroppedFramesAreCountedByReason) {
  sim::VirtualMeter& meter = PlugAndIdentify(1000);
  meter.faults().badChecksumEvery = 3;
  live.Start();
  ASSERT_TRUE(WaitFor([&] { return state.readings.Load().spare1 >= 30; }));
  live.Stop();
  ASSERT_TRUE(Ended());
  const LiveDrops drops = live.Drops();
  // Frames 2, 5, 8, ... up to the last one read: about a third.
  EXPECT_GE(drops.badFrame, 10u);
  EXPECT_EQ(drops.wrongCode, 0u);
  EXPECT_EQ(drops.badLength, 0u);
  EXPECT_EQ(drops.Total(), drops.badFrame);
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

TEST_F(LiveControlTest, StartIdentifiesAgainWhenTheLastIdentificationFailed) {
  PlugMeter();
  {
    MeterLink holder;  // another program holds the meter at start-up
    holder.Configure();
    ASSERT_TRUE(holder.Open());
    ASSERT_FALSE(Identify(link, state, reporter));
  }
  ASSERT_EQ(state.deviceInfo.Load().version, 0);
  live.Start();
  EXPECT_EQ(state.LiveRunning, 1);
  EXPECT_TRUE(reporter.notices().empty());
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T6", 1}, {"T27", 1}}));
  EXPECT_EQ(reporter.status(StatusField::kVersion), "T1:1.5");
}

// How the identification START makes fails, and the line it shows instead of the notice.
struct IdentifyFailure {
  const char* name;
  bool heldElsewhere;
  bool silent;
  const char* line;
};

void PrintTo(const IdentifyFailure& failure, std::ostream* os) {
  *os << failure.name;
}

class StartIdentifyFailureTest : public LiveControlTest,
                                 public ::testing::WithParamInterface<IdentifyFailure> {};

TEST_P(StartIdentifyFailureTest, IsReportedInsteadOfTheFirmwareNotice) {
  sim::VirtualMeter& meter = PlugMeter();
  meter.faults().silent = GetParam().silent;
  MeterLink holder;
  holder.Configure();
  if (GetParam().heldElsewhere) {
    ASSERT_TRUE(holder.Open());
  }
  live.Start();
  EXPECT_EQ(state.LiveRunning, 0);
  EXPECT_TRUE(reporter.notices().empty());
  std::vector<LogEntry> expected = {{GetParam().line, 3}};
  if (GetParam().heldElsewhere)
    expected.push_back({link.lastOpenError().message, 2});  // the cause under the error
  EXPECT_EQ(reporter.lines(), expected);
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
  EXPECT_TRUE(state.linkOwner.IsFree());
  EXPECT_FALSE(link.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Failures, StartIdentifyFailureTest,
                         ::testing::Values(IdentifyFailure{"HeldElsewhere", true, false, "T31"},
                                           IdentifyFailure{"Silent", false, true, "USB: T29"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(LiveControlTest, StartThatIdentifiesOldFirmwareGivesTheNoticeOnce) {
  sim::EmulatorOptions options;
  options.versionByte = 0x14;
  sim::VirtualMeter& meter = PlugMeter(options);
  live.Start();
  EXPECT_EQ(state.LiveRunning, 0);
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T6", 1}}));
  EXPECT_EQ(reporter.notices(), std::vector<std::string>{testing::kFirmwareTooOldNotice});
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
  EXPECT_EQ(live.stream().stopRequested, 0);
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
