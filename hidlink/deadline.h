#ifndef HIDLINK_DEADLINE_H
#define HIDLINK_DEADLINE_H

#include <poll.h>

#include <chrono>
#include <cstdint>

namespace vireo::hidlink {

// The moment by which one report must have moved; a time-out of 0 means no limit.
class Deadline {
 public:
  static Deadline AfterMs(uint32_t timeoutMs);

  bool Expired() const;
  // Milliseconds to hand to poll(): -1 without limit, else the time left rounded up.
  int PollTimeout() const;

 private:
  using Clock = std::chrono::steady_clock;
  bool unlimited_ = true;
  Clock::time_point at_{};
};

// kHungUp: the device went away or reported an error; kCancelled: `cancel` became readable;
// kFailed: poll() failed, errno says why.
enum class WaitResult { kReady, kTimedOut, kHungUp, kCancelled, kFailed };

// Waits until fd is ready for `events` (POLLIN or POLLOUT) or the deadline passes. A hang-up or
// an error ends the wait at once, except that data queued before a hang-up is still reported
// readable. When `cancel` (a descriptor, or -1 for none) becomes readable the wait ends at once
// too.
WaitResult WaitFor(int fd, short events, const Deadline& deadline, int cancel = -1);

}  // namespace vireo::hidlink

#endif  // HIDLINK_DEADLINE_H
