// What a recording produces, as it happens: sessions with their samples, gaps and events, and
// the summary at the end. The store and the live CSV/JSONL outputs receive it alike.
#pragma once

#include <cstdint>
#include <string>

#include "meter/readings_record.h"
#include "record/session_stats.h"

namespace vireo::record {

enum class EndReason { kStopped, kLimit, kTrigger, kInterrupted, kDiskFull, kMeterRefused };

// The word the store and the JSON carry: "stopped", "limit", "trigger", "interrupted",
// "disk full", "meter refused".
const char* EndReasonText(EndReason reason);

struct SessionStart {
  int64_t number = 0;       // 1, 2, ... within this run
  int64_t wallStartNs = 0;  // UTC wall clock of t = 0, nanoseconds since 1970
  std::string serial;
  std::string firmware;
  std::string settingsJson;  // the trigger and limit settings, a JSON object
};

// Times are nanoseconds since the session's start, on the monotonic clock.
struct GapRecord {
  int64_t fromNs = 0;
  int64_t toNs = 0;
  std::string cause;  // "meter gone", "meter silent"
};

struct EventRecord {
  int64_t tNs = 0;
  std::string kind;  // "trigger start", "trigger stop", "meter lost", "meter back", ...
  std::string detail;
};

struct SessionEnd {
  int64_t endNs = 0;
  EndReason reason = EndReason::kStopped;
  Summary summary;
};

class SessionSink {
 public:
  virtual ~SessionSink() = default;
  virtual void BeginSession(const SessionStart& start) = 0;
  virtual void Sample(int64_t tNs, const ReadingsRecord& readings) = 0;
  virtual void GapOpened(int64_t fromNs, const std::string& cause) = 0;
  // The gap that GapOpened began, now closed (its cause may have been made more precise).
  virtual void GapClosed(const GapRecord& gap) = 0;
  virtual void Event(const EventRecord& event) = 0;
  virtual void EndSession(const SessionEnd& end) = 0;
};

}  // namespace vireo::record
