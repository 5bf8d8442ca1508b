#include "meter/record_memory.h"

#include <algorithm>

namespace vireo {

uint32_t RecordCount(uint32_t counterA, uint32_t counterB) {
  return std::min({counterA, counterB, kRecordCapacity});
}

uint32_t RecordCount(std::span<const uint8_t, kCountersSize> counters) {
  const auto u32 = [](const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  };
  return RecordCount(u32(counters.data()), u32(counters.data() + 4));
}

uint8_t SettingsRecordHours(std::span<const uint8_t, kSettingsSize> settings) {
  return settings[kRecordHoursOffset];
}

RecordRead NextRecordRead(uint32_t done, uint32_t total) {
  RecordRead read;
  read.first = done;
  read.count = done < total ? std::min(kRecordsPerExchange, total - done) : 0;
  read.address = kRecordsAddress + kRecordBytes * done;
  read.bytes = kRecordBytes * read.count;
  return read;
}

}  // namespace vireo
