#include "app/live_control.h"

#include "app/identify.h"

namespace vireo {

void LogStreamStartFailure(LiveStream::StartError error, const MeterLink& link,
                           const TextTable& texts, Reporter& reporter) {
  switch (error) {
    case LiveStream::StartError::kOpen:
      LogOpenFailure(link.lastOpenError(), texts, reporter);
      return;
    case LiveStream::StartError::kNoDevice:
      reporter.AppendLog(texts[TXT_ERR_NO_DEVICE], LogLevel::kError);
      return;
    case LiveStream::StartError::kUpgradeMode:
      reporter.AppendLog(texts[TXT_UPGRADE_MODE], LogLevel::kError);
      return;
    case LiveStream::StartError::kNone:
    case LiveStream::StartError::kThread:
      reporter.AppendLog(texts[TXT_ERR_THREAD], LogLevel::kError);
      return;
  }
}

LiveControl::LiveControl(MeterLink& link, AppState& state, Reporter& reporter)
    : link_(link),
      state_(state),
      reporter_(reporter),
      stream_(link, {.pass = [this](int cycle) { reporter_.SetProgress(cycle); },
                     .ended = [this](StreamEnd end) { StreamEnded(end); }}) {
  stream_.Subscribe(state_.readings);
}

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
  if (stream_.CarryOn()) {
    // The stream was stopped but still drained: it goes on, and asks for frames again.
    reporter_.ClearLog();
    reporter_.AppendLog(state_.texts[TXT_STARTED], LogLevel::kSuccess);
    reporter_.NewLogLine();
    reporter_.Beep(true);
    return true;
  }
  // A stream runs (START twice does nothing), or none does (any that was ending has ended).
  return state_.LiveRunning != 0;
}

bool LiveControl::StartLive() {
  if (state_.LiveRunning)
    return true;
  // Set before the stream runs, so that a stream that ends at once leaves it at 0.
  state_.LiveRunning = 1;
  const LiveStream::StartError error = stream_.Start(SerialText(state_.deviceInfo.Load()));
  if (error == LiveStream::StartError::kNone)
    return true;
  state_.LiveRunning = 0;
  LogStreamStartFailure(error, link_, state_.texts, reporter_);
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
    stream_.RequestStop();
}

void LiveControl::Shutdown() {
  stream_.Shutdown();
}

void LiveControl::StreamEnded(StreamEnd end) {
  reporter_.SetProgress(100);
  if (end != StreamEnd::kStopped) {
    reporter_.AppendLog(state_.texts[TXT_ERR_COMM], LogLevel::kError);
    reporter_.NewLogLine();
    reporter_.Beep(false);
    Identify(link_, state_, reporter_);
    ShowIdentity(state_, reporter_);
  }
  state_.LiveRunning = 0;
  state_.linkOwner.Release(LinkUser::kLive);
}

}  // namespace vireo
