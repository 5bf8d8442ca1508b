// Test support: a SessionSink that keeps everything it is told, and frames made to order.
#pragma once

#include <string>
#include <vector>

#include "acquire/timed_readings.h"
#include "record/session_sink.h"

namespace vireo::record::test {

struct RecordedSession {
  SessionStart start;
  std::vector<std::pair<int64_t, ReadingsRecord>> samples;
  std::vector<GapRecord> gaps;
  std::vector<EventRecord> events;
  bool ended = false;
  SessionEnd end;
};

class RecordingSink : public SessionSink {
 public:
  void BeginSession(const SessionStart& start) override {
    sessions.push_back({});
    sessions.back().start = start;
  }
  void Sample(int64_t tNs, const ReadingsRecord& r) override {
    sessions.back().samples.emplace_back(tNs, r);
  }
  void GapOpened(int64_t, const std::string&) override { ++gapsOpened; }
  void GapClosed(const GapRecord& gap) override { sessions.back().gaps.push_back(gap); }
  void Event(const EventRecord& event) override { sessions.back().events.push_back(event); }
  void EndSession(const SessionEnd& end) override {
    sessions.back().ended = true;
    sessions.back().end = end;
  }

  std::vector<RecordedSession> sessions;
  int gapsOpened = 0;
};

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kMillisecond = 1'000'000;
// Monotonic and wall clock of the test's time 0.
constexpr int64_t kMonoBase = 5000 * kSecond;
constexpr int64_t kWallBase = int64_t{1'700'000'000} * kSecond;

inline TimedReadings Frame(int64_t tNs, float volts, float amps, float number = 0) {
  TimedReadings f;
  f.readings.voltage = volts;
  f.readings.current = amps;
  f.readings.power = volts * amps;
  f.readings.spare1 = number;
  f.monotonicNs = kMonoBase + tNs;
  f.wallNs = kWallBase + tNs;
  return f;
}

}  // namespace vireo::record::test
