// The emulated meter of `vireometer --demo`: served on a private virtual device folder, which
// hidlink lists after the system's devices, so that a real meter is still found first.
#pragma once

#include <QTemporaryDir>
#include <memory>

#include "sim/meter_emulator.h"

namespace vireo {

class DemoMeter {
 public:
  // Creates the folder, points HIDLINK_VIRTUAL_DIR at it and plugs the meter. Construct it
  // before anything scans for devices.
  DemoMeter();
  ~DemoMeter();

  bool IsPlugged() const { return meter_ && meter_->IsPlugged(); }

 private:
  QTemporaryDir folder_;
  std::unique_ptr<sim::VirtualMeter> meter_;
};

}  // namespace vireo
