// RecordFile and RecordSet: the ".vat" record file as bytes and decoded. A file is the mark
// 0x05, the RecordHours byte, then 5-byte records as the meter's record memory holds them
// (meter/record_memory.h: u16 millivolts, s16 milliamperes, s8 whole degrees, little-endian);
// up to 4 trailing bytes are ignored. Encoding and decoding are functions of bytes; decoding
// gives a set or the reason the file is refused; reading a file only moves its bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "meter/record_memory.h"

namespace vireo {

struct RecordPoint {
  float voltage = 0;      // V
  float current = 0;      // A, signed
  float temperature = 0;  // degrees Celsius, whole degrees
};

struct RecordSet {
  uint8_t RecordHours = 0;  // a full memory (kRecordCapacity records) spans this many hours
  uint32_t count = 0;
  std::vector<RecordPoint> points;  // count points in file order
};

enum class RecordFileError {
  kNone,
  kTooShort,        // shorter than the 2 header bytes
  kBadMark,         // byte 0 is not 5
  kNoRecordHours,   // byte 1 is 0
  kUnreadable,      // cannot be opened or read
  kNotRegularFile,  // a folder, FIFO, device or socket
  kTooLarge,        // above kMaxRecordFileBytes
};

// Why a file was refused, in words for a terminal or a log.
std::string_view RecordFileErrorText(RecordFileError error);

inline constexpr uint8_t kRecordFileMark = 0x05;
inline constexpr size_t kRecordHeaderBytes = 2;
// A file larger than this is refused before it is read (the meter writes at most 1762 bytes).
inline constexpr uint64_t kMaxRecordFileBytes = 16u << 20;

struct RecordFileResult {
  RecordSet set;  // empty unless error is kNone
  RecordFileError error = RecordFileError::kNone;
  std::string detail;  // the system's words for kUnreadable
  bool ok() const { return error == RecordFileError::kNone; }
};

// The bytes of a record file: the mark, RecordHours, then the records' bytes as read.
std::vector<uint8_t> EncodeRecordFile(uint8_t recordHours, std::span<const uint8_t> records);

// Decodes the bytes of a record file.
RecordFileResult DecodeRecordFile(std::span<const uint8_t> bytes);

// Reads and decodes the file at `path`. Refuses what is not a regular file (without waiting
// for a FIFO's writer) and files above kMaxRecordFileBytes.
RecordFileResult ReadRecordFile(const std::string& path);

// The time of record `index` from the start of the set, in seconds:
// index × RecordHours × 3600 ÷ kRecordCapacity.
double RecordSeconds(uint32_t index, uint8_t recordHours);

// One row of a record set or of the live samples, as the CLI prints it and the chart exports
// it: CSV with the header "index,seconds,voltage,current,temperature".
struct ChartRow {
  uint64_t index = 0;
  double seconds = 0;
  float voltage = 0;
  float current = 0;
  float temperature = 0;
};

inline constexpr const char* kRowHeader = "index,seconds,voltage,current,temperature\n";

// The row of record `index` of a set.
ChartRow RecordRow(const RecordSet& set, uint32_t index);

// A record's values at the resolution the file stores them: seconds and the quantities to
// three decimals (ms, mV, mA), temperatures whole.
double RoundedTo(double value, int decimals);

// One CSV row with its line break. Record rows (`recorded`) print at the file's resolution,
// live samples with a float's precision; a value that is not finite leaves its field empty.
std::string RowCsv(const ChartRow& row, bool recorded);

// All rows of a set, with the header.
std::string RecordRowsCsv(const RecordSet& set);

// The held live samples (oldest first, equally many of each) with their times from the oldest
// at the sample period, with the header.
std::string SampleRowsCsv(std::span<const float> voltage, std::span<const float> current,
                          std::span<const float> temperature, uint32_t samplePeriodMs);

}  // namespace vireo
