#include "acquire/frame_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace vireo {

FrameQueue::FrameQueue(size_t capacity)
    : capacity_(capacity), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  waiting_.reserve(std::min<size_t>(capacity_, 4096));
}

void FrameQueue::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
}

void FrameQueue::OnFrame(const TimedReadings& frame) noexcept {
  bool wasEmpty;
  {
    std::lock_guard lock(mutex_);
    if (waiting_.size() >= capacity_) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    wasEmpty = waiting_.empty();
    try {
      waiting_.push_back(frame);
    } catch (...) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  if (wasEmpty)
    Wake();
}

void FrameQueue::OnStreamEnd(StreamEnd end) noexcept {
  {
    std::lock_guard lock(mutex_);
    end_ = end;
  }
  Wake();
}

std::optional<StreamEnd> FrameQueue::Take(std::vector<TimedReadings>& out) {
  uint64_t count;
  [[maybe_unused]] const ssize_t n = ::read(wake_.Get(), &count, sizeof count);
  out.clear();
  std::lock_guard lock(mutex_);
  // The two vectors trade their storage, so neither side allocates once both have grown.
  out.swap(waiting_);
  return std::exchange(end_, std::nullopt);
}

}  // namespace vireo
