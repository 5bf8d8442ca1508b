#include "app/app_state.h"

#include <cstring>

namespace vireo {

// Bytes 0..5 the serial, byte 6 the version, byte 7 the identified flag.
void SharedDeviceInfo::Store(const DeviceInfo& info) noexcept {
  uint8_t bytes[8];
  std::memcpy(bytes, info.serial.data(), 6);
  bytes[6] = info.version;
  bytes[7] = info.identified ? 1 : 0;
  uint64_t packed;
  std::memcpy(&packed, bytes, sizeof packed);
  packed_.store(packed, std::memory_order_release);
}

DeviceInfo SharedDeviceInfo::Load() const noexcept {
  const uint64_t packed = packed_.load(std::memory_order_acquire);
  uint8_t bytes[8];
  std::memcpy(bytes, &packed, sizeof bytes);
  DeviceInfo info;
  std::memcpy(info.serial.data(), bytes, 6);
  info.version = bytes[6];
  info.identified = bytes[7] != 0;
  return info;
}

}  // namespace vireo
