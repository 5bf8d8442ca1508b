// Test support: meter frames made byte by byte, apart from meter/frame.cc, so that a slip there
// shows: FF 55, six tick bytes, the code, the data's length, the data, zeros, then byte 62 = the
// sum of bytes 8..61 and byte 63 = the sum of bytes 0..61.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <span>
#include <vector>

namespace vireo::testing {

using FrameBytes = std::array<uint8_t, 64>;

// The frame with bytes 62 and 63 computed afresh from the others.
inline FrameBytes WithChecksums(FrameBytes f) {
  unsigned data = 0, all = 0;
  for (int i = 0; i < 62; ++i) {
    all += f[i];
    data += i >= 8 ? f[i] : 0;
  }
  f[62] = static_cast<uint8_t>(data);
  f[63] = static_cast<uint8_t>(all);
  return f;
}

// A valid frame as the meter sends it, with at most 52 data bytes. The tick bytes are not
// zero, so a data checksum that takes them in shows.
inline FrameBytes MeterFrame(uint8_t code, std::span<const uint8_t> data = {}) {
  assert(data.size() <= 52);
  FrameBytes f{};
  f[0] = 0xFF;
  f[1] = 0x55;
  for (int i = 2; i < 8; ++i)
    f[i] = static_cast<uint8_t>(0x30 + i);
  f[8] = code;
  f[9] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), f.begin() + 10);
  return WithChecksums(f);
}

// The frame as the virtual device sends it: input report ID 0, then the 64 bytes.
inline std::vector<uint8_t> AsInputReport(const FrameBytes& f) {
  // Filled in place: growing a 1-byte vector by insert draws a false -Warray-bounds from GCC 12.
  std::vector<uint8_t> report(1 + f.size(), 0);
  std::copy(f.begin(), f.end(), report.begin() + 1);
  return report;
}

}  // namespace vireo::testing
