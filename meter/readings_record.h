// One set of live readings: the 44 data bytes of a live-data frame, eleven little-endian floats.
#pragma once

#include <cstdint>
#include <cstring>

namespace vireo {

struct ReadingsRecord {
  float voltage = 0;       // V
  float current = 0;       // A, signed
  float spare1 = 0;        // carried, not used
  float spare2 = 0;        // carried, not used
  float power = 0;         // W
  float dPlus = 0;         // V
  float dMinus = 0;        // V
  float tempInternal = 0;  // degrees Celsius
  float tempExternal = 0;  // degrees Celsius; below -50 means no probe
  float voltageFast = 0;   // V
  float currentFast = 0;   // A

  static constexpr int kFieldCount = 11;
  static constexpr int kSize = 44;

  // Decodes the 44 little-endian bytes of a frame (this target is little-endian).
  static ReadingsRecord FromBytes(const uint8_t* bytes) {
    ReadingsRecord record;
    std::memcpy(&record, bytes, kSize);
    return record;
  }
  void ToBytes(uint8_t* bytes) const { std::memcpy(bytes, this, kSize); }
};
static_assert(sizeof(ReadingsRecord) == ReadingsRecord::kSize);

// An external temperature below -50 degrees is the meter saying that no probe is fitted;
// -50 itself is a reading.
inline constexpr float kNoProbeBelow = -50;
inline bool IsExternalReading(float celsius) {
  return celsius >= kNoProbeBelow;
}

}  // namespace vireo
