// TimedReadings: one valid live-data frame as the feed hands it on, with its arrival times, its
// running number and the meter it came from.
#pragma once

#include <time.h>

#include <cstdint>
#include <string>

#include "meter/readings_record.h"

namespace vireo {

struct TimedReadings {
  ReadingsRecord readings;
  int64_t monotonicNs = 0;  // CLOCK_BOOTTIME: never steps, and counts a suspend of the host
  int64_t wallNs = 0;       // CLOCK_REALTIME, nanoseconds since 1970 UTC
  uint64_t number = 0;      // counts the frames a stream object published, from 1
  std::string serial;       // the meter's serial as shown; six characters fit without allocation
};

inline int64_t ClockNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// The readings with both clocks of this moment.
inline TimedReadings StampReadings(const ReadingsRecord& readings) {
  return {readings, ClockNs(CLOCK_BOOTTIME), ClockNs(CLOCK_REALTIME), 0, {}};
}

}  // namespace vireo
