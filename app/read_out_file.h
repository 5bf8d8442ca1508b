// What the read-out needs around the meter: the name of the record file, and writing a file so
// that it appears whole or not at all. The meter's record memory is meter/record_memory.h.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>

#include "base/result.h"

namespace vireo {

// ProgramFolder + "dat/" + YYYYMMDD_HHMMSS.vat of the local time.
std::string RecordFileName(const std::string& programFolder, const std::tm& localTime);

// The local time now.
std::tm LocalTimeNow();

// Writes `bytes` to `path` through a temporary file in the same folder that is flushed and
// then renamed over `path`: a failure leaves no partial file and an existing file as it was.
// The error names the cause in a sentence ("permission denied on dat").
Result<void> WriteFileAtomically(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace vireo
