// CurrentReadings: the newest readings of the stream, for the pages' timers to read. A feed
// subscriber that only stores: each field is atomic, so a reader may see fields of two
// successive frames, and they keep their values after the stream has ended.
#pragma once

#include <array>
#include <atomic>

#include "acquire/frame_subscriber.h"

namespace vireo {

class CurrentReadings final : public FrameSubscriber {
 public:
  void OnFrame(const TimedReadings& frame) noexcept override { Store(frame.readings); }

  void Store(const ReadingsRecord& record);
  ReadingsRecord Load() const;
  void Clear() { Store(ReadingsRecord{}); }

 private:
  std::array<std::atomic<float>, ReadingsRecord::kFieldCount> fields_{};
};

}  // namespace vireo
