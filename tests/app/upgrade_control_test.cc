// The upgrade sequence on its worker against an emulated meter: the commands of a complete
// upgrade in order, each failure with its log lines and the meter's screen, DFUSTART's checks,
// the logo copy, and a second upgrade after an unplug.
#include "app/upgrade_control.h"

#include <gtest/gtest.h>

#include <functional>

#include "sim/test_image.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using sim::MeterEmulator;
using testing::LogEntry;
using testing::RecordingReporter;
using testing::VirtualMeterTest;

constexpr int kBreak = -1;

// A recording reporter that lets a test act at a chosen point of the sequence, on the worker.
class HookedReporter : public RecordingReporter {
 public:
  void ClearLog() override {
    RecordingReporter::ClearLog();
    if (onClear)
      onClear();
  }
  void AppendLog(const std::string& text, LogLevel level) override {
    RecordingReporter::AppendLog(text, level);
    if (onLog)
      onLog(text);
  }
  std::function<void()> onClear;
  std::function<void(const std::string&)> onLog;
};

class UpgradeControlTest : public VirtualMeterTest {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    link_.Configure();
    state_.deviceInfo.Store(DeviceInfo{{'A', 'B', 'C', 'D', 'E', 'F'}, 0x15, true});
    imagePath_ = (folder_ / "fw.lrm").string();
    ASSERT_TRUE(sim::WriteTestImage(imagePath_, options_));
    testing::NumberTexts(state_.texts);
  }
  void TearDown() override {
    control_.Shutdown();
    VirtualMeterTest::TearDown();
  }

  sim::VirtualMeter& UpgradeMeter() {
    sim::EmulatorOptions options;
    options.upgradeMode = true;
    return PlugMeter(options);
  }

  // Requests the upgrade and waits for the sequence to end.
  bool Run(UpgradeRequest request = {}) {
    if (request.firmwarePath.empty())
      request.firmwarePath = imagePath_;
    if (!control_.Request(request))
      return false;
    control_.WaitIdle();
    return true;
  }

  std::string T(TextId id) const { return state_.texts[id]; }

  std::vector<std::string> Screen(sim::VirtualMeter& meter) {
    std::vector<std::string> lines;
    meter.WithEmulator([&](MeterEmulator& m) { lines = m.screenLines(); });
    return lines;
  }
  std::vector<MeterEmulator::Command> History(sim::VirtualMeter& meter) {
    std::vector<MeterEmulator::Command> history;
    meter.WithEmulator([&](MeterEmulator& m) { history = m.history(); });
    return history;
  }
  std::vector<uint8_t> Application(sim::VirtualMeter& meter) {
    std::vector<uint8_t> bytes;
    meter.WithEmulator([&](MeterEmulator& m) {
      bytes.assign(m.flash().begin() + 0x400, m.flash().begin() + 0x400 + 51200);
    });
    return bytes;
  }
  std::vector<uint8_t> Payload() const {
    const auto plain = sim::MakePlainImage(options_);
    return {plain.begin() + 48, plain.end()};
  }

  sim::TestImageOptions options_;
  std::string imagePath_;
  AppState state_;
  MeterLink link_;
  HookedReporter reporter_;
  UpgradeControl control_{link_, state_, reporter_};
};

// The history with each stretch of one command code shown once, with its count.
std::vector<std::string> Compressed(const std::vector<MeterEmulator::Command>& history) {
  std::vector<std::string> out;
  for (size_t i = 0; i < history.size();) {
    size_t j = i;
    while (j < history.size() && history[j].code == history[i].code && history[i].code != 21)
      ++j;
    if (history[i].code == 21) {
      out.push_back("21 line " + std::to_string(history[i].argument));
      ++i;
    } else {
      out.push_back(std::to_string(history[i].code) + " x" + std::to_string(j - i));
      i = j;
    }
  }
  return out;
}

