// The firmware upgrade: DFUSTART's checks on the GUI side and the upgrade sequence on its own
// worker, which holds the meter link from the accepted request until the sequence has ended.
#pragma once

#include "app/app_state.h"
#include "app/reporter.h"
#include "app/worker.h"
#include "meter/meter_link.h"

namespace vireo {

class UpgradeControl {
 public:
  UpgradeControl(MeterLink& link, AppState& state, Reporter& reporter);
  ~UpgradeControl();

  // DFUSTART's checks on the link: refused with TXT_BUSY while the live stream, a read-out or
  // another upgrade holds the link; without a meter TXT_ERR_NO_DEVICE; when the last
  // identification failed, the meter is identified again (without the firmware-too-old
  // notice: the user is upgrading) and a new failure reported; for version byte 0x10
  // TXT_ERR_UNSUPPORTED_DEVICE. The two refusals are message boxes. Otherwise the upgrade of
  // state.FirmwarePath runs on the worker; true then.
  bool Request();
  bool IsRunning() const { return worker_.IsRunning(); }
  // Waits for a running upgrade to end, then ends the worker. Idempotent.
  void Shutdown();

 private:
  // The upgrade sequence, on the worker, with the link held.
  void Sequence();

  MeterLink& link_;
  AppState& state_;
  Reporter& reporter_;
  Worker worker_;
};

}  // namespace vireo
