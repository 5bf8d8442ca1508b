#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "base/posix.h"
#include "sim/meter_emulator.h"

namespace vireo::sim {

using posix::UniqueFd;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kDevicePrefix = "hid-0716-5027-0100-";
constexpr size_t kReportSize = 65;  // report ID byte and 64 data bytes
constexpr uint8_t kGrant = 0x01;
constexpr uint8_t kRefusal = 0x00;

bool MakeAddress(const fs::path& path, sockaddr_un& address) {
  const std::string& text = path.native();
  if (text.size() >= sizeof(address.sun_path))
    return false;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return true;
}

UniqueFd SeqPacketSocket() {
  return UniqueFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

// True when a live server answers at path; a stale socket file refuses the connection.
bool SomeoneServes(const fs::path& path) {
  sockaddr_un address;
  if (!MakeAddress(path, address))
    return false;
  UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  return probe &&
         ::connect(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

// Binds the device's own name, which hidlink reads back as the peer's address to answer
// GetAttributes; a stale file of an earlier run is replaced. A scanner that finds the file in
// the moment before listen() is refused once, as with a device still being set up.
UniqueFd Listen(const fs::path& path) {
  sockaddr_un address;
  if (!MakeAddress(path, address))
    return {};
  UniqueFd fd = SeqPacketSocket();
  if (!fd)
    return {};
  ::unlink(path.c_str());
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    return {};
  if (::listen(fd.Get(), 8) != 0) {
    ::unlink(path.c_str());
    return {};
  }
  return fd;
}

timespec ToTimespec(Clock::duration d) {
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(d, Clock::duration::zero()))
          .count();
  return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

struct VirtualMeter::Impl {
  struct Outgoing {
    Frame frame;
    Clock::time_point queuedAt;
  };
  enum class SendResult { kSent, kWouldBlock, kGone };

  Impl(fs::path f, const EmulatorOptions& options, std::string n)
      : folder(std::move(f)),
        socketPath(folder / (kDevicePrefix + n + ".sock")),
        emulator(options) {}

  // --- the service thread ---

  void Serve() {
    ::prctl(PR_SET_TIMERSLACK, 1);  // wake-ups close to the frame deadlines
    bool unplugged = false;
    while (!stopRequested && !unplugged) {
      Clock::time_point wakeAt = Clock::time_point::max();
      bool wantWrite = false;
      Pump(wakeAt, wantWrite);

      pollfd fds[3] = {{wake.Get(), POLLIN, 0}, {listener.Get(), POLLIN, 0}, {-1, 0, 0}};
      if (client)
        fds[2] = {client.Get(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
      timespec timeout;
      const bool timed = wakeAt != Clock::time_point::max();
      if (timed)
        timeout = ToTimespec(wakeAt - Clock::now());
      if (::ppoll(fds, 3, timed ? &timeout : nullptr, nullptr) < 0 && errno != EINTR)
        break;

      if (fds[0].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] ssize_t r = ::read(wake.Get(), &count, sizeof(count));
      }
      // The client first, so a hang-up frees the meter before a waiting client is answered.
      if (client && fds[2].revents != 0)
        unplugged = ReadReports();
      if (!unplugged && (fds[1].revents & POLLIN))
        AcceptClient();
    }
    Detach();
  }

  // Queues a live frame when one is due and sends what may go out now.
  void Pump(Clock::time_point& wakeAt, bool& wantWrite) {
    while (client) {
      const Clock::time_point now = Clock::now();
      if (outbox.empty() && !QueueLiveFrame(now)) {
        std::lock_guard lock(emulatorMutex);
        if (emulator.PendingLiveFrames() > 0)
          wakeAt = liveDeadline;
        return;
      }
      const auto delay = std::chrono::microseconds(faults().reportDelayUs.load());
      const Clock::time_point ready = std::max(outbox.front().queuedAt, lastDue) + delay;
      if (ready > now) {
        wakeAt = ready;
        return;
      }
      switch (Send(outbox.front().frame)) {
        case SendResult::kWouldBlock:
          wantWrite = true;
          return;
        case SendResult::kGone:
          DropClient();
          return;
        case SendResult::kSent:
          // Measured from when it was due, so wake-up latency does not slow the average rate.
          outbox.pop_front();
          lastDue = ready;
          break;
      }
    }
  }

  bool QueueLiveFrame(Clock::time_point now) {
    std::optional<Frame> frame;
    Clock::duration interval;
    {
      std::lock_guard lock(emulatorMutex);
      if (emulator.PendingLiveFrames() == 0 || now < liveDeadline)
        return false;
      frame = emulator.NextLiveFrame();
      interval = std::chrono::microseconds(emulator.frameIntervalUs());
    }
    // Keep the average rate after a late wake-up, but never burst more than a few frames.
    const Clock::time_point due = liveDeadline;
    liveDeadline = std::max(liveDeadline + interval, now - 4 * interval);
    if (!frame)
      return false;
    outbox.push_back({*frame, due});
    return true;
  }

  SendResult Send(const Frame& frame) {
    uint8_t report[kReportSize];
    report[0] = 0;
    std::copy(frame.begin(), frame.end(), report + 1);
    for (;;) {
      if (::send(client.Get(), report, sizeof(report), MSG_DONTWAIT | MSG_NOSIGNAL) ==
          static_cast<ssize_t>(sizeof(report))) {
        return SendResult::kSent;
      }
      if (errno == EINTR)
        continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? SendResult::kWouldBlock : SendResult::kGone;
    }
  }

  // Handles every waiting report; true when the unplug fault fired.
  bool ReadReports() {
    std::vector<Frame> replies;
    for (;;) {
      uint8_t buffer[kReportSize + 1];
      const ssize_t length = ::recv(client.Get(), buffer, sizeof(buffer), MSG_DONTWAIT | MSG_TRUNC);
      if (length < 0 && errno == EINTR)
        continue;
      if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return false;
      if (length <= 0) {
        DropClient();
        return false;
      }
      if (length != static_cast<ssize_t>(kReportSize) || buffer[0] != 0)
        continue;

      Frame request;
      std::copy(buffer + 1, buffer + kReportSize, request.begin());
      replies.clear();
      uint32_t pendingBefore, pendingAfter;
      {
        std::lock_guard lock(emulatorMutex);
        pendingBefore = emulator.PendingLiveFrames();
        emulator.HandleReport(request, replies);
        pendingAfter = emulator.PendingLiveFrames();
      }
      const Clock::time_point now = Clock::now();
      for (const Frame& reply : replies)
        outbox.push_back({reply, now});
      if (pendingBefore == 0 && pendingAfter > 0)
        liveDeadline = now;

      ++reportsReceived;
      const int64_t limit = faults().unplugAfterReports;
      if (limit >= 0 && reportsReceived >= static_cast<uint64_t>(limit))
        return true;
    }
  }

  // Answers one waiting client. One at a time, so that a hang-up of the current client that
  // came before the next connection is seen by the next poll before that one is answered.
  void AcceptClient() {
    UniqueFd fd;
    do {
      fd.Reset(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    } while (!fd && errno == EINTR);
    if (!fd)
      return;
    const bool grant = !client && !faults().refuseOpens;
    const uint8_t answer = grant ? kGrant : kRefusal;
    if (::send(fd.Get(), &answer, 1, MSG_NOSIGNAL) != 1 || !grant)
      return;
    client = std::move(fd);
    hasClient = true;
    ++connections;
    lastDue = Clock::time_point{};
  }

  void DropClient() {
    client.Reset();
    hasClient = false;
    outbox.clear();
    std::lock_guard lock(emulatorMutex);
    emulator.CancelLiveFrames();
  }

  // The file goes first, so a client that sees the hang-up and rescans no longer finds it.
  void Detach() {
    ::unlink(socketPath.c_str());
    DropClient();
    listener.Reset();
    plugged = false;
  }

  Faults& faults() { return emulator.faults(); }

  const fs::path folder;
  const fs::path socketPath;

  std::mutex emulatorMutex;
  MeterEmulator emulator;  // guarded by emulatorMutex; its Faults are atomics

  std::mutex lifeMutex;  // serialises Plug and Unplug
  std::thread thread;
  UniqueFd wake;  // eventfd that wakes the service thread
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> plugged{false};
  std::atomic<bool> hasClient{false};
  std::atomic<uint32_t> connections{0};

  // Owned by the service thread while it runs.
  UniqueFd listener;
  UniqueFd client;
  std::deque<Outgoing> outbox;
  Clock::time_point lastDue{};
  Clock::time_point liveDeadline{};
  uint64_t reportsReceived = 0;
};

VirtualMeter::VirtualMeter(std::filesystem::path folder, const EmulatorOptions& options,
                           std::string name)
    : impl_(std::make_unique<Impl>(std::move(folder), options, std::move(name))) {}

VirtualMeter::~VirtualMeter() {
  Unplug();
}

bool VirtualMeter::Plug() {
  Impl& m = *impl_;
  std::lock_guard lock(m.lifeMutex);
  if (m.plugged)
    return true;
  if (m.thread.joinable())
    m.thread.join();  // ended by the unplug fault
  if (SomeoneServes(m.socketPath))
    return false;
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake)
    return false;
  UniqueFd listener = Listen(m.socketPath);
  if (!listener)
    return false;

  m.wake = std::move(wake);
  m.listener = std::move(listener);
  m.reportsReceived = 0;
  m.stopRequested = false;
  m.plugged = true;
  m.thread = std::thread([&m] { m.Serve(); });
  return true;
}

void VirtualMeter::Unplug() {
  Impl& m = *impl_;
  std::lock_guard lock(m.lifeMutex);
  if (!m.thread.joinable())
    return;
  m.stopRequested = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t r = ::write(m.wake.Get(), &one, sizeof(one));
  m.thread.join();
}

bool VirtualMeter::IsPlugged() const {
  return impl_->plugged;
}
bool VirtualMeter::HasClient() const {
  return impl_->hasClient;
}
uint32_t VirtualMeter::Connections() const {
  return impl_->connections;
}
std::filesystem::path VirtualMeter::SocketPath() const {
  return impl_->socketPath;
}
Faults& VirtualMeter::faults() {
  return impl_->faults();
}

void VirtualMeter::WithEmulator(const std::function<void(MeterEmulator&)>& f) {
  std::lock_guard lock(impl_->emulatorMutex);
  f(impl_->emulator);
}

}  // namespace vireo::sim
