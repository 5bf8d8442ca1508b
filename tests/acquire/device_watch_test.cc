// The device watch of the recorder.
#include "acquire/device_watch.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>

#include "base/posix.h"

namespace vireo {
namespace {

bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 1;
}

class DeviceWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-watch-XXXXXX";
    folder_ = mkdtemp(pattern);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  std::filesystem::path folder_;
};

TEST_F(DeviceWatchTest, AVirtualDeviceSocketAppearingOrGoingIsADeviceChange) {
  DeviceWatch watch({folder_.string(), (folder_ / "missing").string()});
  ASSERT_TRUE(watch.IsValid());
  const auto socketPath = folder_ / "hid-0716-5027-0100-meter.sock";
  posix::UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
  const auto address = posix::UnixAddress(socketPath.string());
  ASSERT_TRUE(address);
  ASSERT_EQ(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
  ASSERT_TRUE(Readable(watch.fd(), 5000));
  EXPECT_TRUE(watch.Drain());
  std::filesystem::remove(socketPath);
  ASSERT_TRUE(Readable(watch.fd(), 5000));
  EXPECT_TRUE(watch.Drain());
}

TEST_F(DeviceWatchTest, OtherFilesAreNoDeviceChange) {
  DeviceWatch watch({folder_.string()});
  std::ofstream(folder_ / "notes.txt") << "x";
  ASSERT_TRUE(Readable(watch.fd(), 5000));
  EXPECT_FALSE(watch.Drain());
  EXPECT_FALSE(Readable(watch.fd(), 0));
}

TEST(DeviceNameTest, HidrawNodesAndDeviceSockets) {
  EXPECT_TRUE(IsHidDeviceName("hidraw3"));
  EXPECT_TRUE(IsHidDeviceName("hid-0716-5027-0100-meter.sock"));
  EXPECT_FALSE(IsHidDeviceName("ttyUSB0"));
  EXPECT_FALSE(IsHidDeviceName("hid-0716-5027-0100-meter.sock.tmp"));
}

}  // namespace
}  // namespace vireo
