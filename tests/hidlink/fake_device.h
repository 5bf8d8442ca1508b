#ifndef TESTS_HIDLINK_FAKE_DEVICE_H
#define TESTS_HIDLINK_FAKE_DEVICE_H

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/posix.h"
#include "hidlink/hidlink.h"

namespace vireo::hidlink::testing {

using posix::UniqueFd;

using Bytes = std::vector<uint8_t>;

// A fresh folder below the temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Leaves a socket file at path that nobody listens on.
void MakeSocketFile(const std::string& path);

// A record as a scan makes it, for a path of the test's choosing.
struct FreeRecord {
  void operator()(HidDeviceInfo* record) const;
};
std::unique_ptr<HidDeviceInfo, FreeRecord> RecordFor(const std::string& path);

// QelHidOpen on such a record.
QelHidHandle OpenPath(const std::string& path);

// A virtual HID device across a real SOCK_SEQPACKET socket. A thread accepts connections and
// greets each one; with kGrant it serves one client at a time and refuses any other with the
// byte 0x00. Messages from the client are recorded; the test sends reports and hangs up.
class FakeDevice {
 public:
  enum class Greeting { kGrant, kRefuse, kSilent, kHangUp };

  explicit FakeDevice(std::string path, Greeting greeting = Greeting::kGrant);
  ~FakeDevice();
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  // Sends one message to the granted client; false if there is none.
  bool Send(const Bytes& message);
  // Ends the connection to the granted client, as an unplugged device does.
  void HangUp();
  // The messages received so far once there are at least `count` (or a few seconds passed).
  std::vector<Bytes> WaitForMessages(size_t count);

 private:
  void Serve();
  void Accept();
  void Receive();

  std::string path_;
  Greeting greeting_;
  UniqueFd listener_;
  UniqueFd wake_;
  std::vector<UniqueFd> unanswered_;
  std::mutex mutex_;
  std::condition_variable changed_;
  UniqueFd client_;              // guarded by mutex_
  std::vector<Bytes> messages_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace vireo::hidlink::testing

#endif  // TESTS_HIDLINK_FAKE_DEVICE_H
