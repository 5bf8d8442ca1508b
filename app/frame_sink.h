// FrameSink: receives every valid live-data frame of the live stream as it arrives, with the
// host's time of arrival. The recorder is one; the pages keep reading the current readings.
#pragma once

#include <time.h>

#include <cstdint>

#include "meter/readings_record.h"

namespace vireo {

struct TimedReadings {
  ReadingsRecord readings;
  int64_t monotonicNs = 0;  // CLOCK_BOOTTIME: never steps, and counts a suspend of the host
  int64_t wallNs = 0;       // CLOCK_REALTIME, nanoseconds since 1970 UTC
};

inline int64_t ClockNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// Both clocks of this moment.
inline TimedReadings StampReadings(const ReadingsRecord& readings) {
  return {readings, ClockNs(CLOCK_BOOTTIME), ClockNs(CLOCK_REALTIME)};
}

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Called on the live-poll worker for each frame; must return quickly and not throw.
  virtual void OnFrame(const TimedReadings& frame) noexcept = 0;
};

}  // namespace vireo
