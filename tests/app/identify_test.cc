#include "app/identify.h"

#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::LogEntry;
using testing::RecordingReporter;

// Every slot reads "T<n>", so a test sees which slot a line came from.
void NumberTexts(TextTable& texts) {
  // Built by append: "T" + std::to_string(i) draws a false -Wrestrict from GCC 12 at -O3.
  for (int i = 0; i < TextTable::kSlotCount; ++i)
    texts.texts[i] = std::string("T").append(std::to_string(i));
}

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

TEST_F(IdentifyTest, AMeterHeldElsewhereCannotBeOpened) {
  PlugMeter();
  MeterLink holder;
  holder.Configure();
  ASSERT_TRUE(holder.Open());
  EXPECT_FALSE(Identify(link, state, reporter));
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"T31", 3}}));
}

TEST_F(IdentifyTest, AMeterThatDoesNotAnswerIsACommunicationError) {
  sim::VirtualMeter& meter = PlugMeter();
  meter.faults().silent = true;
  EXPECT_FALSE(Identify(link, state, reporter));
  EXPECT_EQ(reporter.lines(), (std::vector<LogEntry>{{"USBT29", 3}}));
  EXPECT_EQ(reporter.status(StatusField::kUsb), "T7");
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(IdentifyTest, OldFirmwareGivesTheNoticeAfterTheConnectedLine) {
  sim::EmulatorOptions options;
  options.versionByte = 0x14;
  PlugMeter(options);
  EXPECT_TRUE(Identify(link, state, reporter));
  EXPECT_EQ(reporter.log(), (std::vector<LogEntry>{{"T6", 1}, {"\n", -1}}));
  EXPECT_EQ(reporter.notices(), std::vector<std::string>{testing::kFirmwareTooOldNotice});
  EXPECT_TRUE(state.deviceInfo.Load().identified);
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
