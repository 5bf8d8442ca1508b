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
  int64_t silentAfterReports = -1;
  UnplugSchedule unplug;  // scripted unplug and replug
  // After the unplug fault took the device away, plug it in again after this many
  // milliseconds, the fault spent and the meter's memory kept (-1 = stay unplugged).
  int64_t replugAfterMs = -1;
  // The flash from 0x08003000, loaded at start when the file holds it and saved after every
  // unplug and at the end.
  std::filesystem::path flashFile;
  // The commands heard, the screen lines and the mode, saved with the flash.
  std::filesystem::path traceFile;
  // Write a valid firmware image to this file and exit, instead of serving.
  std::filesystem::path makeImage;
  uint32_t imagePayload = 51200;
  bool imageNoLogo = false;
  bool help = false;
  bool version = false;
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
