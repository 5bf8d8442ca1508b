// What the read-out needs around the meter: the record count its counters allow, the name of
// the record file, and writing a file so that it appears whole or not at all.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>

namespace vireo {

// The record memory holds 352 records of 5 bytes.
inline constexpr uint32_t kRecordCapacity = 352;

// The records to read for the two counters: the smaller one, at most the capacity, so that
// counters above it read the whole memory.
uint32_t RecordCount(uint32_t counterA, uint32_t counterB);

// ProgramFolder + "dat/" + YYYYMMDD_HHMMSS.vat of the local time.
std::string RecordFileName(const std::string& programFolder, const std::tm& localTime);

// The local time now.
std::tm LocalTimeNow();

// Writes `bytes` to `path` through a temporary file in the same folder that is flushed and
// then renamed over `path`: a failure leaves no partial file and an existing file as it was.
// Returns an empty string on success, else the system's reason.
std::string WriteFileAtomically(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace vireo
