// FrameQueue: the subscriber for consumers that do real work with the frames (the recorder,
// the CLI's rows, the service, the alarms). The stream appends each frame and wakes the
// consumer once when the queue was empty; the consumer takes everything queued at once, on its
// own thread, at its own pace. The stream is never held for longer than a swap of two vectors:
// frames beyond the capacity are dropped and counted, and the end of the stream is kept for the
// consumer to take after the last frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "acquire/frame_subscriber.h"
#include "base/posix.h"

namespace vireo {

class FrameQueue final : public FrameSubscriber {
 public:
  // A consumer that has stalled for minutes must not take all memory.
  static constexpr size_t kDefaultCapacity = size_t{1} << 20;

  explicit FrameQueue(size_t capacity = kDefaultCapacity);
  bool IsValid() const { return wake_.IsValid(); }

  void OnFrame(const TimedReadings& frame) noexcept override;
  void OnStreamEnd(StreamEnd end) noexcept override;

  // Readable after a frame arrived in an empty queue, and after the end of a stream.
  int WakeFd() const { return wake_.Get(); }
  // Moves every waiting frame into `out` (cleared first) and resets the wake-up. Returns the
  // end of the stream once every frame before it has been taken (and then forgets it).
  std::optional<StreamEnd> Take(std::vector<TimedReadings>& out);
  // Frames dropped because the consumer fell behind.
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  void Wake();

  const size_t capacity_;
  posix::UniqueFd wake_;
  std::mutex mutex_;
  std::vector<TimedReadings> waiting_;  // guarded by mutex_
  std::optional<StreamEnd> end_;        // guarded by mutex_
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace vireo
