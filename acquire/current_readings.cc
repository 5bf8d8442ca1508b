#include "acquire/current_readings.h"

#include <cstring>

namespace vireo {

const char* StreamEndText(StreamEnd end) {
  switch (end) {
    case StreamEnd::kStopped:
      return "stopped";
    case StreamEnd::kMeterGone:
      return "meter gone";
    case StreamEnd::kMeterSilent:
      return "meter silent";
    case StreamEnd::kMeterRefused:
      return "meter refused";
  }
  return "?";
}

void CurrentReadings::Store(const ReadingsRecord& record) {
  float values[ReadingsRecord::kFieldCount];
  std::memcpy(values, &record, sizeof values);
  for (int i = 0; i < ReadingsRecord::kFieldCount; ++i)
    fields_[i].store(values[i], std::memory_order_relaxed);
}

ReadingsRecord CurrentReadings::Load() const {
  float values[ReadingsRecord::kFieldCount];
  for (int i = 0; i < ReadingsRecord::kFieldCount; ++i)
    values[i] = fields_[i].load(std::memory_order_relaxed);
  ReadingsRecord record;
  std::memcpy(&record, values, sizeof values);
  return record;
}

}  // namespace vireo
