// The real hidraw path, through a HID device that the kernel makes for the test from /dev/uhid.
// Skips itself where the kernel offers no uhid (or this user may not use it). The test device
// is 1209:0001, never the meter's identifiers, so tests running beside it see no meter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>

#include "hidlink/hidlink.h"
#include "tests/hidlink/fake_device.h"

namespace vireo::hidlink::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = 5s;
constexpr uint16_t kBusUsb = 0x03;
constexpr uint32_t kTestVendor = 0x1209;
constexpr uint32_t kTestProduct = 0x0001;

// A vendor-defined device with one 64-byte input and one 64-byte output report, numbered with
// `reportId` unless it is 0.
Bytes ReportDescriptor(uint8_t reportId) {
  Bytes d = {0x06, 0x00, 0xFF,  // usage page: vendor defined
             0x09, 0x01,        // usage 1
             0xA1, 0x01};       // collection: application
  if (reportId != 0)
    d.insert(d.end(), {0x85, reportId});      // report ID
  d.insert(d.end(), {0x15, 0x00,              // logical minimum 0
                     0x26, 0xFF, 0x00,        // logical maximum 255
                     0x75, 0x08,              // report size: 8 bits
                     0x95, 0x40,              // report count: 64
                     0x09, 0x01, 0x81, 0x02,  // input: data, variable, absolute
                     0x09, 0x01, 0x91, 0x02,  // output: data, variable, absolute
                     0xC0});                  // end of collection
  return d;
}

// A HID device made by the kernel on behalf of this object, gone when it is destroyed.
class UhidDevice {
 public:
  explicit UhidDevice(uint8_t reportId) : fd_(::open("/dev/uhid", O_RDWR | O_CLOEXEC)) {
    if (!fd_) {
      openError_ = errno;
      return;
    }
    static std::atomic<int> made{0};
    tag_ = "hidlink-test-" + std::to_string(::getpid()) + "-" + std::to_string(made++);
    uhid_event event{};
    event.type = UHID_CREATE2;
    auto& create = event.u.create2;
    std::snprintf(reinterpret_cast<char*>(create.name), sizeof create.name, "hidlink test");
    std::snprintf(reinterpret_cast<char*>(create.uniq), sizeof create.uniq, "%s", tag_.c_str());
    const Bytes descriptor = ReportDescriptor(reportId);
    std::memcpy(create.rd_data, descriptor.data(), descriptor.size());
    create.rd_size = static_cast<uint16_t>(descriptor.size());
    create.bus = kBusUsb;
    create.vendor = kTestVendor;
    create.product = kTestProduct;
    created_ = Put(event);
    if (!created_)
      openError_ = errno;
  }
  ~UhidDevice() { Destroy(); }

  bool created() const { return created_; }
  // Why /dev/uhid could not be opened or refused the device.
  int openError() const { return openError_; }

  void Destroy() {
    if (!created_)
      return;
    uhid_event event{};
    event.type = UHID_DESTROY;
    Put(event);
    created_ = false;
  }

  // The /dev node of the device, once the kernel has made it; empty if it does not come.
  std::string WaitForNode() const {
    const auto deadline = Clock::now() + kPatience;
    while (Clock::now() < deadline) {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator("/sys/class/hidraw", error)) {
        std::ifstream uevent(entry.path() / "device/uevent");
        std::stringstream text;
        text << uevent.rdbuf();
        const std::string node = "/dev/" + entry.path().filename().string();
        if (text.str().find("HID_UNIQ=" + tag_ + "\n") != std::string::npos && fs::exists(node))
          return node;
      }
      ::poll(nullptr, 0, 10);  // the kernel adds the device on its own time
    }
    return {};
  }

  // Sends one input report as the device.
  bool Input(const Bytes& report) {
    uhid_event event{};
    event.type = UHID_INPUT2;
    event.u.input2.size = static_cast<uint16_t>(report.size());
    std::memcpy(event.u.input2.data, report.data(), report.size());
    return Put(event);
  }

  // The next output report the host sent, as the device got it; none after a while.
  std::optional<Bytes> NextOutput() {
    const auto deadline = Clock::now() + kPatience;
    while (Clock::now() < deadline) {
      pollfd p{fd_.Get(), POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0)
        continue;
      uhid_event event{};
      if (::read(fd_.Get(), &event, sizeof event) <= 0)
        return std::nullopt;
      if (event.type == UHID_OUTPUT)
        return Bytes(event.u.output.data, event.u.output.data + event.u.output.size);
    }
    return std::nullopt;
  }

 private:
  bool Put(const uhid_event& event) {
    return ::write(fd_.Get(), &event, sizeof event) == static_cast<ssize_t>(sizeof event);
  }

  UniqueFd fd_;
  std::string tag_;
  bool created_ = false;
  int openError_ = 0;
};

