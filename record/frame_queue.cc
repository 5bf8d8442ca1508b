#include "record/frame_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace vireo::record {

FrameQueue::FrameQueue() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  waiting_.reserve(4096);
}

void FrameQueue::OnFrame(const TimedReadings& frame) noexcept {
  bool wasEmpty;
  {
    std::lock_guard lock(mutex_);
    if (waiting_.size() >= kMaxWaiting) {
      ++dropped_;
      return;
    }
    wasEmpty = waiting_.empty();
    try {
      waiting_.push_back(frame);
    } catch (...) {
      ++dropped_;
      return;
    }
  }
  if (wasEmpty) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
  }
}

void FrameQueue::Take(std::vector<TimedReadings>& out) {
  uint64_t count;
  [[maybe_unused]] const ssize_t n = ::read(wake_.Get(), &count, sizeof count);
  out.clear();
  std::lock_guard lock(mutex_);
  // The two vectors trade their storage, so neither side allocates once both have grown.
  out.swap(waiting_);
}

}  // namespace vireo::record
