// The live stream: PollStep, the live-poll worker, and the START, StartLive and STOP sequences.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "app/app_state.h"
#include "app/frame_sink.h"
#include "app/reporter.h"
#include "app/worker.h"
#include "meter/frame.h"
#include "meter/meter_link.h"

namespace vireo {

// What one read of the live stream brought.
enum class LiveReport {
  kNothing,    // no report within the read time-out
  kReadings,   // a valid live-data frame
  kBadLength,  // a report of another size than a frame
  kBadFrame,   // wrong start bytes or a checksum that does not hold
  kWrongCode,  // a valid frame of another command than the live data
};

// Sorts a report of `length` bytes read into `frame`.
LiveReport ClassifyLiveReport(const Frame& frame, uint32_t length);

// Reports that arrived during a stream but were not used, by reason.
struct LiveDrops {
  uint32_t badLength = 0;
  uint32_t badFrame = 0;
  uint32_t wrongCode = 0;
  uint32_t Total() const { return badLength + badFrame + wrongCode; }
};

class LiveControl {
 public:
  // stopRequested while the worker ends the stream, until the next StartLive: a START that
  // sees it waits for the end instead of being dropped.
  static constexpr int kStreamEnding = 2;
  // How long a stream keeps reading after STOP before it closes the link, at most.
  static constexpr std::chrono::milliseconds kDrainLimit{300};

  LiveControl(MeterLink& link, AppState& state, Reporter& reporter);
  ~LiveControl();

  // The START button: takes the link (TXT_BUSY while a read-out or an upgrade holds it),
  // identifies the meter again when the last identification failed, checks, StartLive, the
  // success line and beep. While a stopped stream still drains, START carries it on.
  void Start();
  // Opens the link and starts the worker; true on success. Logs the reason of a failure. The
  // caller holds the link as kLive; a failure gives it back, the end of the stream too.
  bool StartLive();
  // The STOP button: asks the stream to stop, clears the log, TXT_STOPPED.
  void Stop();
  // Asks the stream to stop (the design's MSG_STOP_LIVE), only while it runs. The stream
  // drains the frames still owed, for kDrainLimit at most, then ends.
  void RequestStop();
  // Ends a stream at once, without a drain (the current read finishes first), and joins the
  // worker. For closing the program; idempotent, and no stream starts afterwards.
  void Shutdown();

  // One step of the stream; true if a new record arrived. Run only by the live-poll worker.
  bool PollStep();

  // Called on the worker thread with every frame that updated the current readings. Set it
  // before the first START.
  std::function<void(const ReadingsRecord&)> onReadings;
  // Also receives every such frame, with its time of arrival. Set it before the first START.
  FrameSink* frameSink = nullptr;

  // Reports dropped since the last StartLive. Any thread.
  LiveDrops Drops() const;

  // Stream state, race-free. stopRequested is 0, 1 (stop asked) or kStreamEnding.
  std::atomic<int> pollCount{0};
  std::atomic<int> stopRequested{0};
  std::atomic<int> pendingFrames{0};

 private:
  void WorkerBody();
  // START while a stream runs or ends; true when nothing more is to be done for it.
  bool StartWhileStreaming();
  // Notes the start of a drain, or that START carried the stream on.
  void FollowStopRequest();
  // One read of the stream; true if it brought readings. arrived: any report came in.
  bool ReceiveFrame(bool& arrived);
  // Closes the link and, while the meter is listed, opens it again; false if it is gone.
  bool Reconnect();
  // True when this step is the stream's last; wins against a START that carries it on.
  bool ClaimEnd(bool lost);
  void EndStream(bool lost);
  // Waits up to `duration`, less if a stop is asked for meanwhile.
  void Pause(std::chrono::milliseconds duration);
  bool Stopping() const { return stopRequested != 0 || endNow_; }
  void WakePause();

  MeterLink& link_;
  AppState& state_;
  Reporter& reporter_;
  std::atomic<bool> endNow_{false};
  std::atomic<uint32_t> dropBadLength_{0};
  std::atomic<uint32_t> dropBadFrame_{0};
  std::atomic<uint32_t> dropWrongCode_{0};
  std::mutex pauseMutex_;
  std::condition_variable pauseWake_;
  // Worker thread only.
  bool streamEnded_ = false;
  int silentReads_ = 0;  // reads in a row that brought no report at all
  bool draining_ = false;
  std::chrono::steady_clock::time_point drainEnd_;
  Frame frame_{};
  Worker worker_;
};

}  // namespace vireo
