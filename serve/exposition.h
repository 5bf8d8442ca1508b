// The metrics of the meters as Prometheus reads them: the text format 0.0.4 and OpenMetrics
// 1.0, chosen by the scraper's Accept header, and the same state as JSON for /api/v1/meters.
// Pure functions of snapshots.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "serve/meter_state.h"

namespace vireo::serve {

enum class MetricsFormat { kText004, kOpenMetrics };

// OpenMetrics 1.0 when the Accept header prefers it to the plain text format (Prometheus asks
// for it first); the text format 0.0.4 otherwise, and for a missing or unreadable header.
MetricsFormat ChooseMetricsFormat(std::string_view accept);
const char* ContentType(MetricsFormat format);

// Every meter's series, and vireometer_build_info once. Readings only while a meter is
// connected, so Prometheus marks them stale while it is not; the external temperature only
// while a probe reads.
std::string WriteMetrics(const std::vector<MeterSnapshot>& meters, std::string_view version,
                         MetricsFormat format);

// {"version": ..., "meters": [{"serial", "firmware", "state", "readings", ...}, ...]}
std::string MetersJson(const std::vector<MeterSnapshot>& meters, std::string_view version);

// A reading as JSON shows it: the shortest decimal that reads back as the same float (5.1, not
// 5.099999904632568); null when it is not a number.
nlohmann::json JsonNumber(float value);

}  // namespace vireo::serve
