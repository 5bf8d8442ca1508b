#include "meter/meter_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <numeric>
#include <vector>

#include "meter/product_constants.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::VirtualMeterTest;

class MeterLinkTest : public VirtualMeterTest {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    link.Configure();
  }
  // Opens the link afresh, as every operation does.
  void Reopen() {
    link.Close();
    ASSERT_TRUE(link.IsPresent());
    ASSERT_TRUE(link.Open());
  }
  // A listening socket that looks like another HID device in the folder.
  void AddOtherDevice(const std::string& name) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = (folder_ / name).string();
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    others_.push_back(fd);
  }
  void TearDown() override {
    link.Close();
    for (int fd : others_)
      close(fd);
    VirtualMeterTest::TearDown();
  }

  MeterLink link;
  std::vector<int> others_;
};

TEST_F(MeterLinkTest, WithoutMeterNothingIsFoundAndTheHandleStaysInvalid) {
  EXPECT_FALSE(link.IsPresent());
  EXPECT_FALSE(link.Open());
  EXPECT_EQ(link.handle, HIDLINK_INVALID_HANDLE);
  link.Close();
  link.Close();  // closing a closed link is harmless
  EXPECT_EQ(link.handle, HIDLINK_INVALID_HANDLE);
}

TEST_F(MeterLinkTest, MatchesVendorAndProductOnlyWhateverTheVersion) {
  AddOtherDevice("hid-0716-5028-0100-other.sock");
  EXPECT_FALSE(link.IsPresent());
  AddOtherDevice("hid-0716-5027-abcd-any-version.sock");
  EXPECT_TRUE(link.IsPresent());
}

TEST_F(MeterLinkTest, ASecondLinkCannotOpenAMeterThatIsHeld) {
  PlugMeter();
  ASSERT_TRUE(link.Open());
  MeterLink other;
  other.Configure();
  EXPECT_TRUE(other.IsPresent());
  EXPECT_FALSE(other.Open());
  link.Close();
  EXPECT_TRUE(other.Open());
}

TEST_F(MeterLinkTest, WithTwoMetersOpenKeepsTheFirstAndLeavesTheOtherFree) {
  PlugMeter({}, "a");
  PlugMeter({}, "b");
  ASSERT_TRUE(link.Open());
  MeterLink second, third;
  second.Configure();
  third.Configure();
  EXPECT_TRUE(second.Open());  // the other meter was never opened by the first link
  EXPECT_FALSE(third.Open());
}

TEST_F(MeterLinkTest, ReadsTheIdentityBlockAndVersionByte) {
  sim::EmulatorOptions options;
  options.serial = "ABCDEF";
  options.versionByte = 0x15;
  PlugMeter(options);
  Reopen();
  uint8_t identity[36];
  ASSERT_TRUE(link.ReadFlash(0x08003000 + 220, identity, 36));
  for (uint8_t& b : identity)
    b = kIdentityTable[b];
  EXPECT_EQ(std::string(reinterpret_cast<char*>(identity + 30), 6), "ABCDEF");
  uint8_t version = 0;
  ASSERT_TRUE(link.ReadFlash(0x08003C00, &version, 1));
  EXPECT_EQ(version, 0x15);
}

TEST_F(MeterLinkTest, RefusesReadsLongerThanOneFrame) {
  PlugMeter();
  Reopen();
  std::vector<uint8_t> buffer(64, 0xAA);
  EXPECT_FALSE(link.ReadFlash(0x08003000, buffer.data(), 53));
  EXPECT_FALSE(link.ReadRecordMemory(0, buffer.data(), 53));
  EXPECT_TRUE(link.ReadRecordMemory(0x7E0, buffer.data(), 52));
  EXPECT_EQ(buffer[52], 0xAA);
}

TEST_F(MeterLinkTest, UpgradeModeIsAcknowledgedOnlyInUpgradeMode) {
  sim::VirtualMeter& meter = PlugMeter();
  Reopen();
  EXPECT_FALSE(link.QueryUpgradeMode());
  meter.WithEmulator([](sim::MeterEmulator& e) { e.setUpgradeMode(true); });
  EXPECT_TRUE(link.QueryUpgradeMode());
  meter.faults().wrongReplyCode = true;
  EXPECT_FALSE(link.QueryUpgradeMode());
}

