// What the read-out needs around the meter: the name of the record file, and writing a file so
// that it appears whole, under a name of its own, or not at all. The meter's record memory is
// meter/record_memory.h.
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

// Writes `bytes` to a new file at `path`, or, when that name is taken, at the first free one of
// NAME_2.EXT, NAME_3.EXT, ...: through a temporary file in the same folder that is flushed and
// then linked under the new name, which never replaces a file. A failure leaves no partial file
// and every existing file as it was. The result is the path written; the error names the cause
// in a sentence ("permission denied on dat").
Result<std::string> WriteNewFile(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace vireo
