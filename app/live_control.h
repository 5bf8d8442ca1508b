// The live stream: PollStep, the live-poll worker, and the START, StartLive and STOP sequences.
#pragma once

#include <atomic>
#include <functional>

#include "app/app_state.h"
#include "app/frame_sink.h"
#include "app/reporter.h"
#include "app/worker.h"
#include "meter/meter_link.h"

namespace vireo {

class LiveControl {
 public:
  LiveControl(MeterLink& link, AppState& state, Reporter& reporter);
  ~LiveControl();

  // The START button: takes the link (TXT_BUSY while a read-out or an upgrade holds it),
  // checks, StartLive, the success line and beep.
  void Start();
  // Opens the link and starts the worker; true on success. Logs the reason of a failure. The
  // caller holds the link as kLive; a failure gives it back, the end of the stream too.
  bool StartLive();
  // The STOP button: asks the stream to stop, clears the log, TXT_STOPPED.
  void Stop();
  // Asks the stream to stop (the design's MSG_STOP_LIVE), only while it runs.
  void RequestStop();
  // Stops as STOP does, waits for the drain to end and joins the worker. Idempotent.
  void Shutdown();

  // One step of the stream; true if a new record arrived. Run only by the live-poll worker.
  bool PollStep();

  // Called on the worker thread with every frame that updated the current readings. Set it
  // before the first START.
  std::function<void(const ReadingsRecord&)> onReadings;
  // Also receives every such frame, with its time of arrival. Set it before the first START.
  FrameSink* frameSink = nullptr;

  // Stream state, race-free.
  std::atomic<int> pollCount{0};
  std::atomic<int> stopRequested{0};
  std::atomic<int> pendingFrames{0};

 private:
  void WorkerBody();

  MeterLink& link_;
  AppState& state_;
  Reporter& reporter_;
  // Worker thread only.
  bool streamEnded_ = false;
  int silentReads_ = 0;  // reads in a row that brought no report at all
  Worker worker_;
};

}  // namespace vireo
