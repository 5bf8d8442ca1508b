// The firmware upgrade: DFUSTART's checks on the GUI side and the upgrade sequence on its own
// worker, which holds the meter link from the accepted request until the sequence has ended.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "app/app_state.h"
#include "app/reporter.h"
#include "app/worker.h"
#include "meter/firmware_image.h"
#include "meter/meter_link.h"

namespace vireo {

// What DFUSTART hands over: the page's firmware path and its logo.
struct UpgradeRequest {
  std::string firmwarePath;
  // The logo to write into the image, when the logo box is ticked and a bitmap was chosen:
  // the bytes of the last conversion.
  std::optional<LogoPatchBytes> logo{};
  uint32_t logoSize = 0;  // encoded size of the last conversion
  // The chosen bitmap's pixels were read by the last conversion; otherwise the logo holds an
  // earlier picture, or none.
  bool logoConverted = true;
};

// The largest logo the image has room for, in bytes.
inline constexpr uint32_t kLogoSizeLimit = 4096;

class UpgradeControl {
 public:
  UpgradeControl(MeterLink& link, AppState& state, Reporter& reporter);
  ~UpgradeControl();

  // DFUSTART's checks, in their order: an empty firmware path TXT_ERR_NO_FIRMWARE_FILE;
  // TXT_BUSY while the live stream, a read-out or another upgrade holds the link; without a
  // meter TXT_ERR_NO_DEVICE; when the last identification failed, the meter is identified
  // again (without the firmware-too-old notice: the user is upgrading) and a new failure
  // reported; for version byte 0x10 TXT_ERR_UNSUPPORTED_DEVICE; a logo over 4096 bytes, or
  // one never converted from the chosen bitmap (TXT_ERR_BMP), is refused with a red log line
  // too and the failure beep. The refusals are message boxes. Otherwise the upgrade of the
  // request's path, with its logo if it has one, runs on the worker with a copy of both taken
  // now, and the result is true.
  bool Request(const UpgradeRequest& request);
  bool IsRunning() const { return worker_.IsRunning(); }
  // Whether the last upgrade that ran to its end succeeded.
  bool LastUpgradeSucceeded() const { return succeeded_; }
  // True once after each upgrade that succeeded: the meter runs new firmware and is to be
  // identified again.
  bool TakeNewFirmware() { return newFirmware_.exchange(false); }
  // Waits for a running upgrade to end.
  void WaitIdle() { worker_.WaitIdle(); }
  // Asks a running upgrade to stop after the block in hand; the meter stays in upgrade mode
  // and the log says so. Only stores a flag, so a signal handler may call it.
  void RequestStop() { stop_.store(true); }
  // Waits for a running upgrade to end, then ends the worker. Idempotent.
  void Shutdown();

 private:
  // What the accepted request fixed for the run; written before the worker is asked to run,
  // read by the worker alone while it runs.
  struct Job {
    std::string firmwarePath;
    std::optional<LogoPatchBytes> logo;
  };

  // The upgrade sequence, on the worker, with the link held.
  void Sequence();
  // Erase, write and verify, with the meter's screen and the log; true when all succeeded.
  bool Transfer();
  // After a step's failure line: a line with the link's cause of the failure.
  void LogFault();
  void LogCause(const std::string& cause);
  // One status line on the meter's screen.
  void ShowStatus(const char* text);
  // The logo's part of the checks; false when it refuses the request.
  bool AcceptLogo(const UpgradeRequest& request);

  MeterLink& link_;
  AppState& state_;
  Reporter& reporter_;
  Job job_;
  int screenLine_ = 0;  // the worker's
  std::atomic<bool> succeeded_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> newFirmware_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
  Worker worker_;
};

}  // namespace vireo
