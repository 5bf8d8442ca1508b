#include "meter/meter_link.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grp.h>
#include <atomic>
#include <chrono>
#include <future>
#include <numeric>
#include <vector>

#include "base/posix.h"
#include "meter/meter_devices.h"
#include "meter/product_constants.h"
#include "support/frame_bytes.h"
#include "support/virtual_meter_fixture.h"
#include "tests/hidlink/fake_device.h"

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
    posix::UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    const auto address = posix::UnixAddress((folder_ / name).native());
    ASSERT_TRUE(address.has_value());
    ASSERT_EQ(bind(fd.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
    ASSERT_EQ(listen(fd.Get(), 1), 0);
    others_.push_back(std::move(fd));
  }
  void TearDown() override {
    link.Close();
    others_.clear();
    VirtualMeterTest::TearDown();
  }

  MeterLink link;
  std::vector<posix::UniqueFd> others_;
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

TEST_F(MeterLinkTest, ALinkBoundToOneOfTwoMetersOpensThatOneOnlyAndLosesItWhenItLeaves) {
  sim::VirtualMeter& first = PlugMeter({}, "a");
  sim::VirtualMeter& second = PlugMeter({}, "b");
  const std::vector<MeterDevice> meters = ListMeters();
  ASSERT_EQ(meters, (std::vector<MeterDevice>{{first.SocketPath().string(), 0x0100},
                                              {second.SocketPath().string(), 0x0100}}));
  link.BindToPath(meters[1].path);
  ASSERT_TRUE(link.Open());
  EXPECT_TRUE(testing::WaitFor([&] { return second.Connections() == 1; }));
  // Another link bound to the second is refused, though the first meter is free.
  MeterLink other;
  other.Configure();
  other.BindToPath(meters[1].path);
  EXPECT_FALSE(other.Open());
  EXPECT_EQ(other.lastOpenRefusal(), OpenRefusal::kBusy);

  link.Close();
  second.Unplug();
  EXPECT_FALSE(link.IsPresent());
  EXPECT_FALSE(link.Open());
  EXPECT_EQ(link.lastOpenError(),
            (Error{ErrorKind::kNoDevice, "no meter is connected at " + meters[1].path}));
  link.BindToPath({});
  EXPECT_TRUE(link.IsPresent());
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
  // Frames already on their way stay good; those of a new burst are all corrupt.
  meter.faults().badChecksumEvery = 1;
  ASSERT_TRUE(link.RequestReadings());
  bool arrived = false;
  bool refused = false;
  for (int i = 0; i < 100 && !refused; ++i)
    refused = !link.ReceiveReadings(record, &arrived);
  EXPECT_TRUE(refused);
  EXPECT_TRUE(arrived);
}

// The open of a second program's link, in a child process that (if it runs as root) gives up
// its rights, as a user without access to the meter's node would run; its exit status is the
// refusal.
OpenRefusal RefusalOfAnUnprivilegedOpen() {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0) {
      constexpr uid_t kNobody = 65534;
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
        _exit(100);
    }
    MeterLink other;
    other.Configure();
    other.Open();
    _exit(static_cast<int>(other.lastOpenRefusal()));
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return OpenRefusal::kNone;
  return static_cast<OpenRefusal>(WEXITSTATUS(status));
}

TEST_F(MeterLinkTest, AFailedOpenTellsWhyNoMeterAMeterHeldElsewhereOrNoPermission) {
  EXPECT_FALSE(link.Open());
  EXPECT_EQ(link.lastOpenRefusal(), OpenRefusal::kNoDevice);

  sim::VirtualMeter& meter = PlugMeter();
  MeterLink holder;
  holder.Configure();
  ASSERT_TRUE(holder.Open());
  EXPECT_EQ(holder.lastOpenRefusal(), OpenRefusal::kNone);
  EXPECT_FALSE(link.Open());
  EXPECT_EQ(link.lastOpenRefusal(), OpenRefusal::kBusy);
  EXPECT_EQ(link.lastOpenError(),
            (Error{ErrorKind::kBusy,
                   meter.SocketPath().string() + " refused the open: another program holds it"}));
  holder.Close();

  // A node that this user may not read and write, in a folder that anyone may search.
  ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);
  ASSERT_EQ(chmod(meter.SocketPath().c_str(), 0), 0);
  EXPECT_EQ(RefusalOfAnUnprivilegedOpen(), OpenRefusal::kPermission);
  ASSERT_EQ(chmod(meter.SocketPath().c_str(), 0666), 0);
  EXPECT_EQ(RefusalOfAnUnprivilegedOpen(), OpenRefusal::kNone);
}

