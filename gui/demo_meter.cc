#include "gui/demo_meter.h"

namespace vireo {
namespace {

constexpr uint32_t kFrameIntervalUs = 10000;  // 100 frames a second

}  // namespace

DemoMeter::DemoMeter() {
  if (!folder_.isValid()) {
    return;
  }
  qputenv("HIDLINK_VIRTUAL_DIR", folder_.path().toLocal8Bit());
  sim::EmulatorOptions options;
  options.frameIntervalUs = kFrameIntervalUs;
  meter_ = std::make_unique<sim::VirtualMeter>(folder_.path().toStdString(), options, "demo");
  meter_->Plug();
}

DemoMeter::~DemoMeter() {
  // Unplugged before the folder it lives in is removed.
  meter_.reset();
}

}  // namespace vireo
