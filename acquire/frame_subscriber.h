// FrameSubscriber: what a consumer of the live feed implements. A LiveStream calls it on its
// own thread with every valid frame and, once, with how the stream ended.
#pragma once

#include "acquire/timed_readings.h"

namespace vireo {

// How a stream ended.
enum class StreamEnd {
  kStopped,       // asked to stop (STOP, a signal, the end of a run)
  kMeterGone,     // the meter is no longer attached
  kMeterSilent,   // the meter stayed attached but sent nothing through reconnects in a row
  kMeterRefused,  // the meter stayed attached but could not be opened again
};

// A short English phrase: "stopped", "meter gone", "meter silent", "meter refused".
const char* StreamEndText(StreamEnd end);

class FrameSubscriber {
 public:
  virtual ~FrameSubscriber() = default;
  // Each valid frame, in order. Runs on the stream's thread: it must return at once and never
  // block or throw; a consumer that does real work hands the frame on through a FrameQueue.
  virtual void OnFrame(const TimedReadings& frame) noexcept = 0;
  // Once per stream, after its last frame.
  virtual void OnStreamEnd(StreamEnd) noexcept {}
};

}  // namespace vireo
