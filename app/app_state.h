// AppState: the process-wide values of the program in one object that the application creates
// and hands on. What two threads touch is atomic.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "meter/readings_record.h"
#include "text/text_table.h"

namespace vireo {

// Identity of the attached meter: six serial characters and the firmware version byte.
struct DeviceInfo {
  std::array<char, 6> serial{};
  uint8_t version = 0;
};

// The current readings, written by the live-poll worker, read by the pages' timers. Each field
// is atomic; a reader may see fields of two successive frames.
class LiveReadings {
 public:
  void Store(const ReadingsRecord& record);
  ReadingsRecord Load() const;
  void Clear() { Store(ReadingsRecord{}); }

 private:
  std::array<std::atomic<float>, ReadingsRecord::kFieldCount> fields_{};
};

struct AppState {
  TextTable texts;
  std::string ProgramFolder;  // ends with "/"
  std::atomic<int> LiveRunning{0};
  LiveReadings readings;
  // Written by the identification, which never runs beside a reader on another thread.
  DeviceInfo deviceInfo;
  std::string FirmwarePath;
  std::string RecordFilePath;
  std::array<uint8_t, 4096> LogoPatch{};
  std::atomic<int> LogoPatchEnabled{0};
};

}  // namespace vireo
