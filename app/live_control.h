// LiveControl: the START and STOP sequences of the window on top of the meter's LiveStream:
// who holds the link, the checks before a stream, the log lines and beeps, LiveRunning, and
// what the window shows when the meter is lost. The current readings are a subscriber of the
// stream; other consumers subscribe through stream().
#pragma once

#include "acquire/live_stream.h"
#include "app/app_state.h"
#include "app/reporter.h"
#include "meter/meter_link.h"

namespace vireo {

// The red line for a stream that could not start (the open's hint after it); the caller ends
// the line.
void LogStreamStartFailure(LiveStream::StartError error, const MeterLink& link,
                           const TextTable& texts, Reporter& reporter);

class LiveControl {
 public:
  LiveControl(MeterLink& link, AppState& state, Reporter& reporter);
  ~LiveControl();

  // The START button: takes the link (TXT_BUSY while a read-out or an upgrade holds it),
  // identifies the meter again when the last identification failed, checks, StartLive, the
  // success line and beep. While a stopped stream still drains, START carries it on.
  void Start();
  // Starts the stream; true on success. Logs the reason of a failure. The caller holds the
  // link as kLive; a failure gives it back, the end of the stream too.
  bool StartLive();
  // The STOP button: asks the stream to stop, clears the log, TXT_STOPPED.
  void Stop();
  // Asks the stream to stop, only while it runs. It drains the frames still owed, for
  // LiveStream::kDrainLimit at most, then ends.
  void RequestStop();
  // Ends a stream at once, without a drain, and joins it. For closing the program;
  // idempotent, and no stream starts afterwards.
  void Shutdown();

  // The feed: subscribe before START. Its state (pollCount, stopRequested, pendingFrames)
  // and its counts of dropped reports are there too.
  LiveStream& stream() { return stream_; }
  LiveDrops Drops() const { return stream_.Drops(); }

 private:
  // START while a stream runs or ends; true when nothing more is to be done for it.
  bool StartWhileStreaming();
  void StreamEnded(StreamEnd end);

  MeterLink& link_;
  AppState& state_;
  Reporter& reporter_;
  LiveStream stream_;
};

}  // namespace vireo
