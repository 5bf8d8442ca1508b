// Command line of vireometer-sim, parsed into what the program serves.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sim/meter_emulator.h"
#include "sim/unplug_schedule.h"

namespace vireo::sim {

// What the program serves, as the command line asked for it.
struct SimSettings {
  std::filesystem::path dir;
  std::string name = "meter";
  EmulatorOptions options;
  // Fault switches to set before the device is plugged.
  bool silent = false;
  uint32_t badChecksumEvery = 0;
  bool wrongReplyCode = false;
  uint32_t reportDelayUs = 0;
  bool refuseOpens = false;
  int64_t unplugAfterReports = -1;
  UnplugSchedule unplug;  // scripted unplug and replug
  bool help = false;
};

struct SimArgsResult {
  std::optional<SimSettings> settings;  // empty on a usage error
  std::string error;
};

// Parses the arguments after the program name. virtualDir is $HIDLINK_VIRTUAL_DIR (or null),
// the folder used when --dir is not given.
SimArgsResult ParseSimArgs(const std::vector<std::string>& args, const char* virtualDir);

std::string SimUsage();

// Sets the fault switches that the settings ask for.
void ApplyFaults(const SimSettings& settings, Faults& faults);

}  // namespace vireo::sim