TEST_F(UpgradeControlTest, ACompleteUpgradeSendsTheCommandsInOrderAndFlashesThePayload) {
  sim::VirtualMeter& meter = UpgradeMeter();
  ASSERT_TRUE(Run());
  EXPECT_TRUE(control_.LastUpgradeSucceeded());
  EXPECT_EQ(Compressed(History(meter)),
            (std::vector<std::string>{"3 x1", "22 x1", "21 line 0", "21 line 1", "5 x1", "8 x50",
                                      "4 x1", "21 line 2", "5 x1", "9 x1300", "4 x1", "21 line 3",
                                      "11 x50", "23 x1", "21 line 4"}));
  EXPECT_EQ(Application(meter), Payload());
  EXPECT_EQ(Screen(meter),
            (std::vector<std::string>{"Start...", "Uninstall old app...", "Install new app...",
                                      "Verify new app...", "..successfully"}));
  meter.WithEmulator([](MeterEmulator& m) { EXPECT_FALSE(m.upgradeMode()); });

  EXPECT_EQ(reporter_.clears(), 1);
  EXPECT_EQ(reporter_.log(), (std::vector<LogEntry>{{T(TXT_UPGRADE_MODE), 1},
                                                    {"\n", kBreak},
                                                    {T(TXT_UPGRADE_BEGIN), 1},
                                                    {"\n", kBreak},
                                                    {T(TXT_ERASING), 1},
                                                    {"\n", kBreak},
                                                    {T(TXT_WRITING), 1},
                                                    {"\n", kBreak},
                                                    {T(TXT_VERIFYING), 1},
                                                    {"\n", kBreak},
                                                    {T(TXT_UPGRADE_DONE), 1},
                                                    {"\n", kBreak}}));
  EXPECT_EQ(reporter_.beeps(), std::vector<bool>{true});
  EXPECT_EQ(reporter_.progress(), 100);
  EXPECT_TRUE(state_.linkOwner.IsFree());
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_TRUE(testing::WaitFor([&] { return !meter.HasClient(); }));
}

TEST_F(UpgradeControlTest, AMeterInNormalModeIsToldToEnterUpgradeModeAndNothingIsErased) {
  sim::VirtualMeter& meter = PlugMeter();
  const auto before = Application(meter);
  ASSERT_TRUE(Run());
  EXPECT_FALSE(control_.LastUpgradeSucceeded());
  EXPECT_EQ(reporter_.log(), (std::vector<LogEntry>{{T(TXT_ERR_NOT_UPGRADE_MODE), 3},
                                                    {"\n", kBreak},
                                                    {T(TXT_HINT_UPGRADE_MODE), 2},
                                                    {"\n", kBreak}}));
  EXPECT_EQ(reporter_.beeps(), std::vector<bool>{false});
  EXPECT_EQ(Compressed(History(meter)), std::vector<std::string>{"3 x1"});
  EXPECT_EQ(Application(meter), before);
  EXPECT_TRUE(Screen(meter).empty());
  EXPECT_EQ(reporter_.progress(), -1);  // untouched
  EXPECT_TRUE(state_.linkOwner.IsFree());
}

TEST_F(UpgradeControlTest, ABadImageIsReportedAfterTheModeAndTheScreenIsUntouched) {
  sim::VirtualMeter& meter = UpgradeMeter();
  const std::string bad = (folder_ / "bad.lrm").string();
  sim::TestImageOptions options;
  options.month = 13;
  ASSERT_TRUE(sim::WriteTestImage(bad, options));
  UpgradeRequest request;
  request.firmwarePath = bad;
  ASSERT_TRUE(Run(request));
  EXPECT_EQ(reporter_.log(), (std::vector<LogEntry>{{T(TXT_UPGRADE_MODE), 1},
                                                    {"\n", kBreak},
                                                    {T(TXT_ERR_FIRMWARE_FILE), 3},
                                                    {"\n", kBreak},
                                                    {"The image file is invalid: month", 2},
                                                    {"\n", kBreak}}));
  EXPECT_EQ(reporter_.beeps(), std::vector<bool>{false});
  EXPECT_TRUE(Screen(meter).empty());
  EXPECT_EQ(Compressed(History(meter)), std::vector<std::string>{"3 x1"});
}

