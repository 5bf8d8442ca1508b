// SessionRecorder: the half of a recording that needs no meter. It takes the frames of a
// stream and what happens to the meter, keeps the sessions (SessionKeeper), writes the store in
// batches and the live outputs as it goes, watches the free space, and tells the user what
// happens. Whoever owns the stream feeds it on one thread: the `record` run, the service, the
// desktop program's sessions page.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "acquire/timed_readings.h"
#include "record/record_store.h"
#include "record/rows.h"
#include "record/session_keeper.h"

namespace vireo::record {

// A session that ended in this run.
struct EndedSession {
  int64_t storeId = 0;  // 0 without a store
  SessionStart start;
  SessionEnd end;
};

struct RecordResult {
  bool meterFound = false;  // the run got as far as streaming
  std::vector<EndedSession> sessions;
  bool failed = false;  // ended by a failure (disk, writes, meter), not by a request or limit
};

class SessionRecorder {
 public:
  // store may be null (--no-store); outputs are the live CSV/JSONL writers; spacePaths name
  // the files whose disks must keep minFreeBytes free (0: no watch). `say` tells the user what
  // happens, one line at a time.
  SessionRecorder(const TriggerSettings& triggers, uint64_t minFreeBytes,
                  std::vector<std::string> spacePaths, RecordStore* store,
                  std::vector<LiveRowWriter*> outputs, std::function<void(const std::string&)> say);
  ~SessionRecorder();

  // False, having said why, when the disks are too full to begin.
  bool SpaceToBegin();

  // The meter's identity, for the sessions that start from now on.
  void SetMeter(std::string serial, std::string firmware);
  void OnStreamStarted(int64_t nowNs) { keeper_.OnStreamStarted(nowNs); }
  void OnFrames(const std::vector<TimedReadings>& frames);
  // The stream has ended: a gap opens at the last frame.
  void OnMeterLost(int64_t nowNs, const std::string& cause) { keeper_.OnMeterLost(nowNs, cause); }
  void OnEvent(int64_t nowNs, const std::string& kind, const std::string& detail) {
    keeper_.OnEvent(nowNs, kind, detail);
  }
  // Time passes: silence turns into a gap, limits end the session; what is due is written.
  // False when the run must end (the disk is full, a write failed); the session has ended.
  bool Tick(int64_t nowNs);
  // Ends the running session, if any, and the run.
  void End(int64_t nowNs, EndReason reason);
  // Writes the rest when the run is over.
  void Finish();

  // The next moment at which Tick has something to do.
  int64_t NextDeadline() const;
  // No more sessions will start.
  bool Finished() const { return keeper_.Finished(); }
  // A session runs (not only armed, waiting for its start trigger).
  bool SessionActive() const { return keeper_.SessionActive(); }
  // The running session's figures up to its last sample.
  Summary Running(int64_t nowNs) const { return keeper_.Snapshot(nowNs); }
  RecordResult& result() { return result_; }
  const RecordStore* store() const { return store_; }

 private:
  class Fanout;
  bool Flush(int64_t nowNs);
  bool SpaceLeft(std::string& why) const;

  const uint64_t minFreeBytes_;
  const std::vector<std::string> spacePaths_;
  RecordStore* store_;
  std::vector<LiveRowWriter*> outputs_;
  std::function<void(const std::string&)> say_;
  std::unique_ptr<Fanout> fanout_;
  SessionKeeper keeper_;
  int64_t flushAt_ = 0;
  RecordResult result_;
};

}  // namespace vireo::record