TEST_F(MeterLinkTest, ErasedAndWrittenFlashReadsBackAcrossSeveralLongReads) {
  sim::EmulatorOptions options;
  options.upgradeMode = true;
  PlugMeter(options);
  Reopen();
  ASSERT_TRUE(link.BeginFlashUpdate());
  for (uint32_t offset = 0; offset < 6 * 1024; offset += 1024) {
    ASSERT_TRUE(link.ErasePage(0x08003400 + offset));
  }
  std::vector<uint8_t> image(5000);
  std::iota(image.begin(), image.end(), 7);
  ASSERT_TRUE(link.WriteFlashBlock(0x08003400, image.data(), image.size()));
  EXPECT_TRUE(link.EndFlashUpdate());
  std::vector<uint8_t> back(image.size());
  ASSERT_TRUE(link.ReadFlashBlock(0x08003400, back.data(), back.size()));
  EXPECT_EQ(back, image);
  std::vector<uint8_t> erased(1024);
  ASSERT_TRUE(link.ReadFlashBlock(0x08003400 + 5 * 1024 + 1000, erased.data(), 24));
  EXPECT_EQ(erased[0], 0xFF);
}

TEST_F(MeterLinkTest, AnEmulatedMeterReportsItsAttributesThroughTheOpenHandle) {
  PlugMeter();
  Reopen();
  QelHidAttributes attributes{};
  ASSERT_EQ(QelHidD_GetAttributes(link.handle, &attributes), 1);
  EXPECT_EQ(attributes.VendorID, 0x0716);
  EXPECT_EQ(attributes.ProductID, 0x5027);
  EXPECT_EQ(attributes.VersionNumber, 0x0100);
}

TEST_F(MeterLinkTest, ACorruptFrameFailsALongReadButTheLinkStaysInStep) {
  sim::VirtualMeter& meter = PlugMeter();
  Reopen();
  std::vector<uint8_t> back(1024);
  meter.faults().badChecksumEvery = 3;
  EXPECT_FALSE(link.ReadFlashBlock(0x08003400, back.data(), back.size()));
  meter.faults().badChecksumEvery = 0;
  uint8_t version = 0;
  EXPECT_TRUE(link.ReadFlash(0x08003C00, &version, 1));
  EXPECT_EQ(version, 0x15);
}

TEST_F(MeterLinkTest, ShowTextPlacesLinesTwelvePixelsApartAndCutsAt38) {
  sim::VirtualMeter& meter = PlugMeter();
  Reopen();
  const std::string longText(45, 'x');
  ASSERT_TRUE(link.ClearScreen());
  ASSERT_TRUE(link.ShowText(2, longText));
  EXPECT_FALSE(link.ShowText(33, "not sent"));
  meter.WithEmulator([&](sim::MeterEmulator& e) {
    ASSERT_GT(e.screenLines().size(), 2u);
    EXPECT_EQ(e.screenLines()[2], std::string(38, 'x'));
    EXPECT_EQ(e.CommandCount(0x15), 1u);
  });
}

TEST_F(MeterLinkTest, ASilentMeterFailsTheExchangeAfterTheTimeOut) {
  sim::VirtualMeter& meter = PlugMeter();
  Reopen();
  meter.faults().silent = true;
  uint8_t version = 0;
  EXPECT_FALSE(link.ReadFlash(0x08003C00, &version, 1));
}

TEST_F(MeterLinkTest, LiveFramesArriveAfterARequestAndBadOnesAreNotUsed) {
  sim::EmulatorOptions options;
  options.frameIntervalUs = 1000;
  sim::VirtualMeter& meter = PlugMeter(options);
  Reopen();
  ASSERT_TRUE(link.RequestReadings());
  ReadingsRecord record;
  ASSERT_TRUE(link.ReceiveReadings(record));
  EXPECT_GT(record.voltage, 3.0f);
  EXPECT_EQ(record.spare1, 0.0f);  // the emulator numbers its frames
  meter.faults().badChecksumEvery = 1;
  bool arrived = false;
  EXPECT_FALSE(link.ReceiveReadings(record, &arrived));
  EXPECT_TRUE(arrived);
}

}  // namespace
}  // namespace vireo