TEST_F(UpgradeControlTest, AMeterThatCannotBeOpenedOrHasGoneIsReportedAlone) {
  sim::VirtualMeter& meter = UpgradeMeter();
  meter.faults().refuseOpens = true;
  ASSERT_TRUE(Run());
  ASSERT_GE(reporter_.log().size(), 2u);
  EXPECT_EQ(reporter_.log()[0], (LogEntry{T(TXT_ERR_OPEN), 3}));
  EXPECT_NE(reporter_.lines()[1].text.find("refused the open"), std::string::npos);
  EXPECT_EQ(reporter_.beeps(), std::vector<bool>{false});
  meter.faults().refuseOpens = false;

  // Gone between the request and the sequence.
  reporter_.onClear = [&meter] { meter.Unplug(); };
  ASSERT_TRUE(Run());
  EXPECT_EQ(reporter_.log(), (std::vector<LogEntry>{{T(TXT_ERR_NO_DEVICE), 3}, {"\n", kBreak}}));
  EXPECT_EQ(reporter_.beeps(), (std::vector<bool>{false, false}));
  EXPECT_TRUE(state_.linkOwner.IsFree());
}

// A failing long step: its log lines with the cause, the screen it leaves, the progress where
// it stopped.
struct StepFailure {
  const char* name;
  int64_t unplugAfter;       // reports before the meter goes, or -1
  int64_t silentAfter;       // reports before the meter stops answering, or -1
  bool corruptBeforeVerify;  // change a flashed byte once the verification is announced
  TextId step;
  TextId error;
  const char* cause;  // the key of the cause's text
  size_t screenLines;
};

class UpgradeStepTest : public UpgradeControlTest,
                        public ::testing::WithParamInterface<StepFailure> {};

