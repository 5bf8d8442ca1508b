// Recorder: one `record` run. Streams from the meter with a LiveStream of its own, takes every
// frame through its FrameQueue subscription to the SessionKeeper, writes the store in batches and
// the live outputs as it goes, and keeps the session going across unplugs: it waits for the meter
// to come back by watching the HID devices, checks that it is the same meter, and starts the stream
// again. It learns the end of a stream from the feed. Runs on the calling thread until the stop
// descriptor becomes readable, a limit or stop trigger ends the run, or the disk fills.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "acquire/frame_queue.h"
#include "acquire/live_stream.h"
#include "app/app_state.h"
#include "app/reporter.h"
#include "meter/meter_link.h"
#include "record/device_watch.h"
#include "record/record_store.h"
#include "record/rows.h"
#include "record/session_keeper.h"

namespace vireo::record {

struct RecorderOptions {
  TriggerSettings triggers;
  bool anyMeter = false;  // accept another meter after an unplug
  uint64_t minFreeBytes = uint64_t{256} << 20;
  std::vector<std::string> watchFolders = DeviceWatch::DefaultFolders();
  // Files whose disks the free-space watch looks at (the store, live output files).
  std::vector<std::string> spacePaths;
};

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

class Recorder {
 public:
  // store may be null (--no-store); outputs are the live CSV/JSONL writers. `say` tells the
  // user what happens, one line at a time (on standard error in the CLI).
  Recorder(MeterLink& link, AppState& state, Reporter& streamReporter, RecorderOptions options,
           RecordStore* store, std::vector<LiveRowWriter*> outputs,
           std::function<void(const std::string&)> say);
  ~Recorder();

  RecordResult Run(int stopFd);

 private:
  class Fanout;
  enum class Connection { kStreaming, kAbsent, kOtherMeter, kRefused };

  Connection Connect(bool first);
  void TryReconnect(int64_t now);
  // Hands the queued frames to the keeper; true when the stream has ended meanwhile.
  bool DrainFrames();
  void StreamEnded(int64_t now);
  // Writes what is due; false when the run must end.
  bool Flush(int64_t now);
  bool SpaceLeft(std::string& why) const;
  void EndRun(int64_t now, EndReason reason);

  MeterLink& link_;
  AppState& state_;
  Reporter& streamReporter_;
  const RecorderOptions options_;
  RecordStore* store_;
  std::vector<LiveRowWriter*> outputs_;
  std::function<void(const std::string&)> say_;

  std::unique_ptr<Fanout> fanout_;
  SessionKeeper keeper_;
  FrameQueue queue_;
  std::vector<TimedReadings> frames_;
  LiveStream stream_;
  std::string serial_;
  std::string firmware_;
  std::string lastRefused_;
  bool waiting_ = false;
  int refusedTries_ = 0;
  int64_t retryAt_ = INT64_MAX;  // none
  RecordResult result_;
};

}  // namespace vireo::record
