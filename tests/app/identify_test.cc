#include "app/identify.h"

#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::LogEntry;
using testing::NumberTexts;
using testing::RecordingReporter;

class IdentifyTest : public testing::VirtualMeterTest {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    NumberTexts(state.texts);
    link.Configure();
  }
  AppState state;
  MeterLink link;
  RecordingReporter reporter;
};

TEST_F(IdentifyTest, AnIdentifiedMeterShowsItsSerialReversedAndItsVersion) {
  sim::EmulatorOptions options;
  options.serial = "ABCDEF";
  options.versionByte = 0x15;
  PlugMeter(options);
  EXPECT_TRUE(Identify(link, state, reporter));
  ShowIdentity(state, reporter);
  EXPECT_EQ(reporter.status(StatusField::kSerial), "T0:FEDCBA");
  EXPECT_EQ(reporter.status(StatusField::kVersion), "T1:1.5");
  EXPECT_EQ(reporter.status(StatusField::kUsb), "T6");
  EXPECT_EQ(reporter.log(), (std::vector<LogEntry>{{"T6", 1}, {"\n", -1}}));
  EXPECT_FALSE(link.IsOpen());
  EXPECT_TRUE(reporter.messages().empty());
}

TEST_F(IdentifyTest, NoMeterLogsNotFoundInRedAndKeepsTheLastIdentity) {
  state.deviceInfo.Store({{'1', '2', '3', '4', '5', '6'}, 0x21, true});
  EXPECT_FALSE(Identify(link, state, reporter));
  EXPECT_FALSE(state.deviceInfo.Load().identified);
  ShowIdentity(state, reporter);
  EXPECT_EQ(reporter.log(), (std::vector<LogEntry>{{"T7", 3}, {"\n", -1}}));
  EXPECT_EQ(reporter.status(StatusField::kUsb), "T7");
  EXPECT_EQ(reporter.status(StatusField::kSerial), "T0:654321");
  EXPECT_EQ(reporter.status(StatusField::kVersion), "T1:2.1");
}

TEST_F(IdentifyTest, AMeterHeldElsewhereCannotBeOpenedAndTheLogSaysWhy) {
  sim::VirtualMeter& meter = PlugMeter();
  MeterLink holder;
  holder.Configure();
  ASSERT_TRUE(holder.Open());
  EXPECT_FALSE(Identify(link, state, reporter));
  const std::string cause = link.lastOpenError().message;
  EXPECT_NE(cause.find(meter.SocketPath().string()), std::string::npos) << cause;
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T31", 3}, {cause, 2}}));
}

TEST_F(IdentifyTest, AMeterThatDoesNotAnswerIsACommunicationError) {
  sim::VirtualMeter& meter = PlugMeter();
  meter.faults().silent = true;
  EXPECT_FALSE(Identify(link, state, reporter));
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"USB: T29", 3}}));
  EXPECT_EQ(reporter.status(StatusField::kUsb), "T7");
  EXPECT_FALSE(link.IsOpen());
}

// Notes how much of the log stood when each firmware notice came.
class NoticeOrderReporter : public RecordingReporter {
 public:
  void FirmwareTooOld() override {
    logSizeAtNotice.push_back(log().size());
    RecordingReporter::FirmwareTooOld();
  }
  std::vector<size_t> logSizeAtNotice;
};

TEST_F(IdentifyTest, OldFirmwareGivesTheNoticeOnALineAfterTheConnectedLine) {
  sim::EmulatorOptions options;
  options.versionByte = 0x14;
  PlugMeter(options);
  NoticeOrderReporter ordered;
  EXPECT_TRUE(Identify(link, state, ordered));
  EXPECT_EQ(ordered.log(), (std::vector<LogEntry>{{"T6", 1}, {"\n", -1}}));
  EXPECT_EQ(ordered.logSizeAtNotice, std::vector<size_t>{2});  // after the line break
  EXPECT_TRUE(state.deviceInfo.Load().identified);
  EXPECT_EQ(state.deviceInfo.Load().version, 0x14);
}

TEST_F(IdentifyTest, OldFirmwareCanBeIdentifiedWithoutTheNotice) {
  sim::EmulatorOptions options;
  options.versionByte = 0x10;
  PlugMeter(options);
  EXPECT_TRUE(Identify(link, state, reporter, OldFirmware::kQuiet));
  EXPECT_TRUE(reporter.notices().empty());
}

