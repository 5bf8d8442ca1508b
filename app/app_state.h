// AppState: the process-wide values of the program in one object that the application creates
// and hands on. What two threads touch is atomic.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "acquire/current_readings.h"
#include "app/link_owner.h"
#include "app/sample_store.h"
#include "meter/readings_record.h"
#include "text/text_table.h"

namespace vireo {

// Identity of the attached meter: six serial characters and the firmware version byte, and
// whether the last identification read them (a failed one leaves the old values standing).
struct DeviceInfo {
  std::array<char, 6> serial{};
  uint8_t version = 0;
  bool identified = false;
};

// DeviceInfo as two threads share it: stored and loaded whole, so a reader never sees half of
// an identification.
class SharedDeviceInfo {
 public:
  void Store(const DeviceInfo& info) noexcept;
  DeviceInfo Load() const noexcept;

 private:
  std::atomic<uint64_t> packed_{0};
};

struct AppState {
  TextTable texts;
  std::string ProgramFolder;  // ends with "/"
  // Who uses the meter link now; LiveRunning keeps its own meaning beside it.
  LinkOwner linkOwner;
  std::atomic<int> LiveRunning{0};
  CurrentReadings readings;  // a subscriber of the live stream
  SharedDeviceInfo deviceInfo;
  // The chart's sample stores; the GUI thread alone uses them.
  SampleStore VoltageStore;
  SampleStore CurrentStore;
  SampleStore TemperatureStore;
};

}  // namespace vireo
