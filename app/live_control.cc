#include "app/live_control.h"

#include "app/identify.h"

namespace vireo {

namespace {

constexpr int kStepsPerRequest = 20;
constexpr int kSilentReadsBeforeReconnect = 50;
constexpr int kProgressCycle = 100;
constexpr uint32_t kReportSize = 64;

}  // namespace

LiveReport ClassifyLiveReport(const Frame& frame, uint32_t length) {
  if (length == 0)
    return LiveReport::kNothing;
  if (length != kReportSize)
    return LiveReport::kBadLength;
  if (!IsValidFrame(frame))
    return LiveReport::kBadFrame;
  if (frame[kCommandOffset] != kStreamReadings)
    return LiveReport::kWrongCode;
  return LiveReport::kReadings;
}

LiveControl::LiveControl(MeterLink& link, AppState& state, Reporter& reporter)
    : link_(link),
      state_(state),
      reporter_(reporter),
      worker_([this] { WorkerBody(); },
              [this] {
                state_.LiveRunning = 0;
                state_.linkOwner.Release(LinkUser::kLive);
              }) {}

LiveControl::~LiveControl() {
  Shutdown();
}

void LiveControl::Start() {
  if (StartWhileStreaming())
    return;
  if (!state_.linkOwner.TryTake(LinkUser::kLive)) {
    reporter_.ShowMessage(state_.texts[TXT_BUSY]);  // a read-out or an upgrade holds the link
    return;
  }
  reporter_.ClearLog();
  link_.Close();
  if (!link_.IsPresent()) {
    reporter_.AppendLog(state_.texts[TXT_ERR_NO_DEVICE], LogLevel::kError);
    reporter_.NewLogLine();
    reporter_.Beep(false);
    state_.linkOwner.Release(LinkUser::kLive);
    return;
  }
  const Identity identity = IdentifyUnlessKnown(link_, state_, reporter_);
  if (identity == Identity::kFailed) {
    state_.linkOwner.Release(LinkUser::kLive);
    return;
  }
  if (!IsFirmwareSupported(state_.deviceInfo.Load().version)) {
    if (identity == Identity::kKnown)  // a fresh identification has given the notice already
      reporter_.FirmwareTooOld();
    state_.linkOwner.Release(LinkUser::kLive);
    return;
  }
  if (StartLive()) {
    reporter_.AppendLog(state_.texts[TXT_STARTED], LogLevel::kSuccess);
    reporter_.NewLogLine();
    reporter_.Beep(true);
  }
}

bool LiveControl::StartWhileStreaming() {
  int expected = 1;
  if (stopRequested.compare_exchange_strong(expected, 0)) {
    // The stream was stopped but still drains: it goes on, and asks for frames again.
    WakePause();
    reporter_.ClearLog();
    reporter_.AppendLog(state_.texts[TXT_STARTED], LogLevel::kSuccess);
    reporter_.NewLogLine();
    reporter_.Beep(true);
    return true;
  }
  if (expected == kStreamEnding) {
    // The worker has decided to end the stream: wait for it, then start anew.
    worker_.WaitIdle();
    return false;
  }
  // stopRequested is 0: a stream runs (START twice does nothing), or none does.
  return state_.LiveRunning != 0;
}

bool LiveControl::StartLive() {
  if (state_.LiveRunning)
    return true;
  int error = -1;
  if (!link_.IsPresent()) {
    error = TXT_ERR_NO_DEVICE;
  } else if (!link_.Open()) {
    error = TXT_ERR_OPEN;
  } else if (link_.QueryUpgradeMode()) {
    error = TXT_UPGRADE_MODE;
  } else {
    pollCount = 0;
    stopRequested = 0;
    dropBadLength_ = 0;
    dropBadFrame_ = 0;
    dropWrongCode_ = 0;
    // Set before the worker runs, so that a stream that ends at once leaves it at 0.
    state_.LiveRunning = 1;
    if (worker_.RequestRun())
      return true;
    error = TXT_ERR_THREAD;
  }
  if (error == TXT_ERR_OPEN) {
    LogOpenFailure(link_.lastOpenRefusal(), state_.texts, reporter_);
  } else {
    reporter_.AppendLog(state_.texts[error], LogLevel::kError);
  }
  state_.LiveRunning = 0;
  link_.Close();
  state_.linkOwner.Release(LinkUser::kLive);
  reporter_.NewLogLine();
  reporter_.Beep(false);
  return false;
}

void LiveControl::Stop() {
  RequestStop();
  reporter_.ClearLog();
  reporter_.AppendLog(state_.texts[TXT_STOPPED], LogLevel::kNormal);
  reporter_.NewLogLine();
  reporter_.Beep(true);
}

void LiveControl::RequestStop() {
  if (!state_.LiveRunning)
    return;
  int expected = 0;  // a stream that is ending already stays so
  stopRequested.compare_exchange_strong(expected, 1);
  WakePause();
}

void LiveControl::Shutdown() {
  endNow_ = true;
  RequestStop();
  WakePause();
  worker_.WaitIdle();
  worker_.Stop();
}

LiveDrops LiveControl::Drops() const {
  return {dropBadLength_.load(std::memory_order_relaxed),
          dropBadFrame_.load(std::memory_order_relaxed),
          dropWrongCode_.load(std::memory_order_relaxed)};
}

void LiveControl::WakePause() {
  { std::lock_guard lock(pauseMutex_); }
  pauseWake_.notify_all();
}

void LiveControl::Pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(pauseMutex_);
  pauseWake_.wait_for(lock, duration, [this] { return Stopping(); });
}

