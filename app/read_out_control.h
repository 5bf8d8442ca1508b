// The record read-out: ReadOff's checks on the GUI side and the read-out sequence on its own
// worker, which holds the meter link from the accepted request until the sequence has ended.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>

#include "app/app_state.h"
#include "app/reporter.h"
#include "app/worker.h"
#include "meter/meter_link.h"

namespace vireo {

class ReadOutControl {
 public:
  ReadOutControl(MeterLink& link, AppState& state, Reporter& reporter);
  ~ReadOutControl();

  // ReadOff: refused with TXT_BUSY while the live stream, an upgrade or another read-out holds
  // the link; without a meter a red TXT_ERR_NO_DEVICE; when the last identification failed,
  // the meter is identified again and a new failure reported; with firmware not above 1.4 the
  // firmware-too-old notice (once). Otherwise the read-out runs on the worker; true then.
  bool Request();
  bool IsRunning() const { return worker_.IsRunning(); }
  // Asks a running read-out to end after the exchange in hand, writing no file. Only stores a
  // flag, so a signal handler may call it.
  void RequestStop() { stop_.store(true); }
  // Waits for a running read-out to end, then ends the worker. Idempotent.
  void Shutdown();
  // Where the read-out takes the local time that names its file; set before a request.
  void SetClock(std::function<std::tm()> clock) { clock_ = std::move(clock); }

 private:
  // The read-out sequence, on the worker, with the link held.
  void Sequence();
  // Steps with the link open: settings, counters, records, the file. True once it is saved.
  bool ReadRecordsIntoFile();
  // True, having said so, when a stop was asked for.
  bool Stopped();

  MeterLink& link_;
  AppState& state_;
  Reporter& reporter_;
  std::function<std::tm()> clock_;
  std::atomic<bool> stop_{false};
  Worker worker_;
};

}  // namespace vireo
