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
#include <optional>
#include <string>
#include <vector>

#include "acquire/device_watch.h"
#include "acquire/frame_queue.h"
#include "acquire/live_stream.h"
#include "app/app_state.h"
#include "app/reporter.h"
#include "meter/meter_link.h"
#include "record/session_recorder.h"

namespace vireo::record {

struct RecorderOptions {
  TriggerSettings triggers;
  bool anyMeter = false;  // accept another meter after an unplug
  // Record from the meter with this serial only, waiting for it when it is not attached. A link
  // bound to a device path before the run keeps to that path.
  std::string meterSerial;
  uint64_t minFreeBytes = uint64_t{256} << 20;
  std::vector<std::string> watchFolders = DeviceWatch::DefaultFolders();
  // Files whose disks the free-space watch looks at (the store, live output files).
  std::vector<std::string> spacePaths;
};

// Another user of the run's frames beside the sessions (the command line's alarms), fed on the
// run's thread: it takes each bunch of frames and the time passing up to its deadline, and may
// end the run (as stopped).
class RecordWatcher {
 public:
  virtual ~RecordWatcher() = default;
  virtual void OnFrames(const std::vector<TimedReadings>& frames) = 0;
  // True when the run must end.
  virtual bool OnTick(int64_t nowNs) = 0;
  virtual int64_t NextDeadline() const = 0;
};

class Recorder {
 public:
  // store may be null (--no-store); outputs are the live CSV/JSONL writers. `say` tells the
  // user what happens, one line at a time (on standard error in the CLI).
  Recorder(MeterLink& link, AppState& state, Reporter& streamReporter, RecorderOptions options,
           RecordStore* store, std::vector<LiveRowWriter*> outputs,
           std::function<void(const std::string&)> say);
  ~Recorder();

  RecordResult Run(int stopFd, RecordWatcher* watcher = nullptr);
  // An event of the running session, into the store (a watcher's alarms).
  void OnEvent(int64_t nowNs, const std::string& kind, const std::string& detail) {
    sessions_.OnEvent(nowNs, kind, detail);
  }

 private:
  enum class Connection { kStreaming, kAbsent, kOtherMeter, kRefused };

  // Binds the link to the device of the meter wanted, while one is wanted by its serial; the
  // connection's outcome when that meter is not there.
  std::optional<Connection> ChooseDevice();
  Connection RefuseOtherMeter(const std::string& serial);
  Connection Connect(bool first);
  void SayRecording();
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
  RecordWatcher* watcher_ = nullptr;
  FrameQueue queue_;
  std::vector<TimedReadings> frames_;
  LiveStream stream_;
  const std::string fixedPath_;
  std::string serial_;
  std::string firmware_;
  std::string lastRefused_;
  bool waiting_ = false;
  int refusedTries_ = 0;
  int64_t retryAt_ = INT64_MAX;  // none
};

}  // namespace vireo::record
