#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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

UniqueFd SeqPacketSocket() {
  return UniqueFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

// True when a live server answers at path; a stale socket file refuses the connection.
bool SomeoneServes(const fs::path& path) {
  const auto address = posix::UnixAddress(path.native());
  if (!address)
    return false;
  UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  return probe &&
         ::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0;
}

// Binds and listens under a hidden name in the folder, then moves the socket to `path`, so that
// a scanner never finds a device that does not listen yet (hidlink removes a socket file that
// refuses it, as one of a killed emulator). The hidden name is shorter than any device name,
// so it fits wherever `path` fits. A stale file of an earlier run is replaced.
UniqueFd Listen(const fs::path& path) {
  static std::atomic<uint32_t> made{0};
  for (int attempt = 0; attempt < 8; ++attempt) {
    char name[16];
    std::snprintf(name, sizeof name, ".%08x.new",
                  static_cast<uint32_t>(::getpid()) * 2654435761u + made++);
    const fs::path hidden = path.parent_path() / name;
    const auto address = posix::UnixAddress(hidden.native());
    UniqueFd fd = SeqPacketSocket();
    if (!address || !fd)
      return {};
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
      if (errno == EADDRINUSE)
        continue;
      return {};
    }
    if (::listen(fd.Get(), 8) != 0 || ::rename(hidden.c_str(), path.c_str()) != 0) {
      const int error = errno;
      ::unlink(hidden.c_str());
      errno = error;
      return {};
    }
    return fd;
  }
  return {};
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
    if (posix::RetryOnSignal([&] {
          return ::send(client.Get(), report, sizeof(report), MSG_DONTWAIT | MSG_NOSIGNAL);
        }) == static_cast<ssize_t>(sizeof(report))) {
      return SendResult::kSent;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? SendResult::kWouldBlock : SendResult::kGone;
  }

  // Handles every waiting report; true when the unplug fault fired.
  bool ReadReports() {
    std::vector<Frame> replies;
    for (;;) {
      uint8_t buffer[kReportSize + 1];
      const ssize_t length = posix::RetryOnSignal(
          [&] { return ::recv(client.Get(), buffer, sizeof(buffer), MSG_DONTWAIT | MSG_TRUNC); });
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
      const int64_t hush = faults().silentAfterReports;
      if (hush >= 0 && reportsReceived >= static_cast<uint64_t>(hush))
        faults().silent = true;
      const int64_t limit = faults().unplugAfterReports;
      if (limit >= 0 && reportsReceived >= static_cast<uint64_t>(limit))
        return true;
    }
  }

  // Answers one waiting client. One at a time, so that a hang-up of the current client that
  // came before the next connection is seen by the next poll before that one is answered.
  void AcceptClient() {
    UniqueFd fd(posix::RetryOnSignal(
        [&] { return ::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }));
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
  // `detaching` is set before the hang-up, so a Plug that follows it waits for the end.
  void Detach() {
    detaching = true;
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

  mutable std::mutex lifeMutex;                  // serialises Plug and Unplug
  PlugFailure plugFailure = PlugFailure::kNone;  // guarded by lifeMutex
  int plugError = 0;                             // guarded by lifeMutex
  std::thread thread;
  UniqueFd wake;  // eventfd that wakes the service thread
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> plugged{false};
  std::atomic<bool> detaching{false};  // the service thread has begun to unplug
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
  if (m.plugged && !m.detaching)
    return true;
  if (m.thread.joinable())
    m.thread.join();  // ended, or ending, by the unplug fault
  const auto fail = [&](PlugFailure why, int error = 0) {
    m.plugFailure = why;
    m.plugError = error;
    return false;
  };
  if (!posix::UnixAddress(m.socketPath.native()))
    return fail(PlugFailure::kPathTooLong);
  struct stat st {};
  if (::stat(m.folder.c_str(), &st) != 0)
    return errno == ENOENT ? fail(PlugFailure::kNoFolder) : fail(PlugFailure::kSystem, errno);
  if (!S_ISDIR(st.st_mode))
    return fail(PlugFailure::kNotAFolder);
  if (SomeoneServes(m.socketPath))
    return fail(PlugFailure::kAlreadyServed);
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake)
    return fail(PlugFailure::kSystem, errno);
  UniqueFd listener = Listen(m.socketPath);
  if (!listener)
    return fail(PlugFailure::kSystem, errno);

  m.plugFailure = PlugFailure::kNone;
  m.wake = std::move(wake);
  m.listener = std::move(listener);
  m.reportsReceived = 0;
  m.stopRequested = false;
  m.detaching = false;
  m.plugged = true;
  m.thread = std::thread([&m] { m.Serve(); });
  return true;
}

PlugFailure VirtualMeter::plugFailure() const {
  std::lock_guard lock(impl_->lifeMutex);
  return impl_->plugFailure;
}

std::string VirtualMeter::PlugFailureText() const {
  const Impl& m = *impl_;
  std::lock_guard lock(m.lifeMutex);
  switch (m.plugFailure) {
    case PlugFailure::kNone:
      return {};
    case PlugFailure::kPathTooLong:
      return "the path is " + std::to_string(m.socketPath.native().size()) +
             " bytes long, more than a socket address holds (" +
             std::to_string(sizeof(sockaddr_un::sun_path) - 1) + ")";
    case PlugFailure::kNoFolder:
      return "there is no folder " + m.folder.string();
    case PlugFailure::kNotAFolder:
      return m.folder.string() + " is not a folder";
    case PlugFailure::kAlreadyServed:
      return "another emulator serves it";
    case PlugFailure::kSystem:
      return std::strerror(m.plugError);
  }
  return {};
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
