// The meters attached now, found by a scan without opening any, so the CLI can list them and a
// MeterLink can be bound to one of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hidlink/hidlink.h"

namespace vireo {

// One attached meter: the path a MeterLink binds to, and the device's version number.
struct MeterDevice {
  std::string path;
  uint16_t versionNumber = 0;
  bool operator==(const MeterDevice&) const = default;
};

// The meters (the meter's vendor and product) that a fresh scan lists, in its order.
std::vector<MeterDevice> ListMeters();

// Walks the devices of a fresh scan; the records are freed when this goes out of scope. The
// scan's table is one for the process, so only one thread may hold a DeviceScan at a time.
class DeviceScan {
 public:
  DeviceScan() {
    uint32_t count = 0;
    QelHidScanDevices(&count);
  }
  ~DeviceScan() { QelHidFreeDevicesInfo(); }
  DeviceScan(const DeviceScan&) = delete;
  DeviceScan& operator=(const DeviceScan&) = delete;
  const HidDeviceInfo* first() const { return QelHidGetDevices(); }
};

}  // namespace vireo
