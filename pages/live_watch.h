// LiveWatch: whether the readings a page shows are live. They are while a stream runs and has
// delivered a frame since it started; before the first START, after STOP and once the meter
// is lost they are the last values received, which the pages show dimmed.
#pragma once

#include <cstdint>

#include "app/app_state.h"

namespace vireo {

class LiveWatch {
 public:
  // Looks at the stream once (a page does so at each refresh); true while the values are live.
  bool Update(const AppState& state) {
    const uint64_t frames = state.readings.Frames();
    if (!state.LiveRunning) {
      framesAtRest_ = frames;
      live_ = false;
    } else if (frames != framesAtRest_) {
      live_ = true;
    }
    return live_;
  }

 private:
  uint64_t framesAtRest_ = 0;
  bool live_ = false;
};

}  // namespace vireo
