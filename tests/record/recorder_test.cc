// The recorder against emulated meters in this process: one session across an unplug, another
// meter refused or, when asked, accepted.
#include "record/recorder.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>

#include <mutex>
#include <thread>

#include "support/virtual_meter_fixture.h"

namespace vireo::record {
namespace {

using vireo::testing::WaitFor;

class RecorderTest : public vireo::testing::VirtualMeterTest {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    link_.Configure();
    ASSERT_EQ(store_.OpenForRecording((folder_ / "r.db").string()).error, StoreError::kNone);
  }
  void TearDown() override {
    Stop();
    VirtualMeterTest::TearDown();
  }

  void Start(bool anyMeter = false) {
    RecorderOptions options;
    options.anyMeter = anyMeter;
    // Silence would open a gap only after a minute: an unplug is known from the feed's end.
    options.triggers.gapAfterSeconds = 60;
    options.minFreeBytes = 0;
    options.watchFolders = {folder_.string()};
    recorder_ =
        std::make_unique<Recorder>(link_, state_, reporter_, options, &store_,
                                   std::vector<LiveRowWriter*>{}, [this](const std::string& line) {
                                     std::lock_guard lock(mutex_);
                                     said_.push_back(line);
                                   });
    thread_ = std::thread([this] { result_ = recorder_->Run(stop_.Get()); });
  }
  void Stop() {
    if (!thread_.joinable())
      return;
    const uint64_t one = 1;
    ASSERT_EQ(::write(stop_.Get(), &one, sizeof one), 8);
    thread_.join();
  }
  // Waits until the recorder has said a line containing `text` `times` times.
  bool Said(const std::string& text, int times = 1) {
    return WaitFor([&] {
      std::lock_guard lock(mutex_);
      return std::count_if(said_.begin(), said_.end(), [&](const std::string& l) {
               return l.find(text) != std::string::npos;
             }) >= times;
    });
  }
  bool FramesSent(sim::VirtualMeter& meter, uint32_t atLeast) {
    return WaitFor([&] {
      uint32_t sent = 0;
      meter.WithEmulator([&](sim::MeterEmulator& e) { sent = e.framesSent(); });
      return sent >= atLeast;
    });
  }
  MeterLink link_;
  AppState state_;
  NullReporter reporter_;
  RecordStore store_;
  posix::UniqueFd stop_{::eventfd(0, EFD_CLOEXEC)};
  std::unique_ptr<Recorder> recorder_;
  std::thread thread_;
  RecordResult result_;
  std::mutex mutex_;
  std::vector<std::string> said_;
};

sim::EmulatorOptions Serial(const std::string& serial) {
  sim::EmulatorOptions options;
  options.serial = serial;
  return options;
}

TEST_F(RecorderTest, AnUnplugIsAGapInOneSession) {
  sim::VirtualMeter& meter = PlugMeter(Serial("ABCDEF"));
  Start();
  ASSERT_TRUE(Said("recording from meter FEDCBA"));
  ASSERT_TRUE(FramesSent(meter, 30));
  meter.Unplug();
  ASSERT_TRUE(Said("lost; waiting"));
  ASSERT_TRUE(meter.Plug());
  ASSERT_TRUE(Said("is back"));
  uint32_t sent = 0;
  meter.WithEmulator([&](sim::MeterEmulator& e) { sent = e.framesSent(); });
  ASSERT_TRUE(FramesSent(meter, sent + 30));
  Stop();

  ASSERT_EQ(result_.sessions.size(), 1u);
  const EndedSession& s = result_.sessions[0];
  EXPECT_FALSE(result_.failed);
  EXPECT_EQ(s.end.reason, EndReason::kStopped);
  EXPECT_EQ(s.end.summary.gaps, 1);
  EXPECT_GT(s.end.summary.gapSeconds, 0);
  EXPECT_NEAR(s.end.summary.coveredSeconds + s.end.summary.gapSeconds,
              s.end.summary.durationSeconds, 1e-6);
  EXPECT_EQ(s.end.summary.framesLost, 0);
  std::string error;
  const auto stored = store_.Sessions(error);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].ended, "stopped");
  EXPECT_EQ(stored[0].summary.samples, s.end.summary.samples);
}

TEST_F(RecorderTest, AnotherMeterIsRefusedAndWaitedPast) {
  sim::VirtualMeter& meter = PlugMeter(Serial("ABCDEF"));
  Start();
  ASSERT_TRUE(Said("recording from meter FEDCBA"));
  ASSERT_TRUE(FramesSent(meter, 10));
  meter.Unplug();
  ASSERT_TRUE(Said("lost; waiting"));
  sim::VirtualMeter& other = PlugMeter(Serial("ZYXWVU"), "other");
  ASSERT_TRUE(Said("another meter (UVWXYZ) is attached; waiting for meter FEDCBA"));
  EXPECT_EQ(other.Connections(), 1u);  // identified, never streamed
  other.Unplug();
  ASSERT_TRUE(meter.Plug());
  ASSERT_TRUE(Said("is back"));
  Stop();
  ASSERT_EQ(result_.sessions.size(), 1u);
  EXPECT_EQ(result_.sessions[0].start.serial, "FEDCBA");
  EXPECT_EQ(result_.sessions[0].end.summary.gaps, 1);
  uint32_t otherFrames = 1;
  other.WithEmulator([&](sim::MeterEmulator& e) { otherFrames = e.framesSent(); });
  EXPECT_EQ(otherFrames, 0u);
}

TEST_F(RecorderTest, AnyMeterAcceptsAnotherMeter) {
  sim::VirtualMeter& meter = PlugMeter(Serial("ABCDEF"));
  Start(true);
  ASSERT_TRUE(Said("recording from meter FEDCBA"));
  ASSERT_TRUE(FramesSent(meter, 10));
  meter.Unplug();
  ASSERT_TRUE(Said("lost; waiting"));
  sim::VirtualMeter& other = PlugMeter(Serial("ZYXWVU"), "other");
  ASSERT_TRUE(Said("recording from it (--any-meter)"));
  ASSERT_TRUE(FramesSent(other, 10));
  Stop();
  ASSERT_EQ(result_.sessions.size(), 1u);
  EXPECT_EQ(result_.sessions[0].end.summary.gaps, 1);
}

TEST_F(RecorderTest, TheSameMeterBackButRefusingToStreamEndsTheSession) {
  sim::VirtualMeter& meter = PlugMeter(Serial("ABCDEF"));
  Start();
  ASSERT_TRUE(FramesSent(meter, 10));
  meter.Unplug();
  ASSERT_TRUE(Said("lost; waiting"));
  meter.WithEmulator([](sim::MeterEmulator& e) { e.setUpgradeMode(true); });
  ASSERT_TRUE(meter.Plug());
  thread_.join();  // the run ends by itself after its retries
  ASSERT_EQ(result_.sessions.size(), 1u);
  EXPECT_EQ(result_.sessions[0].end.reason, EndReason::kMeterRefused);
  EXPECT_TRUE(result_.failed);
  std::string error;
  EXPECT_EQ(store_.Sessions(error).at(0).ended, "meter refused");
}

TEST_F(RecorderTest, NoMeterAtTheStartFailsWithoutASession) {
  Start();
  thread_.join();
  EXPECT_TRUE(result_.failed);
  EXPECT_FALSE(result_.meterFound);
  EXPECT_TRUE(result_.sessions.empty());
}

}  // namespace
}  // namespace vireo::record
