// The meter's record memory as the read-out reads it: a settings block that holds RecordHours,
// two record counters, and up to 352 records of 5 bytes from address 256, read ten records to
// an exchange. Pure functions of numbers and bytes; the read-out sequence
// (app/read_out_control.h) runs them over the link.
#pragma once

#include <cstdint>
#include <span>

namespace vireo {

// The memory holds at most this many records; a full memory spans RecordHours hours.
inline constexpr uint32_t kRecordCapacity = 352;
// One record: u16 millivolts, s16 milliamperes, s8 whole degrees, little-endian. A record
// file holds them as the memory does.
inline constexpr uint32_t kRecordBytes = 5;

// The settings block; RecordHours is its byte at offset 10 (address 78).
inline constexpr uint32_t kSettingsAddress = 68;
inline constexpr uint32_t kSettingsSize = 43;
inline constexpr uint32_t kRecordHoursOffset = 10;
// The two record counters, a little-endian u32 each.
inline constexpr uint32_t kCountersAddress = 2016;
inline constexpr uint32_t kCountersSize = 8;
// The first record.
inline constexpr uint32_t kRecordsAddress = 256;
// Records per exchange: 50 bytes, one reply frame.
inline constexpr uint32_t kRecordsPerExchange = 10;

// The records to read for the two counters: the smaller one, at most the capacity, so that
// counters above it read the whole memory.
uint32_t RecordCount(uint32_t counterA, uint32_t counterB);
// The same from the counters' bytes as read.
uint32_t RecordCount(std::span<const uint8_t, kCountersSize> counters);

// RecordHours from the settings block as read.
uint8_t SettingsRecordHours(std::span<const uint8_t, kSettingsSize> settings);

// One read of records: `count` records from record `first`, that is `bytes` bytes at `address`.
struct RecordRead {
  uint32_t first = 0;
  uint32_t count = 0;
  uint32_t address = 0;
  uint32_t bytes = 0;
};

// The read after the first `done` of `total` records: the next ones, at most
// kRecordsPerExchange. No records (count 0) once done has reached total.
RecordRead NextRecordRead(uint32_t done, uint32_t total);

}  // namespace vireo
