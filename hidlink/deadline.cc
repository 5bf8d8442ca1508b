#include "hidlink/deadline.h"

#include <cerrno>
#include <climits>

#include "base/posix.h"

namespace vireo::hidlink {

Deadline Deadline::AfterMs(uint32_t timeoutMs) {
  Deadline d;
  if (timeoutMs != 0) {
    d.unlimited_ = false;
    d.at_ = Clock::now() + std::chrono::milliseconds(timeoutMs);
  }
  return d;
}

bool Deadline::Expired() const {
  return !unlimited_ && Clock::now() >= at_;
}

int Deadline::PollTimeout() const {
  if (unlimited_)
    return -1;
  const auto left = at_ - Clock::now();
  if (left <= Clock::duration::zero())
    return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

WaitResult WaitFor(int fd, short events, const Deadline& deadline, int cancel) {
  for (;;) {
    pollfd p[2] = {{fd, events, 0}, {cancel, POLLIN, 0}};
    // The time left is taken afresh when a signal interrupted the wait.
    const int n = posix::RetryOnSignal([&] { return ::poll(p, 2, deadline.PollTimeout()); });
    if (n < 0)
      return WaitResult::kFailed;
    if (p[1].revents != 0)
      return WaitResult::kCancelled;
    if (n == 0) {
      // poll() may have been given a capped wait; only the deadline ends it.
      if (deadline.Expired())
        return WaitResult::kTimedOut;
      continue;
    }
    const short revents = p[0].revents;
    if (revents & POLLNVAL) {
      errno = EBADF;
      return WaitResult::kFailed;
    }
    // Reports the device sent before it went away are still delivered.
    if ((events & POLLIN) && (revents & POLLIN))
      return WaitResult::kReady;
    if (revents & (POLLERR | POLLHUP))
      return WaitResult::kHungUp;
    if (revents & events)
      return WaitResult::kReady;
  }
}

}  // namespace vireo::hidlink
