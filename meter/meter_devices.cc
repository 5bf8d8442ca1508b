#include "meter/meter_devices.h"

#include "meter/meter_link.h"

namespace vireo {

std::vector<MeterDevice> ListMeters() {
  std::vector<MeterDevice> meters;
  DeviceScan scan;
  for (const HidDeviceInfo* d = scan.first(); d; d = d->Next) {
    if (d->VendorID == kMeterVendorId && d->ProductID == kMeterProductId)
      meters.push_back({d->DevicePath, d->VersionNumber});
  }
  return meters;
}

}  // namespace vireo
