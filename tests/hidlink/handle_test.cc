// Handles: a closed handle or a number hidlink never gave out reaches no descriptor, closing
// a handle ends the transfers that wait on it, and handles can be used from several threads.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "hidlink/handle_table.h"
#include "hidlink/hidlink.h"
#include "tests/hidlink/fake_device.h"

namespace vireo::hidlink::testing {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 5s;

bool IsOpenDescriptor(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

class HandleTest : public ::testing::Test {
 protected:
  TempDir dir_;
  const std::string path_ = dir_ / "hid-1209-0001-0000.sock";
  FakeDevice device_{path_};
};

TEST_F(HandleTest, AClosedHandleClosesNothingAgainAndMovesNothing) {
  const QelHidHandle handle = OpenPath(path_);
  ASSERT_NE(handle, HIDLINK_INVALID_HANDLE);
  ASSERT_EQ(QelHidClose(handle), 1);

  // Descriptors opened now may get the number the device had.
  std::vector<UniqueFd> bystanders;
  for (int i = 0; i < 8; ++i)
    bystanders.emplace_back(::open("/dev/null", O_RDWR | O_CLOEXEC));
  uint8_t buffer[64] = {};
  uint32_t count = 99;
  EXPECT_EQ(QelHidClose(handle), 0);
  EXPECT_EQ(QelHidWrite(handle, buffer, sizeof buffer, &count, 50), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QelHidRead(handle, buffer, sizeof buffer, &count, 50), 0);
  QelHidAttributes attributes{};
  EXPECT_EQ(QelHidD_GetAttributes(handle, &attributes), 0);
  for (const UniqueFd& fd : bystanders)
    EXPECT_TRUE(IsOpenDescriptor(fd.Get())) << fd.Get();
}

TEST_F(HandleTest, ADescriptorNumberIsNoHandle) {
  const QelHidHandle handle = OpenPath(path_);
  ASSERT_NE(handle, HIDLINK_INVALID_HANDLE);
  UniqueFd other(::open("/dev/null", O_RDWR | O_CLOEXEC));
  for (const QelHidHandle number : {QelHidHandle{0}, QelHidHandle{1}, QelHidHandle{2},
                                    QelHidHandle{other.Get()}, QelHidHandle{-2}, handle + 1}) {
    uint8_t buffer[64] = {};
    EXPECT_EQ(QelHidClose(number), 0) << number;
    EXPECT_EQ(QelHidWrite(number, buffer, sizeof buffer, nullptr, 50), 0) << number;
    EXPECT_EQ(QelHidD_FlushQueue(number), 0) << number;
  }
  EXPECT_TRUE(IsOpenDescriptor(0) && IsOpenDescriptor(1) && IsOpenDescriptor(2));
  EXPECT_TRUE(IsOpenDescriptor(other.Get()));
  EXPECT_EQ(device_.WaitForMessages(0).size(), 0u);  // nothing reached the device either
  EXPECT_EQ(QelHidClose(handle), 1);
}

TEST_F(HandleTest, HandlesAreNeverGivenOutTwice) {
  std::set<QelHidHandle> seen;
  for (int i = 0; i < 20; ++i) {
    const QelHidHandle handle = OpenPath(path_);
    ASSERT_NE(handle, HIDLINK_INVALID_HANDLE);
    EXPECT_TRUE(seen.insert(handle).second) << handle;
    ASSERT_EQ(QelHidClose(handle), 1);
  }
}

TEST_F(HandleTest, ClosingAHandleEndsAReadThatWaitsOnItAndFreesTheDevice) {
  const QelHidHandle handle = OpenPath(path_);
  ASSERT_NE(handle, HIDLINK_INVALID_HANDLE);
  std::promise<void> reading;
  auto read = std::async(std::launch::async, [&] {
    uint8_t buffer[64];
    reading.set_value();
    return QelHidRead(handle, buffer, sizeof buffer, nullptr, 0);  // no time limit
  });
  reading.get_future().wait();
  EXPECT_EQ(QelHidClose(handle), 1);
  ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(read.get(), 0);

  // The device was let go of, so another open is granted.
  const QelHidHandle again = OpenPath(path_);
  EXPECT_NE(again, HIDLINK_INVALID_HANDLE);
  QelHidClose(again);
}

// Several threads open, use and close their own devices while others close numbers at random;
// ThreadSanitizer checks the table's locking.
TEST(HandleThreadsTest, OpenUseAndCloseFromSeveralThreads) {
  TempDir dir;
  constexpr int kThreads = 4;
  std::vector<std::unique_ptr<FakeDevice>> devices;
  for (int i = 0; i < kThreads; ++i)
    devices.push_back(
        std::make_unique<FakeDevice>(dir / ("hid-1209-0001-000" + std::to_string(i) + ".sock")));
  std::atomic<bool> done{false};
  // Asks about the workers' handles as they come and go, and closes numbers that are none.
  std::thread stray([&] {
    for (QelHidHandle i = 0; !done; i = (i + 1) % 1000) {
      QelHidAttributes attributes{};
      QelHidD_GetAttributes(HandleTable::kFirstHandle + i, &attributes);
      QelHidClose(-2 - i);
    }
  });
  std::vector<std::future<int>> workers;
  for (int i = 0; i < kThreads; ++i) {
    workers.push_back(std::async(std::launch::async, [&, i] {
      const std::string path = dir / ("hid-1209-0001-000" + std::to_string(i) + ".sock");
      int written = 0;
      for (int round = 0; round < 20; ++round) {
        QelHidHandle handle = HIDLINK_INVALID_HANDLE;
        while (handle == HIDLINK_INVALID_HANDLE)
          handle = OpenPath(path);  // refused while the device still sees the last one
        uint8_t report[64] = {static_cast<uint8_t>(round)};
        written += QelHidWrite(handle, report, sizeof report, nullptr, 1000);
        QelHidClose(handle);
      }
      return written;
    }));
  }
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(workers[i].get(), 20) << i;
    EXPECT_EQ(devices[i]->WaitForMessages(20).size(), 20u) << i;
  }
  done = true;
  stray.join();
}

}  // namespace
}  // namespace vireo::hidlink::testing
