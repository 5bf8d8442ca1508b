// The nine quantities that the recorder keeps of each live frame, in the order and under the
// names that `vireometer-cli stream` prints them.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <string_view>

#include "meter/readings_record.h"

namespace vireo::record {

inline constexpr size_t kQuantityCount = 9;

struct QuantityInfo {
  std::string_view name;    // as `stream` prints it
  std::string_view column;  // the store's integer column
  double scale;             // column value = quantity x scale
};

inline constexpr std::array<QuantityInfo, kQuantityCount> kQuantities = {{
    {"voltage", "voltage_uv", 1e6},
    {"current", "current_ua", 1e6},
    {"power", "power_uw", 1e6},
    {"dplus", "dplus_uv", 1e6},
    {"dminus", "dminus_uv", 1e6},
    {"temp_internal", "temp_internal_mc", 1e3},
    {"temp_external", "temp_external_mc", 1e3},
    {"voltage_fast", "voltage_fast_uv", 1e6},
    {"current_fast", "current_fast_ua", 1e6},
}};

using Quantities = std::array<float, kQuantityCount>;

// The quantities of a frame; one the frame lacks (no probe) is NaN, like a value that is not a
// number, so that it is stored as NULL and kept out of the statistics.
inline Quantities QuantitiesOf(const ReadingsRecord& r) {
  const float external =
      IsExternalReading(r.tempExternal) ? r.tempExternal : std::numeric_limits<float>::quiet_NaN();
  return {r.voltage,      r.current, r.power,       r.dPlus,      r.dMinus,
          r.tempInternal, external,  r.voltageFast, r.currentFast};
}

inline constexpr size_t kCurrentIndex = 1;
inline constexpr size_t kTempExternalIndex = 6;

}  // namespace vireo::record