TEST_P(UpgradeStepTest, TheFailedStepEndsTheLogAndTheScreen) {
  const StepFailure& f = GetParam();
  sim::VirtualMeter& meter = UpgradeMeter();
  meter.faults().unplugAfterReports = f.unplugAfter;
  meter.faults().silentAfterReports = f.silentAfter;
  if (f.corruptBeforeVerify) {
    reporter_.onLog = [&](const std::string& text) {
      if (text == T(TXT_VERIFYING))
        meter.WithEmulator([](MeterEmulator& m) { m.flash()[0x400 + 40000] ^= 0x10; });
    };
  }
  ASSERT_TRUE(Run());
  EXPECT_FALSE(control_.LastUpgradeSucceeded());
  const auto log = reporter_.log();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(std::vector<LogEntry>(log.end() - 5, log.end()),
            (std::vector<LogEntry>{{T(f.step), 1},
                                   {T(f.error), 3},
                                   {"\n", kBreak},
                                   {state_.texts.Extra(*ExtraKey::Find(f.cause)), 2},
                                   {"\n", kBreak}}));
  EXPECT_EQ(reporter_.beeps(), std::vector<bool>{false});
  // The progress stays where the step stopped; the writes of a silent meter all went out.
  if (f.silentAfter < 0) {
    EXPECT_LT(reporter_.progress(), 100);
  }
  const std::vector<std::string> all = {"Start...", "Uninstall old app...", "Install new app...",
                                        "Verify new app..."};
  EXPECT_EQ(Screen(meter), std::vector<std::string>(all.begin(), all.begin() + f.screenLines));
  EXPECT_TRUE(state_.linkOwner.IsFree());
  EXPECT_FALSE(link_.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, UpgradeStepTest,
    ::testing::Values(
        // Query, ClearScreen, two lines, then BeginFlashUpdate,
        // whose answer goes with the meter. (Requests that wait for
        // nothing may all be taken in before it goes.)
        StepFailure{"Erase", 5, -1, false, TXT_ERASING, TXT_ERR_ERASE, "fault_unplugged", 2},
        // ... 50 erases, End, a line, Begin, then 40-byte writes.
        StepFailure{"Write", 400, -1, false, TXT_WRITING, TXT_ERR_WRITE, "fault_unplugged", 3},
        // Writes wait for no reply: the unanswered End fails the step.
        StepFailure{"SilentWrite", -1, 400, false, TXT_WRITING, TXT_ERR_WRITE, "fault_no_answer",
                    3},
        StepFailure{"Verify", -1, -1, true, TXT_VERIFYING, TXT_ERR_VERIFY, "fault_mismatch", 4}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(UpgradeControlTest, AfterAnUnplugDuringTheWriteASecondUpgradeSucceeds) {
  sim::VirtualMeter& meter = UpgradeMeter();
  meter.faults().unplugAfterReports = 700;
  ASSERT_TRUE(Run());
  EXPECT_FALSE(control_.LastUpgradeSucceeded());
  const auto lines = reporter_.lines();
  EXPECT_EQ(lines[lines.size() - 2], (LogEntry{T(TXT_ERR_WRITE), 3}));

  meter.faults().unplugAfterReports = -1;
  ASSERT_TRUE(meter.Plug());  // the same meter, its half-written flash kept
  meter.WithEmulator([](MeterEmulator& m) { EXPECT_TRUE(m.upgradeMode()); });
  ASSERT_TRUE(Run());
  EXPECT_TRUE(control_.LastUpgradeSucceeded());
  EXPECT_EQ(Application(meter), Payload());
  EXPECT_EQ(reporter_.beeps(), (std::vector<bool>{false, true}));
}

TEST_F(UpgradeControlTest, TheLogoCopiedAtTheRequestIsWrittenWhateverIsConvertedMeanwhile) {
  sim::VirtualMeter& meter = UpgradeMeter();
  UpgradeRequest request;
  request.firmwarePath = imagePath_;
  request.logo.emplace().fill(0x11);
  request.logoSize = 4096;
  ASSERT_TRUE(control_.Request(request));
  request.logo->fill(0x22);  // another picture converted while the upgrade runs
  request.firmwarePath = (folder_ / "elsewhere.lrm").string();
  control_.WaitIdle();
  EXPECT_TRUE(control_.LastUpgradeSucceeded());
  const auto flashed = Application(meter);
  EXPECT_EQ(std::vector<uint8_t>(flashed.begin() + 5120, flashed.begin() + 9216),
            std::vector<uint8_t>(4096, 0x11));
}

TEST_F(UpgradeControlTest, DfuStartChecksRunInTheirOrderAndOnlyTheFirstFailureIsShown) {
  UpgradeRequest request;
  request.logo.emplace();
  request.logoSize = 4097;
  // Empty path first.
  EXPECT_FALSE(control_.Request(request));
  // Busy, then no meter, then version 0x10, then the logo: each with all later ones failing too.
  request.firmwarePath = imagePath_;
  state_.LiveRunning = 1;
  EXPECT_FALSE(control_.Request(request));
  state_.LiveRunning = 0;
  ASSERT_TRUE(state_.linkOwner.TryTake(LinkUser::kReadOut));
  EXPECT_FALSE(control_.Request(request));
  state_.linkOwner.Release(LinkUser::kReadOut);
  state_.deviceInfo.Store(DeviceInfo{{}, 0x10, true});
  EXPECT_FALSE(control_.Request(request));
  sim::VirtualMeter& meter = UpgradeMeter();
  EXPECT_FALSE(control_.Request(request));
  state_.deviceInfo.Store(DeviceInfo{{}, 0x15, true});
  EXPECT_FALSE(control_.Request(request));

  const std::string tooBig = "bmp" + T(TXT_NOTICE_TOO_BIG) + " >4096";
  EXPECT_EQ(
      reporter_.messages(),
      (std::vector<std::string>{T(TXT_ERR_NO_FIRMWARE_FILE), T(TXT_BUSY), T(TXT_BUSY),
                                T(TXT_ERR_NO_DEVICE), T(TXT_ERR_UNSUPPORTED_DEVICE), tooBig}));
  EXPECT_EQ(reporter_.log(), (std::vector<LogEntry>{{tooBig, 3}, {"\n", kBreak}}));
  EXPECT_EQ(reporter_.beeps(), std::vector<bool>{false});
  EXPECT_TRUE(state_.linkOwner.IsFree());
  EXPECT_TRUE(History(meter).empty());
}

TEST_F(UpgradeControlTest, ALogoNeverConvertedFromTheChosenBitmapIsRefused) {
  sim::VirtualMeter& meter = UpgradeMeter();
  UpgradeRequest request;
  request.firmwarePath = imagePath_;
  request.logo.emplace();
  request.logoSize = 521;  // of an earlier picture
  request.logoConverted = false;
  EXPECT_FALSE(control_.Request(request));
  EXPECT_EQ(reporter_.messages(), std::vector<std::string>{T(TXT_ERR_BMP)});
  EXPECT_EQ(reporter_.log(), (std::vector<LogEntry>{{T(TXT_ERR_BMP), 3}, {"\n", kBreak}}));
  EXPECT_EQ(reporter_.beeps(), std::vector<bool>{false});
  EXPECT_TRUE(History(meter).empty());
  // Without a logo, whether it was converted does not matter.
  request.logo.reset();
  EXPECT_TRUE(Run(request));
  EXPECT_TRUE(control_.LastUpgradeSucceeded());
}

TEST_F(UpgradeControlTest, AStopEndsTheWriteAfterABlockAndASecondUpgradeCompletesIt) {
  sim::VirtualMeter& meter = UpgradeMeter();
  reporter_.onLog = [&](const std::string& text) {
    if (text == T(TXT_WRITING))
      control_.RequestStop();
  };
  ASSERT_TRUE(Run());
  EXPECT_FALSE(control_.LastUpgradeSucceeded());
  const auto lines = reporter_.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(
      std::vector<LogEntry>(lines.end() - 3, lines.end()),
      (std::vector<LogEntry>{
          {T(TXT_WRITING), 1}, {T(TXT_ERR_WRITE), 3}, {state_.texts.Extra("upgrade_stopped"), 2}}));
  // The bracket is closed and the meter is left in upgrade mode.
  EXPECT_EQ(History(meter).back().code, 4);
  meter.WithEmulator([](MeterEmulator& m) { EXPECT_TRUE(m.upgradeMode()); });

  reporter_.onLog = nullptr;
  ASSERT_TRUE(Run());
  EXPECT_TRUE(control_.LastUpgradeSucceeded());
  EXPECT_EQ(Application(meter), Payload());
}

TEST_F(UpgradeControlTest, AMeterFallingSilentDuringTheVerificationFailsItPromptly) {
  sim::VirtualMeter& meter = UpgradeMeter();
  reporter_.onLog = [&](const std::string& text) {
    if (text == T(TXT_VERIFYING))
      meter.faults().silent = true;
  };
  UpgradeRequest request;
  request.firmwarePath = imagePath_;
  ASSERT_TRUE(control_.Request(request));
  // One read-back answered by nobody costs one time-out, not one for each of its 26 frames.
  EXPECT_TRUE(testing::WaitFor([&] { return !control_.IsRunning(); }, std::chrono::seconds(8)));
  control_.WaitIdle();
  const auto lines = reporter_.lines();
  EXPECT_EQ(lines[lines.size() - 2], (LogEntry{T(TXT_ERR_VERIFY), 3}));
  EXPECT_EQ(lines.back(), (LogEntry{state_.texts.Extra("fault_no_answer"), 2}));
}

TEST_F(UpgradeControlTest, ARequestWhileAnUpgradeRunsIsRefusedAsBusy) {
  UpgradeMeter();
  std::atomic<bool> refused{false};
  reporter_.onClear = [&] {
    // On the worker, with the link held by the running upgrade.
    UpgradeRequest again;
    again.firmwarePath = imagePath_;
    refused = !control_.Request(again);
  };
  ASSERT_TRUE(Run());
  reporter_.onClear = nullptr;
  EXPECT_TRUE(refused);
  EXPECT_EQ(reporter_.messages(), std::vector<std::string>{T(TXT_BUSY)});
  EXPECT_TRUE(control_.LastUpgradeSucceeded());
}

}  // namespace
}  // namespace vireo
