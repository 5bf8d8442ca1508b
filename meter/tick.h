// A 32-bit millisecond tick from the monotonic clock; it wraps after about 49.7 days.
#pragma once

#include <chrono>
#include <cstdint>

namespace vireo {

inline uint32_t GetTickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace vireo
