// Opening, reading and writing virtual devices across a real socket, and the HID queries.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <numeric>
#include <string>

#include "hidlink/hidlink.h"
#include "tests/hidlink/fake_device.h"

namespace vireo::hidlink::testing {
namespace {

using namespace std::chrono_literals;
using Greeting = FakeDevice::Greeting;

constexpr uint32_t kShortTimeoutMs = 50;
constexpr uint32_t kLongTimeoutMs = 5000;
constexpr uint32_t kNoLimit = 0;
constexpr auto kPatience = 5s;

QelHidHandle Open(const std::string& path) {
  return OpenPath(path);
}

// What QelHidGetLastError says about a handle, or with HIDLINK_INVALID_HANDLE about this
// thread's last failed open.
struct LastError {
  int code;
  std::string text;
};
LastError LastErrorOf(QelHidHandle handle) {
  char text[512];
  const int code = QelHidGetLastError(handle, text, sizeof text);
  return {code, text};
}

// One input report as the device sends it: the ID byte, then 64 data bytes.
Bytes InputReport(uint8_t id, uint8_t firstData) {
  Bytes report(65);
  report[0] = id;
  std::iota(report.begin() + 1, report.end(), firstData);
  return report;
}

class DeviceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    QelHidClose(handle_);
    QelHidSetInpQelReportLength(64);
    QelHidSetOQelpQelReportLength(64);
    QelHidSetInpQelReportID(0);
    QelHidSetOQelpQelReportID(0);
  }

  // Starts the device and opens it.
  void Connect(Greeting greeting = Greeting::kGrant) {
    device_ = std::make_unique<FakeDevice>(path_, greeting);
    handle_ = Open(path_);
    ASSERT_NE(handle_, HIDLINK_INVALID_HANDLE);
  }

  TempDir dir_;
  const std::string path_ = dir_ / "hid-0716-5027-0123.sock";
  std::unique_ptr<FakeDevice> device_;
  QelHidHandle handle_ = HIDLINK_INVALID_HANDLE;
};

TEST_F(DeviceTest, SecondOpenIsRefusedUntilTheFirstIsClosed) {
  Connect();
  EXPECT_EQ(Open(path_), HIDLINK_INVALID_HANDLE);
  EXPECT_EQ(QelHidClose(handle_), 1);
  handle_ = Open(path_);
  EXPECT_NE(handle_, HIDLINK_INVALID_HANDLE);
}

class RefusingDeviceTest : public DeviceTest, public ::testing::WithParamInterface<Greeting> {};

TEST_P(RefusingDeviceTest, OpenFailsWithoutTheGrantByteAndSaysHow) {
  FakeDevice device(path_, GetParam());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Open(path_), HIDLINK_INVALID_HANDLE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);  // gives up after about a second
  // A refusal is another program holding the device; a hang-up, a device that went away.
  const int kCodes[] = {0, EBUSY, ETIMEDOUT, ECONNRESET};
  const LastError error = LastErrorOf(HIDLINK_INVALID_HANDLE);
  EXPECT_EQ(error.code, kCodes[static_cast<int>(GetParam())]);
  EXPECT_NE(error.text.find(path_), std::string::npos) << error.text;
}

std::string GreetingName(const ::testing::TestParamInfo<Greeting>& p) {
  static const char* const kNames[] = {"Grant", "Refuse", "Silent", "HangUp"};
  return kNames[static_cast<int>(p.param)];
}

INSTANTIATE_TEST_SUITE_P(Greetings, RefusingDeviceTest,
                         ::testing::Values(Greeting::kRefuse, Greeting::kSilent, Greeting::kHangUp),
                         GreetingName);

TEST_F(DeviceTest, OpenRejectsWhatIsNoDeviceAndSaysWhy) {
  EXPECT_EQ(QelHidOpen(nullptr), HIDLINK_INVALID_HANDLE);
  EXPECT_EQ(LastErrorOf(HIDLINK_INVALID_HANDLE).code, EINVAL);
  EXPECT_EQ(QelHidOpen(reinterpret_cast<const HidDeviceInfo*>(~uintptr_t{0})),
            HIDLINK_INVALID_HANDLE);
  MakeSocketFile(path_);  // left behind by a device that is gone
  EXPECT_EQ(Open(path_), HIDLINK_INVALID_HANDLE);
  EXPECT_EQ(LastErrorOf(HIDLINK_INVALID_HANDLE).code, ECONNREFUSED);
  // Character devices and files that are no hidraw nodes.
  EXPECT_EQ(Open("/dev/null"), HIDLINK_INVALID_HANDLE);
  EXPECT_EQ(LastErrorOf(HIDLINK_INVALID_HANDLE).text, "/dev/null is no HID device");
  EXPECT_EQ(Open(dir_ / "hidraw0"), HIDLINK_INVALID_HANDLE);
  EXPECT_EQ(LastErrorOf(HIDLINK_INVALID_HANDLE).code, ENOENT);
  EXPECT_EQ(QelHidClose(HIDLINK_INVALID_HANDLE), 1);
}

