#include "app/upgrade_control.h"

#include "app/identify.h"

namespace vireo {

namespace {

// The version byte of a meter whose firmware cannot be replaced this way.
constexpr uint8_t kUnsupportedVersion = 0x10;

}  // namespace

UpgradeControl::UpgradeControl(MeterLink& link, AppState& state, Reporter& reporter)
    : link_(link),
      state_(state),
      reporter_(reporter),
      worker_([this] { Sequence(); }, [this] { state_.linkOwner.Release(LinkUser::kUpgrade); }) {}

UpgradeControl::~UpgradeControl() {
  Shutdown();
}

bool UpgradeControl::Request() {
  if (state_.LiveRunning || !state_.linkOwner.TryTake(LinkUser::kUpgrade)) {
    reporter_.ShowMessage(state_.texts[TXT_BUSY]);
    return false;
  }
  link_.Close();
  if (!link_.IsPresent()) {
    reporter_.ShowMessage(state_.texts[TXT_ERR_NO_DEVICE]);
  } else if (IdentifyUnlessKnown(link_, state_, reporter_, OldFirmware::kQuiet) ==
             Identity::kFailed) {
    // The failure is reported; the version byte of a meter not identified says nothing.
  } else if (state_.deviceInfo.Load().version == kUnsupportedVersion) {
    reporter_.ShowMessage(state_.texts[TXT_ERR_UNSUPPORTED_DEVICE]);
  } else if (worker_.RequestRun()) {
    return true;  // the worker gives the link back when the sequence has ended
  }
  state_.linkOwner.Release(LinkUser::kUpgrade);
  return false;
}

void UpgradeControl::Shutdown() {
  worker_.WaitIdle();
  worker_.Stop();
}

void UpgradeControl::Sequence() {
  // The upgrade sequence comes with the firmware transfer.
}

}  // namespace vireo
