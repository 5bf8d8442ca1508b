#include "app/read_out_control.h"

#include "app/identify.h"

namespace vireo {

ReadOutControl::ReadOutControl(MeterLink& link, AppState& state, Reporter& reporter)
    : link_(link),
      state_(state),
      reporter_(reporter),
      worker_([this] { Sequence(); }, [this] { state_.linkOwner.Release(LinkUser::kReadOut); }) {}

ReadOutControl::~ReadOutControl() {
  Shutdown();
}

bool ReadOutControl::Request() {
  if (state_.LiveRunning || !state_.linkOwner.TryTake(LinkUser::kReadOut)) {
    reporter_.ShowMessage(state_.texts[TXT_BUSY]);
    return false;
  }
  link_.Close();
  Identity identity = Identity::kKnown;
  if (!link_.IsPresent()) {
    reporter_.AppendLog(state_.texts[TXT_ERR_NO_DEVICE], LogLevel::kError);
    reporter_.NewLogLine();
    reporter_.Beep(false);
  } else if ((identity = IdentifyUnlessKnown(link_, state_, reporter_)) == Identity::kFailed) {
    // The failure is reported; a version that was never read is no reason for the notice.
  } else if (!IsFirmwareSupported(state_.deviceInfo.Load().version)) {
    if (identity == Identity::kKnown)  // a fresh identification has given the notice already
      reporter_.FirmwareTooOld();
  } else if (worker_.RequestRun()) {
    return true;  // the worker gives the link back when the sequence has ended
  }
  state_.linkOwner.Release(LinkUser::kReadOut);
  return false;
}

void ReadOutControl::Shutdown() {
  worker_.WaitIdle();
  worker_.Stop();
}

void ReadOutControl::Sequence() {
  // The read-out sequence comes with the records' own work.
}

}  // namespace vireo
