// Helpers of the emulator tests: requests, an independent frame check, a temporary folder and
// a plain socket client of the virtual device.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/posix.h"
#include "meter/frame.h"
#include "sim/meter_emulator.h"

namespace vireo::sim::test {

using posix::UniqueFd;

// Default options as changed by f (partial designated initialisers draw a GCC warning).
template <typename F>
EmulatorOptions Options(F f) {
  EmulatorOptions options;
  f(options);
  return options;
}

inline Frame Request(uint8_t code, const std::vector<uint8_t>& payload = {}) {
  return BuildFrame(code, payload, true, 4321);
}

inline std::vector<uint8_t> Address(uint32_t address, const std::vector<uint8_t>& rest = {}) {
  // One buffer of the final size, filled in place: growing a 4-byte vector by insert draws a
  // false -Warray-bounds from GCC 12 at -O3.
  std::vector<uint8_t> p(4 + rest.size());
  for (std::size_t i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(address >> (8 * i));
  std::copy(rest.begin(), rest.end(), p.begin() + 4);
  return p;
}

// Start bytes FF 55, byte 62 = sum of 8..61, byte 63 = sum of 0..61.
inline bool Sealed(const Frame& f) {
  unsigned data = 0, all = 0;
  for (int i = 0; i < 62; ++i) {
    all += f[i];
    if (i >= 8)
      data += f[i];
  }
  return f[0] == 0xFF && f[1] == 0x55 && f[62] == (data & 0xFF) && f[63] == (all & 0xFF);
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vmsim-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A host on the device socket, using plain socket calls.
class Client {
 public:
  explicit Client(const std::filesystem::path& socket)
      : fd_(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
    const auto address = posix::UnixAddress(socket.native());
    if (!address ||
        ::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
      fd_.Reset();
    }
  }
  bool connected() const { return static_cast<bool>(fd_); }

  // The next message; empty optional on time-out; an empty vector on hang-up.
  std::optional<std::vector<uint8_t>> Receive(std::chrono::milliseconds timeout) {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
      return std::nullopt;
    std::vector<uint8_t> message(256);
    const ssize_t n = ::recv(fd_.Get(), message.data(), message.size(), 0);
    message.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return message;
  }

  // The next 65-byte report as a frame.
  std::optional<Frame> ReceiveFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto message = Receive(timeout);
    if (!message || message->size() != 65 || (*message)[0] != 0)
      return std::nullopt;
    Frame frame;
    std::memcpy(frame.data(), message->data() + 1, 64);
    return frame;
  }

  bool Send(const std::vector<uint8_t>& message) {
    return ::send(fd_.Get(), message.data(), message.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(message.size());
  }
  bool SendReport(const Frame& frame) {
    std::vector<uint8_t> report(1, 0);
    report.insert(report.end(), frame.begin(), frame.end());
    return Send(report);
  }

 private:
  UniqueFd fd_;
};

// Polls a condition until it holds or the deadline passes.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    ::poll(nullptr, 0, 2);  // yield briefly between checks
  }
  return true;
}

}  // namespace vireo::sim::test
