#include "app/app_state.h"

#include <cstring>

namespace vireo {

void LiveReadings::Store(const ReadingsRecord& record) {
  float values[ReadingsRecord::kFieldCount];
  std::memcpy(values, &record, sizeof values);
  for (int i = 0; i < ReadingsRecord::kFieldCount; ++i) {
    fields_[i].store(values[i], std::memory_order_relaxed);
  }
}

ReadingsRecord LiveReadings::Load() const {
  float values[ReadingsRecord::kFieldCount];
  for (int i = 0; i < ReadingsRecord::kFieldCount; ++i) {
    values[i] = fields_[i].load(std::memory_order_relaxed);
  }
  ReadingsRecord record;
  std::memcpy(&record, values, sizeof values);
  return record;
}

}  // namespace vireo
