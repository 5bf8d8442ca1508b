// Scanning: virtual devices from HIDLINK_VIRTUAL_DIR after the system's hidraw devices, the
// device table's life cycle, and the hidraw enumeration on a made-up sysfs tree.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "hidlink/backend.h"
#include "hidlink/hidlink.h"
#include "tests/hidlink/fake_device.h"

namespace vireo::hidlink::testing {
namespace {

namespace fs = std::filesystem;

struct Listed {
  std::string path;
  uint16_t vendor;
  uint16_t product;
  uint16_t version;
  bool operator==(const Listed&) const = default;
};

std::vector<Listed> AllRecords() {
  std::vector<Listed> listed;
  for (const HidDeviceInfo* d = QelHidGetDevices(); d; d = d->Next)
    listed.push_back({d->DevicePath, d->VendorID, d->ProductID, d->VersionNumber});
  return listed;
}

// What this machine's own hidraw devices add to a scan (none in most test environments).
uint32_t SystemDeviceCount() {
  std::error_code error;
  uint32_t n = 0;
  for (const auto& entry : fs::directory_iterator("/sys/class/hidraw", error)) {
    const std::string name = entry.path().filename().string();
    n += name.starts_with("hidraw") && name.size() > 6 &&
         name.find_first_not_of("0123456789", 6) == std::string::npos;
  }
  return std::min<uint32_t>(n, 256);
}

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("HIDLINK_VIRTUAL_DIR", dir_.path().c_str(), 1); }
  void TearDown() override {
    QelHidFreeDevicesInfo();
    ::unsetenv("HIDLINK_VIRTUAL_DIR");
  }

  // The records of the last scan that are virtual devices of this test.
  std::vector<Listed> VirtualRecords() const {
    std::vector<Listed> listed = AllRecords();
    std::erase_if(listed,
                  [&](const Listed& l) { return !l.path.starts_with(dir_.path().string()); });
    return listed;
  }

  TempDir dir_;
};

TEST_F(ScanTest, ListsMatchingSocketsInByteOrderWithIdentifiersFromTheName) {
  MakeSocketFile(dir_ / "hid-ffff-0001-0002.sock");
  MakeSocketFile(dir_ / "hid-FFFF-0716-5027-meter.sock");
  MakeSocketFile(dir_ / "hid-0716-5027-0100.sock");
  for (const char* name : {"hid-0716-5027-0100.socket", "hid-716-5027-0100.sock",
                           "hid-0716-5027-01g0.sock", "xhid-0716-5027-0100.sock", "hid-0716.sock"})
    MakeSocketFile(dir_ / name);
  std::ofstream(dir_ / "hid-0716-5027-0200.sock") << "a plain file";
  fs::create_directory(dir_ / "hid-0716-5027-0300.sock");

  uint32_t count = 0;
  EXPECT_EQ(QelHidScanDevices(&count), 1);

  EXPECT_EQ(count, SystemDeviceCount() + 3);
  const std::vector<Listed> expected = {
      {dir_ / "hid-0716-5027-0100.sock", 0x0716, 0x5027, 0x0100},
      {dir_ / "hid-FFFF-0716-5027-meter.sock", 0xFFFF, 0x0716, 0x5027},
      {dir_ / "hid-ffff-0001-0002.sock", 0xFFFF, 0x0001, 0x0002},
  };
  EXPECT_EQ(VirtualRecords(), expected);
}

TEST_F(ScanTest, SystemDevicesComeFirstAndNothingElseIsListedWithoutAVirtualFolder) {
  MakeSocketFile(dir_ / "hid-0716-5027-0100.sock");
  uint32_t count = 0;
  QelHidScanDevices(&count);
  const std::vector<Listed> all = AllRecords();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back().path, dir_ / "hid-0716-5027-0100.sock");
  for (size_t i = 0; i + 1 < all.size(); ++i)
    EXPECT_TRUE(all[i].path.starts_with("/dev/hidraw")) << all[i].path;

  ::unsetenv("HIDLINK_VIRTUAL_DIR");
  const uint32_t system = SystemDeviceCount();
  EXPECT_EQ(QelHidScanDevices(&count), system > 0 ? 1 : 0);
  EXPECT_EQ(count, system);
  EXPECT_TRUE(VirtualRecords().empty());
}

TEST_F(ScanTest, RescanReplacesTheListAndFreeEmptiesIt) {
  MakeSocketFile(dir_ / "hid-0001-0001-0001.sock");
  MakeSocketFile(dir_ / "hid-0002-0002-0002.sock");
  QelHidScanDevices(nullptr);
  ASSERT_EQ(VirtualRecords().size(), 2u);

  fs::remove(dir_ / "hid-0001-0001-0001.sock");
  QelHidScanDevices(nullptr);
  const std::vector<Listed> expected = {{dir_ / "hid-0002-0002-0002.sock", 2, 2, 2}};
  EXPECT_EQ(VirtualRecords(), expected);

  QelHidFreeDevicesInfo();
  EXPECT_EQ(QelHidGetDevices(), nullptr);
}

TEST_F(ScanTest, InitEmptiesTheTableButRecordsStayReadableUntilTheNextScan) {
  MakeSocketFile(dir_ / "hid-0716-5027-0100.sock");
  QelHidScanDevices(nullptr);
  const HidDeviceInfo* held = QelHidGetDevices();
  ASSERT_NE(held, nullptr);
  const std::string path = held->DevicePath;

  EXPECT_EQ(QelHidInit(), 0);
  EXPECT_EQ(QelHidGetDevices(), nullptr);
  EXPECT_EQ(std::string(held->DevicePath), path);  // AddressSanitizer reports a freed record

  QelHidScanDevices(nullptr);  // frees what Init let go of; LeakSanitizer reports if not
  EXPECT_EQ(VirtualRecords().size(), 1u);
}

