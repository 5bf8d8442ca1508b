// UTC times as ISO 8601 text, to the microsecond, and back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vireo {

// "2024-05-01T12:00:00.123456Z" for microseconds since 1970.
std::string FormatUtc(int64_t unixUs);

// Parses "YYYY-MM-DDTHH:MM:SS[.ffffff](Z|+hh:mm|-hh:mm)" (a space may stand for the T); none
// if the text is not such a time.
std::optional<int64_t> ParseUtc(const std::string& text);

}  // namespace vireo
