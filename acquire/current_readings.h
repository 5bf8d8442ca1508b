// CurrentReadings: the newest readings of the stream, for the pages' timers to read. A feed
// subscriber that only stores: each field is atomic, so a reader may see fields of two
// successive frames, and they keep their values after the stream has ended.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "acquire/frame_subscriber.h"

namespace vireo {

class CurrentReadings final : public FrameSubscriber {
 public:
  void OnFrame(const TimedReadings& frame) noexcept override {
    Store(frame.readings);
    frames_.fetch_add(1, std::memory_order_relaxed);
  }

  void Store(const ReadingsRecord& record);
  ReadingsRecord Load() const;
  void Clear() { Store(ReadingsRecord{}); }
  // Frames received so far; a page compares it between two looks to tell live values.
  uint64_t Frames() const { return frames_.load(std::memory_order_relaxed); }

 private:
  std::array<std::atomic<float>, ReadingsRecord::kFieldCount> fields_{};
  std::atomic<uint64_t> frames_{0};
};

}  // namespace vireo
