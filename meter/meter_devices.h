// The meters attached now, found by a scan without opening any, so the CLI can list them and a
// MeterLink can be bound to one of them.
#pragma once

#include <cstdint>
#include <mutex>
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
// scan's table is one for the process, so a DeviceScan holds a process-wide lock: the streams
// of several meters reconnect on threads of their own while another thread looks for meters.
class DeviceScan {
 public:
  DeviceScan() : lock_(Mutex()) {
    uint32_t count = 0;
    QelHidScanDevices(&count);
  }
  ~DeviceScan() { QelHidFreeDevicesInfo(); }
  DeviceScan(const DeviceScan&) = delete;
  DeviceScan& operator=(const DeviceScan&) = delete;
  const HidDeviceInfo* first() const { return QelHidGetDevices(); }
  // Held by every scan of the program; a caller outside DeviceScan that scans takes it too.
  static std::mutex& Mutex();

 private:
  std::lock_guard<std::mutex> lock_;
};

}  // namespace vireo