TEST_F(IdentifyTest, UnlessKnownIdentifiesOnlyAfterAFailedIdentification) {
  sim::VirtualMeter& meter = PlugMeter();
  EXPECT_EQ(IdentifyUnlessKnown(link, state, reporter), Identity::kFresh);
  EXPECT_EQ(reporter.status(StatusField::kVersion), "T1:1.5");
  EXPECT_EQ(IdentifyUnlessKnown(link, state, reporter), Identity::kKnown);
  EXPECT_EQ(reporter.lines().size(), 1u);  // the second call did nothing
  meter.faults().silent = true;
  state.deviceInfo.Store({});  // as after a failed identification
  EXPECT_EQ(IdentifyUnlessKnown(link, state, reporter), Identity::kFailed);
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T6", 1}, {"USB: T29", 3}}));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
}

TEST(OpenFailure, ShowsTheCauseUnderTheErrorAndTheHintOnlyWhenPermissionWasRefused) {
  TextTable texts;
  NumberTexts(texts);
  const std::string hint = texts.Extra("hint_permission");
  ASSERT_FALSE(hint.empty());
  RecordingReporter held;
  LogOpenFailure(Error{ErrorKind::kBusy, "held elsewhere"}, texts, held);
  EXPECT_EQ(held.log(), (std::vector<LogEntry>{{"T31", 3}, {"\n", -1}, {"held elsewhere", 2}}));
  RecordingReporter refused;
  LogOpenFailure(Error{ErrorKind::kPermission, "permission denied on x"}, texts, refused);
  EXPECT_EQ(refused.log(),
            (std::vector<LogEntry>{
                {"T31", 3}, {"\n", -1}, {"permission denied on x", 2}, {"\n", -1}, {hint, 2}}));
}

TEST(FirmwareTooOldNotice, IsTwoYellowLinesAMessageBoxAndTheFailureBeep) {
  TextTable texts;
  NumberTexts(texts);
  RecordingReporter reporter;
  ShowFirmwareTooOld(texts, reporter);
  EXPECT_EQ(reporter.log(),
            (std::vector<LogEntry>{{"T37:1.5", 2}, {"\n", -1}, {"T36", 2}, {"\n", -1}}));
  EXPECT_EQ(reporter.messages(), std::vector<std::string>{"T37:1.5\r\nT36"});
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
}

TEST(SharedDeviceInfo, KeepsEveryFieldOfAnIdentification) {
  SharedDeviceInfo shared;
  EXPECT_FALSE(shared.Load().identified);
  shared.Store({{'A', 'B', '\xFF', '\0', 'E', 'F'}, 0x15, true});
  const DeviceInfo info = shared.Load();
  EXPECT_EQ(info.serial, (std::array<char, 6>{'A', 'B', '\xFF', '\0', 'E', 'F'}));
  EXPECT_EQ(info.version, 0x15);
  EXPECT_TRUE(info.identified);
}

TEST(IdentityFields, AreFormattedFromTheCurrentDeviceInfo) {
  TextTable texts;
  NumberTexts(texts);
  EXPECT_EQ(SerialField(texts, {{'A', 'B', 'C', 'D', 'E', 'F'}, 0x15}), "T0:FEDCBA");
  EXPECT_EQ(VersionField(texts, {{}, 0xA7}), "T1:10.7");
  EXPECT_EQ(SerialField(texts, DeviceInfo{}), "T0:");  // nothing identified yet
  // Bytes above 0x7F are Latin-1 characters, so the field stays valid UTF-8.
  EXPECT_EQ(SerialField(texts, {{'1', '2', '\xE9', '\0', 'X', 'Y'}, 0x15}), "T0:YX");
  EXPECT_EQ(SerialField(texts, {{'1', '2', '3', '4', '\xE9', '\xFF'}, 0x15}),
            "T0:\u00FF\u00E94321");
  EXPECT_TRUE(IsFirmwareSupported(0x15));
  EXPECT_FALSE(IsFirmwareSupported(0x14));
}

}  // namespace
}  // namespace vireo