TEST_F(ScanTest, ExaminesAtMost256Devices) {
  for (int i = 0; i < 260; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "hid-0001-%04x-0000.sock", i);
    MakeSocketFile(dir_ / name);
  }
  uint32_t count = 0;
  EXPECT_EQ(QelHidScanDevices(&count), 1);
  EXPECT_EQ(count, 256u);

  const std::vector<Listed> listed = VirtualRecords();
  ASSERT_EQ(listed.size(), 256u - SystemDeviceCount());
  for (size_t i = 0; i < listed.size(); ++i)
    EXPECT_EQ(listed[i].product, i);
}

// The socket file of an emulator that was killed: nobody listens, so a connection is refused.
TEST_F(ScanTest, ASocketFileThatNobodyServesIsRemovedByTheOpenThatFindsIt) {
  const std::string stale = dir_ / "hid-1209-0001-0000-killed.sock";
  MakeSocketFile(stale);
  QelHidScanDevices(nullptr);
  ASSERT_EQ(VirtualRecords().size(), 1u);

  const HidDeviceInfo* record = QelHidGetDevices();
  while (record && stale != record->DevicePath)
    record = record->Next;
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(QelHidOpen(record), HIDLINK_INVALID_HANDLE);
  EXPECT_FALSE(fs::exists(stale));
  QelHidScanDevices(nullptr);
  EXPECT_TRUE(VirtualRecords().empty());
}

// A device that answers but refuses is served, and a file that is no socket is no device.
TEST_F(ScanTest, ARefusingDeviceAndFilesThatAreNoSocketsStay) {
  const std::string refusing = dir_ / "hid-1209-0001-0000-busy.sock";
  FakeDevice device(refusing, FakeDevice::Greeting::kRefuse);
  const std::string plain = dir_ / "hid-1209-0001-0000-plain.sock";
  std::ofstream(plain) << "not a socket";
  EXPECT_EQ(OpenPath(refusing), HIDLINK_INVALID_HANDLE);
  EXPECT_EQ(OpenPath(plain), HIDLINK_INVALID_HANDLE);
  EXPECT_TRUE(fs::exists(refusing));
  EXPECT_TRUE(fs::exists(plain));
}

// A sysfs tree as the kernel lays it out for hidraw nodes, with the links resolved by realpath.
class HidrawEnumerationTest : public ::testing::Test {
 protected:
  void Node(const std::string& name, const std::string& device, const char* uevent) {
    fs::create_directories(dir_.path() / device);
    if (uevent)
      std::ofstream(dir_.path() / device / "uevent") << uevent;
    fs::create_directories(dir_.path() / "class" / name);
    fs::create_directory_symlink(dir_.path() / device, dir_.path() / "class" / name / "device");
  }
  void Write(const std::string& file, const char* text) {
    std::ofstream(dir_.path() / file) << text;
  }
  std::vector<FoundDevice> Enumerate(size_t limit) const {
    return HidrawBackend().Enumerate(dir_ / "class", limit);
  }

  TempDir dir_;
};

TEST_F(HidrawEnumerationTest, ListsNodesInNumberOrderWithIdentifiersFromUevent) {
  fs::create_directories(dir_.path() / "devices/usb1/1-1");
  Write("devices/usb1/bcdDevice", "0602\n");  // the root hub: never the meter's version
  Write("devices/usb1/1-1/bcdDevice", "0110\n");
  Node("hidraw10", "devices/usb1/1-1/1-1:1.0/0003:0716:5027.000A",
       "DRIVER=hid-generic\nHID_ID=0003:00000716:00005027\nHID_NAME=meter\n");
  // A Bluetooth device below a USB adapter: the adapter's bcdDevice is not its version.
  fs::create_directories(dir_.path() / "devices/usb1/1-2");
  Write("devices/usb1/1-2/bcdDevice", "0999\n");
  Node("hidraw2", "devices/usb1/1-2/1-2:1.0/bluetooth/hci0/0005:046D:B01A.0001",
       "HID_ID=0005:0000046D:0000B01A\n");
  Node("hidraw3", "devices/platform/gone", nullptr);
  Node("hidraw4", "devices/platform/odd", "HID_ID=0003:zz:00000001\n");
  fs::create_directories(dir_.path() / "class/hidrawx");

  const std::vector<FoundDevice> found = Enumerate(256);
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].path, "/dev/hidraw2");
  EXPECT_EQ(found[0].ids, (DeviceIds{0x046D, 0xB01A, 0}));
  EXPECT_EQ(found[1].path, "/dev/hidraw3");
  EXPECT_EQ(found[1].ids, std::nullopt);
  EXPECT_EQ(found[2].path, "/dev/hidraw4");
  EXPECT_EQ(found[2].ids, std::nullopt);
  EXPECT_EQ(found[3].path, "/dev/hidraw10");
  EXPECT_EQ(found[3].ids, (DeviceIds{0x0716, 0x5027, 0x0110}));

  EXPECT_EQ(Enumerate(2).size(), 2u);
}

}  // namespace
}  // namespace vireo::hidlink::testing
