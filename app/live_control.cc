#include "app/live_control.h"

#include <chrono>
#include <thread>

#include "app/identify.h"

namespace vireo {

namespace {

constexpr int kStepsPerRequest = 20;
constexpr int kSilentReadsBeforeReconnect = 50;
constexpr int kProgressCycle = 100;

}  // namespace

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
  if (state_.LiveRunning)
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
  if (!IsFirmwareSupported(state_.deviceInfo.Load().version)) {
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
    // Set before the worker runs, so that a stream that ends at once leaves it at 0.
    state_.LiveRunning = 1;
    if (worker_.RequestRun())
      return true;
    error = TXT_ERR_THREAD;
  }
  reporter_.AppendLog(state_.texts[error], LogLevel::kError);
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
  if (state_.LiveRunning)
    stopRequested = 1;
}

void LiveControl::Shutdown() {
  RequestStop();
  worker_.WaitIdle();
  worker_.Stop();
}

bool LiveControl::PollStep() {
  bool received = false;
  bool lost = false;
  if (pollCount == 0 && stopRequested == 0 && link_.RequestReadings()) {
    pendingFrames = 50;
  }
  if (++pollCount == kStepsPerRequest)
    pollCount = 0;

  bool reconnect = true;
  if (pendingFrames > 0) {
    ReadingsRecord record;
    bool arrived = false;
    if (!link_.IsOpen()) {
      // The reopen failed (another program may hold the meter): wait as long as a read
      // would, so the loop keeps its pace instead of spinning.
      std::this_thread::sleep_for(std::chrono::milliseconds(kLiveFrameTimeoutMs));
    } else if (link_.ReceiveReadings(record, &arrived)) {
      state_.readings.Store(record);
      received = true;
      if (onReadings)
        onReadings(record);
      if (frameSink)
        frameSink->OnFrame(StampReadings(record));
    }
    silentReads_ = arrived ? 0 : silentReads_ + 1;
    --pendingFrames;
    // Requests refill the pending count every 20 steps, so a meter that went silent is
    // recognised by the reads that brought nothing, not by the count running out.
    reconnect = !received && (pendingFrames == 0 || silentReads_ >= kSilentReadsBeforeReconnect);
  }
  if (reconnect) {
    silentReads_ = 0;
    link_.Close();
    if (link_.IsPresent()) {
      link_.Open();
      pollCount = 0;
    } else {
      stopRequested = 1;
      pendingFrames = 0;
      lost = true;
    }
  }

  // A closed link owes nothing, so a stop ends at once.
  if (stopRequested == 1 && !link_.IsOpen())
    pendingFrames = 0;
  if (stopRequested == 1 && pendingFrames == 0) {
    stopRequested = 0;
    link_.Close();
    reporter_.SetProgress(100);
    if (lost) {
      reporter_.AppendLog(state_.texts[TXT_ERR_COMM], LogLevel::kError);
      reporter_.NewLogLine();
      reporter_.Beep(false);
      Identify(link_, state_, reporter_);
      ShowIdentity(state_, reporter_);
    }
    // LiveRunning drops to 0 once the worker is idle again (see the constructor).
    streamEnded_ = true;
  }
  return received;
}

void LiveControl::WorkerBody() {
  streamEnded_ = false;
  silentReads_ = 0;
  for (int i = 0; !streamEnded_;) {
    if (++i == kProgressCycle)
      i = 0;
    PollStep();
    if (!streamEnded_)
      reporter_.SetProgress(i);
  }
}

}  // namespace vireo
