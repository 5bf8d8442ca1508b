// MeterWorker: what the front end does with a meter's frames besides the metrics (record them,
// watch them for alarms). The service makes one per meter through ServeOptions::makeWorker and
// runs it on a thread of that meter's own, fed through a FrameQueue: a slow store never holds up
// the stream, another meter or a scrape. MeterHost is what the worker may tell the service.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "acquire/frame_subscriber.h"

namespace vireo::serve {

// An alarm of a meter raised or cleared, as the metrics and MQTT show it.
struct AlarmNotice {
  std::string name;
  bool raised = false;
  std::string quantity;  // "voltage", ..., "meter lost"
  double value = 0;      // in the quantity's unit; seconds without frames for "meter lost"
  int64_t wallNs = 0;    // CLOCK_REALTIME
};

// Any thread.
class MeterHost {
 public:
  virtual ~MeterHost() = default;
  virtual void ReportAlarm(const AlarmNotice& notice) = 0;
  // Ends the whole run, as a stop signal does.
  virtual void RequestStop() = 0;
};

// Called on the meter's worker thread only, in the order the events happened; times are
// CLOCK_BOOTTIME.
class MeterWorker {
 public:
  virtual ~MeterWorker() = default;
  // The names of the alarms it watches, each shown from the start (not raised).
  virtual std::vector<std::string> AlarmNames() const { return {}; }
  // A stream of the meter starts; its frames follow.
  virtual void OnStreamStarted(int64_t nowNs, const std::string& firmware) = 0;
  virtual void OnFrames(const std::vector<TimedReadings>& frames) = 0;
  // The stream ended after its last frame (kStopped at the end of the run).
  virtual void OnStreamEnd(int64_t nowNs, StreamEnd end) = 0;
  // Time passes; called at least by NextDeadline().
  virtual void OnTick(int64_t nowNs) = 0;
  virtual int64_t NextDeadline() const = 0;
  // The run ends; the last call.
  virtual void Finish(int64_t nowNs) = 0;
};

// Makes the worker of a newly seen meter, or null when it needs none.
using MakeMeterWorker =
    std::function<std::unique_ptr<MeterWorker>(const std::string& serial, MeterHost& host)>;

}  // namespace vireo::serve
