// The nine quantities that the recorder keeps of each live frame, in the order and under the
// names that `vireometer-cli stream` prints them.
#pragma once

#include <array>
#include <cstddef>
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

inline Quantities QuantitiesOf(const ReadingsRecord& r) {
  return {r.voltage,      r.current,      r.power,       r.dPlus,      r.dMinus,
          r.tempInternal, r.tempExternal, r.voltageFast, r.currentFast};
}

inline constexpr size_t kCurrentIndex = 1;

}  // namespace vireo::record
