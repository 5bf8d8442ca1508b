// The floor of the live-stream benchmarks: a plain loop that receives the meter's reports and
// does nothing with them but count. Its CPU share is what any program pays for the wake-ups
// of 1000 reports a second.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "hidlink/hidlink.h"
#include "meter/meter_link.h"

namespace vireo::bench {

struct FloorFigures {
  uint64_t frames = 0;
  uint64_t lost = 0;
  double seconds = 0;
  double cpuSeconds = 0;
};

inline double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Reads from the meter that hidlink finds for `seconds`, asking for frames as the live stream
// does (every 20 reports). Frames are counted by their running number (spare1).
// With a path, the meter at that device path; else the first meter.
inline FloorFigures MeasureFloor(double seconds, const std::string& path = {}) {
  FloorFigures f;
  MeterLink link;
  link.Configure();
  link.BindToPath(path);
  if (!link.Open())
    return f;
  link.RequestReadings();
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const double cpuStart = ThreadCpuSeconds();
  long expected = -1;
  for (int sinceRequest = 0; Clock::now() - start < std::chrono::duration<double>(seconds);) {
    if (++sinceRequest == 20) {
      sinceRequest = 0;
      link.RequestReadings();
    }
    uint8_t report[kReportBytes];
    uint32_t count = 0;
    if (!QelHidRead(link.handle, report, kReportBytes, &count, 100) || count != kReportBytes)
      continue;
    float number;
    __builtin_memcpy(&number, report + 10 + 8, sizeof number);
    const long n = static_cast<long>(number);
    if (expected >= 0 && n > expected)
      f.lost += n - expected;
    expected = n + 1;
    ++f.frames;
  }
  f.cpuSeconds = ThreadCpuSeconds() - cpuStart;
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  link.Close();
  return f;
}

}  // namespace vireo::bench