const HidDeviceInfo* Listed(const std::string& node) {
  for (const HidDeviceInfo* d = QelHidGetDevices(); d; d = d->Next) {
    if (node == d->DevicePath)
      return d;
  }
  return nullptr;
}

Bytes Counting(uint8_t first, size_t size = 64) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

// Parameter: the report ID of the device's reports, 0 for a device without numbered reports.
class UhidTest : public ::testing::TestWithParam<uint8_t> {
 protected:
  void SetUp() override {
    device_ = std::make_unique<UhidDevice>(GetParam());
    if (!device_->created())
      GTEST_SKIP() << "no usable /dev/uhid: " << std::strerror(device_->openError());
    node_ = device_->WaitForNode();
    if (node_.empty())
      GTEST_SKIP() << "the kernel made no hidraw node for the uhid device";
  }
  void TearDown() override {
    QelHidClose(handle_);
    QelHidFreeDevicesInfo();
    QelHidSetOQelpQelReportID(0);
    QelHidSetInpQelReportID(0);
  }

  std::unique_ptr<UhidDevice> device_;
  std::string node_;
  QelHidHandle handle_ = HIDLINK_INVALID_HANDLE;
};

TEST_P(UhidTest, IsListedOpenedOnceAndMovesReportsBothWays) {
  QelHidScanDevices(nullptr);
  const HidDeviceInfo* record = Listed(node_);
  ASSERT_NE(record, nullptr) << node_;
  EXPECT_EQ(record->VendorID, kTestVendor);
  EXPECT_EQ(record->ProductID, kTestProduct);

  handle_ = QelHidOpen(record);
  ASSERT_NE(handle_, HIDLINK_INVALID_HANDLE);
  // The lock keeps a second opener out, in this process as in any other, and says so.
  EXPECT_EQ(QelHidOpen(record), HIDLINK_INVALID_HANDLE);
  char why[256];
  EXPECT_EQ(QelHidGetLastError(HIDLINK_INVALID_HANDLE, why, sizeof why), EBUSY);
  EXPECT_EQ(std::string(why), "the device is held by another program (" + node_ + " is locked)");

  QelHidAttributes attributes{};
  ASSERT_EQ(QelHidD_GetAttributes(handle_, &attributes), 1);
  EXPECT_EQ(attributes.VendorID, kTestVendor);
  EXPECT_EQ(attributes.ProductID, kTestProduct);

  // Host to device: the report ID byte, then the 64 data bytes.
  QelHidSetOQelpQelReportID(GetParam());
  const Bytes sent = Counting(1);
  uint32_t count = 0;
  ASSERT_EQ(QelHidWrite(handle_, sent.data(), 64, &count, 1000), 1);
  EXPECT_EQ(count, 64u);
  Bytes expected = {GetParam()};
  expected.insert(expected.end(), sent.begin(), sent.end());
  EXPECT_EQ(device_->NextOutput(), expected);

  // Device to host: a numbered report comes with its ID byte, an unnumbered one without; the
  // caller gets the 64 data bytes either way.
  const Bytes data = Counting(0x40);
  Bytes input = GetParam() != 0 ? Bytes{GetParam()} : Bytes{};
  input.insert(input.end(), data.begin(), data.end());
  ASSERT_TRUE(device_->Input(input));
  Bytes received(64);
  ASSERT_EQ(QelHidRead(handle_, received.data(), 64, &count, 1000), 1);
  EXPECT_EQ(received, data);

  EXPECT_EQ(QelHidClose(handle_), 1);
  handle_ = QelHidOpen(record);
  EXPECT_NE(handle_, HIDLINK_INVALID_HANDLE);
}

TEST_P(UhidTest, UnplugEndsAWaitingReadAtOnce) {
  QelHidScanDevices(nullptr);
  const HidDeviceInfo* record = Listed(node_);
  ASSERT_NE(record, nullptr);
  handle_ = QelHidOpen(record);
  ASSERT_NE(handle_, HIDLINK_INVALID_HANDLE);
  auto read = std::async(std::launch::async, [&] {
    uint8_t buffer[64];
    return QelHidRead(handle_, buffer, sizeof buffer, nullptr, 0);
  });
  device_->Destroy();
  ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(read.get(), 0);
  EXPECT_EQ(QelHidGetLastError(handle_, nullptr, 0), ENODEV);
}

INSTANTIATE_TEST_SUITE_P(Reports, UhidTest, ::testing::Values(0, 7),
                         [](const ::testing::TestParamInfo<uint8_t>& p) {
                           return p.param == 0 ? std::string("WithoutId")
                                               : "Id" + std::to_string(p.param);
                         });

}  // namespace
}  // namespace vireo::hidlink::testing