TEST_F(DeviceTest, EachThreadHearsOfItsOwnFailedOpenOnly) {
  EXPECT_EQ(Open(dir_ / "hidraw0"), HIDLINK_INVALID_HANDLE);
  const LastError other = std::async(std::launch::async, [] {
                            Open("/dev/null");
                            return LastErrorOf(HIDLINK_INVALID_HANDLE);
                          }).get();
  EXPECT_EQ(other.code, ENOTTY);
  EXPECT_EQ(LastErrorOf(HIDLINK_INVALID_HANDLE).code, ENOENT);
  // A success later leaves the record as it was.
  Connect();
  EXPECT_EQ(LastErrorOf(HIDLINK_INVALID_HANDLE).code, ENOENT);
}

TEST_F(DeviceTest, AHandleKeepsItsLastFailedTransferUntilItIsClosed) {
  Connect();
  EXPECT_EQ(LastErrorOf(handle_).code, 0);
  uint8_t buffer[64];
  EXPECT_EQ(QelHidRead(handle_, buffer, sizeof buffer, nullptr, kShortTimeoutMs), 0);
  EXPECT_EQ(LastErrorOf(handle_).code, ETIMEDOUT);
  EXPECT_EQ(LastErrorOf(handle_).text, "no report came from " + path_ + " within 50 ms");
  device_->HangUp();
  EXPECT_EQ(QelHidRead(handle_, buffer, sizeof buffer, nullptr, kNoLimit), 0);
  EXPECT_EQ(LastErrorOf(handle_).text, "the device " + path_ + " was unplugged");
  // Cut to the buffer, and the number alone without one.
  char cut[8];
  EXPECT_EQ(QelHidGetLastError(handle_, cut, sizeof cut), ENODEV);
  EXPECT_STREQ(cut, "the dev");
  EXPECT_EQ(QelHidGetLastError(handle_, nullptr, 0), ENODEV);
  ASSERT_EQ(QelHidClose(handle_), 1);
  EXPECT_EQ(LastErrorOf(handle_).code, EBADF);
  handle_ = HIDLINK_INVALID_HANDLE;
}

TEST_F(DeviceTest, ReadTimesOutWithNothingDelivered) {
  Connect();
  uint8_t buffer[64];
  uint32_t count = 99;
  EXPECT_EQ(QelHidRead(handle_, buffer, sizeof buffer, &count, kShortTimeoutMs), 0);
  EXPECT_EQ(count, 0u);
}

TEST_F(DeviceTest, TimeoutZeroWaitsUntilTheReportComes) {
  Connect();
  uint8_t buffer[64];
  uint32_t count = 0;
  auto read = std::async(std::launch::async,
                         [&] { return QelHidRead(handle_, buffer, 64, &count, kNoLimit); });
  EXPECT_EQ(read.wait_for(200ms), std::future_status::timeout);
  ASSERT_TRUE(device_->Send(InputReport(0, 1)));
  ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(read.get(), 1);
  EXPECT_EQ(count, 64u);
  EXPECT_EQ(buffer[63], 64);
}

TEST_F(DeviceTest, ReadOf100BytesTakesTwoReportsAndWritesNoMore) {
  Connect();
  ASSERT_TRUE(device_->Send(InputReport(0, 1)));
  ASSERT_TRUE(device_->Send(InputReport(0, 65)));
  uint8_t buffer[128];
  std::memset(buffer, 0xEE, sizeof buffer);
  uint32_t count = 0;
  EXPECT_EQ(QelHidRead(handle_, buffer, 100, &count, kLongTimeoutMs), 1);
  EXPECT_EQ(count, 100u);
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(buffer[i], i + 1) << i;
  for (int i = 100; i < 128; ++i)
    ASSERT_EQ(buffer[i], 0xEE) << i;
}

class ReportIdTest : public DeviceTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(ReportIdTest, AnyInputReportIdIsAcceptedAndDropped) {
  Connect();
  ASSERT_TRUE(device_->Send(InputReport(GetParam(), 0x40)));
  uint8_t buffer[64];
  uint32_t count = 0;
  EXPECT_EQ(QelHidRead(handle_, buffer, sizeof buffer, &count, kLongTimeoutMs), 1);
  EXPECT_EQ(count, 64u);
  EXPECT_EQ(buffer[0], 0x40);
  EXPECT_EQ(buffer[63], 0x7F);
}

TEST_P(ReportIdTest, WritePutsTheOutputReportIdBeforeEach64BytesAndPadsTheLast) {
  Connect();
  EXPECT_EQ(QelHidSetOQelpQelReportID(GetParam()), GetParam());
  uint8_t source[100];
  std::iota(source, source + 100, 1);
  uint32_t count = 0;
  EXPECT_EQ(QelHidWrite(handle_, source, sizeof source, &count, kLongTimeoutMs), 1);
  EXPECT_EQ(count, 100u);

  const std::vector<Bytes> sent = device_->WaitForMessages(2);
  ASSERT_EQ(sent.size(), 2u);
  Bytes first(65), second(65, 0);
  first[0] = second[0] = GetParam();
  std::iota(first.begin() + 1, first.end(), 1);
  std::iota(second.begin() + 1, second.begin() + 37, 65);
  EXPECT_EQ(sent[0], first);
  EXPECT_EQ(sent[1], second);
}

