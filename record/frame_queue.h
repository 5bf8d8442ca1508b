// FrameQueue: the recorder's frame sink. The live-poll worker appends each frame and wakes the
// consumer once when the queue was empty; the consumer takes everything queued at once. Never
// blocks the worker for longer than a swap of two vectors.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "app/frame_sink.h"
#include "base/posix.h"

namespace vireo::record {

class FrameQueue final : public FrameSink {
 public:
  // Frames beyond this many waiting are dropped (and counted): a consumer that has stalled for
  // minutes must not take all memory.
  static constexpr size_t kMaxWaiting = size_t{1} << 20;

  FrameQueue();
  bool IsValid() const { return wake_.IsValid(); }

  void OnFrame(const TimedReadings& frame) noexcept override;

  // Readable after a frame arrived in an empty queue.
  int WakeFd() const { return wake_.Get(); }
  // Moves every waiting frame into `out` (cleared first) and resets the wake-up.
  void Take(std::vector<TimedReadings>& out);
  uint64_t dropped() const { return dropped_; }

 private:
  posix::UniqueFd wake_;
  std::mutex mutex_;
  std::vector<TimedReadings> waiting_;  // guarded by mutex_
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace vireo::record