bool LiveControl::PollStep() {
  bool received = false;
  bool lost = false;
  FollowStopRequest();
  if (pollCount == 0 && stopRequested == 0 && link_.RequestReadings()) {
    pendingFrames = kLiveBurstFrames;
  }
  if (++pollCount == kStepsPerRequest)
    pollCount = 0;

  bool reconnect = true;
  if (pendingFrames > 0) {
    bool arrived = false;
    if (!link_.IsOpen()) {
      // The reopen failed (another program may hold the meter): wait as long as a read
      // would, so the loop keeps its pace instead of spinning.
      Pause(std::chrono::milliseconds(kLiveFrameTimeoutMs));
    } else {
      received = ReceiveFrame(arrived);
    }
    silentReads_ = arrived ? 0 : silentReads_ + 1;
    --pendingFrames;
    // Requests refill the pending count every 20 steps, so a meter that went silent is
    // recognised by the reads that brought nothing, not by the count running out.
    reconnect = !received && (pendingFrames == 0 || silentReads_ >= kSilentReadsBeforeReconnect);
  }
  if (reconnect && !Reconnect()) {
    pendingFrames = 0;
    lost = true;
  }

  // A closed link owes nothing, so a stop ends at once.
  if (stopRequested == 1 && !link_.IsOpen())
    pendingFrames = 0;
  const bool drainOver =
      pendingFrames == 0 || endNow_ || (draining_ && std::chrono::steady_clock::now() >= drainEnd_);
  if ((lost || endNow_ || stopRequested == 1) && drainOver && ClaimEnd(lost))
    EndStream(lost);
  return received;
}

void LiveControl::FollowStopRequest() {
  const int stop = stopRequested;
  if (stop == 1 && !draining_) {
    draining_ = true;
    drainEnd_ = std::chrono::steady_clock::now() + kDrainLimit;
  } else if (stop == 0 && draining_) {
    // START carried the stream on: ask for frames in this step.
    draining_ = false;
    pollCount = 0;
  }
}

bool LiveControl::ReceiveFrame(bool& arrived) {
  const uint32_t length = link_.ReadReport(frame_.data(), kLiveFrameTimeoutMs);
  arrived = length > 0;
  switch (ClassifyLiveReport(frame_, length)) {
    case LiveReport::kReadings: {
      const ReadingsRecord record = ReadingsRecord::FromBytes(frame_.data() + kPayloadOffset);
      state_.readings.Store(record);
      if (onReadings)
        onReadings(record);
      if (frameSink)
        frameSink->OnFrame(StampReadings(record));
      return true;
    }
    case LiveReport::kNothing:
      break;
    case LiveReport::kBadLength:
      dropBadLength_.fetch_add(1, std::memory_order_relaxed);
      break;
    case LiveReport::kBadFrame:
      dropBadFrame_.fetch_add(1, std::memory_order_relaxed);
      break;
    case LiveReport::kWrongCode:
      dropWrongCode_.fetch_add(1, std::memory_order_relaxed);
      break;
  }
  return false;
}

bool LiveControl::Reconnect() {
  silentReads_ = 0;
  link_.Close();
  if (!link_.IsPresent())
    return false;
  if (Stopping())
    return true;  // the stream ends in this step; nothing to reopen
  // Every attempt waits one read time-out first, so a meter that is listed but cannot be
  // opened costs next to nothing and is retried at the pace of reads; a stop ends the wait.
  Pause(std::chrono::milliseconds(kLiveFrameTimeoutMs));
  if (!Stopping())
    link_.Open();  // its result is not tested: a failed open is retried by the next steps
  pollCount = 0;
  return true;
}

bool LiveControl::ClaimEnd(bool lost) {
  if (lost || endNow_) {
    stopRequested = kStreamEnding;
    return true;
  }
  // Against a START that sets it back to 0 to carry the stream on: one of the two wins.
  int expected = 1;
  return stopRequested.compare_exchange_strong(expected, kStreamEnding);
}

void LiveControl::EndStream(bool lost) {
  link_.Close();
  reporter_.SetProgress(100);
  if (lost) {
    reporter_.AppendLog(state_.texts[TXT_ERR_COMM], LogLevel::kError);
    reporter_.NewLogLine();
    reporter_.Beep(false);
    Identify(link_, state_, reporter_);
    ShowIdentity(state_, reporter_);
  }
  // LiveRunning drops to 0 once the worker is idle again (see the constructor); stopRequested
  // stays kStreamEnding until then, so a START meanwhile waits for it.
  streamEnded_ = true;
  draining_ = false;
}

void LiveControl::WorkerBody() {
  streamEnded_ = false;
  silentReads_ = 0;
  draining_ = false;
  for (int i = 0; !streamEnded_;) {
    if (++i == kProgressCycle)
      i = 0;
    PollStep();
    if (!streamEnded_)
      reporter_.SetProgress(i);
  }
}

}  // namespace vireo