TEST_F(MeterLinkTest, LiveFramesLeftOverFromAStreamAreSkippedByTheNextCommand) {
  sim::VirtualMeter& meter = PlugMeter([] {
    sim::EmulatorOptions options;
    options.frameIntervalUs = 1000;
    return options;
  }());
  Reopen();
  ASSERT_TRUE(link.RequestReadings());
  // Frames the host never read are waiting when the command's reply comes.
  ASSERT_TRUE(testing::WaitFor([&] {
    uint32_t sent = 0;
    meter.WithEmulator([&](sim::MeterEmulator& e) { sent = e.framesSent(); });
    return sent >= 5;
  }));
  uint8_t version = 0;
  EXPECT_TRUE(link.ReadFlash(0x08003C00, &version, 1));
  EXPECT_EQ(version, 0x15);
}

// A device that the test scripts: it grants the open, and its replies are queued up front.
class ScriptedReplyTest : public MeterLinkTest {
 protected:
  void SetUp() override {
    MeterLinkTest::SetUp();
    device_ = std::make_unique<hidlink::testing::FakeDevice>(
        (folder_ / "hid-0716-5027-0100-script.sock").string());
    Reopen();
  }
  void TearDown() override {
    link.Close();
    device_.reset();
    MeterLinkTest::TearDown();
  }

  // Queues a valid frame as an input report.
  void Queue(uint8_t code, const std::vector<uint8_t>& data = {}) {
    ASSERT_TRUE(device_->Send(testing::AsInputReport(testing::MeterFrame(code, data))));
  }

  std::unique_ptr<hidlink::testing::FakeDevice> device_;
};

TEST_F(ScriptedReplyTest, LiveFramesBeforeTheReplyAreSkipped) {
  Queue(26, std::vector<uint8_t>(44, 1));
  Queue(26, std::vector<uint8_t>(44, 2));
  Queue(10, {0x15});
  uint8_t version = 0;
  EXPECT_TRUE(link.ReadFlash(0x08003C00, &version, 1));
  EXPECT_EQ(version, 0x15);
  EXPECT_EQ(device_->WaitForMessages(1).size(), 1u);  // one request, not repeated
}

TEST_F(ScriptedReplyTest, AnyOtherWrongCodeStillFailsTheExchange) {
  Queue(26, std::vector<uint8_t>(44, 1));
  Queue(11, {0x15});
  uint8_t version = 0;
  EXPECT_FALSE(link.ReadFlash(0x08003C00, &version, 1));
  Queue(3);
  EXPECT_FALSE(link.QueryUpgradeMode());
}

TEST_F(ScriptedReplyTest, AMeterThatOnlyStreamsFailsTheExchangeWithinItsTimeOut) {
  std::atomic<bool> done{false};
  auto stream = std::async(std::launch::async, [&] {
    // Far longer than the reply time-out, unless the exchange ends first.
    for (int i = 0; i < 500 && !done; ++i) {
      Queue(26, std::vector<uint8_t>(44, static_cast<uint8_t>(i)));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // a frame every 10 ms
    }
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(link.QueryUpgradeMode());
  const auto took = std::chrono::steady_clock::now() - start;
  done = true;
  stream.get();
  EXPECT_LT(took, std::chrono::seconds(3));  // the stream alone would take 5 s
}

}  // namespace
}  // namespace vireo