INSTANTIATE_TEST_SUITE_P(Ids, ReportIdTest, ::testing::Values(0x00, 0x01, 0x7F, 0xFF),
                         [](const ::testing::TestParamInfo<uint8_t>& p) {
                           return "Id" + std::to_string(p.param);
                         });

class WrongLengthTest : public DeviceTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(WrongLengthTest, MessageOfAnotherLengthFailsTheRead) {
  Connect();
  ASSERT_TRUE(device_->Send(Bytes(GetParam(), 0x11)));
  uint8_t buffer[64];
  uint32_t count = 0;
  EXPECT_EQ(QelHidRead(handle_, buffer, sizeof buffer, &count, kLongTimeoutMs), 0);
  EXPECT_EQ(count, 0u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, WrongLengthTest, ::testing::Values(1, 64, 66, 200));

TEST_F(DeviceTest, HangUpFailsAWaitingReadAtOnce) {
  Connect();
  uint8_t buffer[64];
  auto read = std::async(std::launch::async,
                         [&] { return QelHidRead(handle_, buffer, 64, nullptr, kNoLimit); });
  device_->HangUp();
  ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(read.get(), 0);
  EXPECT_EQ(QelHidWrite(handle_, buffer, 64, nullptr, kNoLimit), 0);
}

TEST_F(DeviceTest, ReportSentBeforeTheHangUpIsStillDelivered) {
  Connect();
  ASSERT_TRUE(device_->Send(InputReport(0, 1)));
  device_->HangUp();
  uint8_t buffer[128];
  uint32_t count = 0;
  EXPECT_EQ(QelHidRead(handle_, buffer, 128, &count, kLongTimeoutMs), 0);
  EXPECT_EQ(count, 64u);
}

TEST_F(DeviceTest, ReportLengthsApplyToTransfersAndZeroFailsThem) {
  Connect();
  uint32_t count = 99;
  EXPECT_EQ(QelHidRead(handle_, nullptr, 0, &count, kShortTimeoutMs), 1);  // nothing to move
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QelHidSetInpQelReportLength(8), 8);
  EXPECT_EQ(QelHidSetOQelpQelReportLength(8), 8);
  ASSERT_TRUE(device_->Send({0x02, 1, 2, 3, 4, 5, 6, 7, 8}));
  uint8_t buffer[8] = {};
  EXPECT_EQ(QelHidRead(handle_, buffer, 8, &count, kLongTimeoutMs), 1);
  EXPECT_EQ(buffer[7], 8);
  EXPECT_EQ(QelHidWrite(handle_, buffer, 8, &count, kLongTimeoutMs), 1);
  EXPECT_EQ(device_->WaitForMessages(1).at(0), (Bytes{0x00, 1, 2, 3, 4, 5, 6, 7, 8}));

  EXPECT_EQ(QelHidSetInpQelReportLength(0), 0);
  EXPECT_EQ(QelHidSetOQelpQelReportLength(0), 0);
  count = 99;
  EXPECT_EQ(QelHidRead(handle_, buffer, 8, &count, kNoLimit), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QelHidWrite(handle_, buffer, 8, &count, kNoLimit), 0);
  EXPECT_EQ(count, 0u);
}

TEST_F(DeviceTest, AttributesComeFromTheSocketNameAndOtherQueriesAnswer0) {
  Connect();
  QelHidAttributes attributes{};
  EXPECT_EQ(QelHidD_GetAttributes(handle_, &attributes), 1);
  EXPECT_EQ(attributes.VendorID, 0x0716);
  EXPECT_EQ(attributes.ProductID, 0x5027);
  EXPECT_EQ(attributes.VersionNumber, 0x0123);

  uint8_t buffer[65] = {};
  EXPECT_EQ(QelHidD_GetFeature(handle_, buffer, sizeof buffer), 0);
  EXPECT_EQ(QelHidD_GetProductString(handle_, buffer, sizeof buffer), 0);
  EXPECT_EQ(QelHidD_FlushQueue(handle_), 0);
  EXPECT_EQ(QelHidD_FreePreparsedData(nullptr), 0);
  EXPECT_EQ(QelHidD_GetAttributes(HIDLINK_INVALID_HANDLE, &attributes), 0);
}

TEST(HidGuidTest, IsTheHidInterfaceClass) {
  QelHidGuid guid{};
  QelHidD_GetHidGuid(&guid);
  EXPECT_EQ(guid.Data1, 0x4D1E55B2u);
  EXPECT_EQ(guid.Data2, 0xF16F);
  EXPECT_EQ(guid.Data3, 0x11CF);
  const uint8_t data4[8] = {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};
  EXPECT_EQ(std::memcmp(guid.Data4, data4, 8), 0);
}

}  // namespace
}  // namespace vireo::hidlink::testing
