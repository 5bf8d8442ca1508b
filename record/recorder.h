// Recorder: one `record` run. Streams from the meter with a LiveStream of its own, takes every
// frame through its FrameQueue subscription into a SessionRecorder, and keeps the session going
// across unplugs: it learns the end of a stream from the feed, waits for the meter to come back
// by watching the HID devices, checks that it is the same meter, and starts the stream again.
// Runs on the calling thread until the stop descriptor becomes readable, a limit or stop
// trigger ends the run, or the disk fills.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "acquire/frame_queue.h"
#include "acquire/live_stream.h"
#include "app/app_state.h"
#include "app/reporter.h"
#include "meter/meter_link.h"
#include "record/device_watch.h"
#include "record/session_recorder.h"

namespace vireo::record {

struct RecorderOptions {
  TriggerSettings triggers;
  bool anyMeter = false;  // accept another meter after an unplug
  uint64_t minFreeBytes = uint64_t{256} << 20;
  std::vector<std::string> watchFolders = DeviceWatch::DefaultFolders();
  // Files whose disks the free-space watch looks at (the store, live output files).
  std::vector<std::string> spacePaths;
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
  enum class Connection { kStreaming, kAbsent, kOtherMeter, kRefused };

  Connection Connect(bool first);
  void TryReconnect(int64_t now);
  // Hands the queued frames on; true when the stream has ended meanwhile.
  bool DrainFrames();
  void StreamEnded(int64_t now);
  void EndRun(int64_t now, EndReason reason);

  MeterLink& link_;
  AppState& state_;
  Reporter& streamReporter_;
  const RecorderOptions options_;
  std::function<void(const std::string&)> say_;

  SessionRecorder sessions_;
  FrameQueue queue_;
  std::vector<TimedReadings> frames_;
  LiveStream stream_;
  std::string serial_;
  std::string firmware_;
  std::string lastRefused_;
  bool waiting_ = false;
  int refusedTries_ = 0;
  int64_t retryAt_ = INT64_MAX;  // none
};

}  // namespace vireo::record
