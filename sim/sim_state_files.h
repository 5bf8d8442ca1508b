// What vireometer-sim keeps on disk for inspection: the emulated flash, and a trace of the
// commands heard with the screen lines and the mode.
#pragma once

#include <filesystem>

#include "sim/meter_emulator.h"
#include "sim/sim_args.h"

namespace vireo::sim {

// Replaces the emulator's flash by the file's bytes when the file holds exactly a flash;
// false (nothing changed) otherwise.
bool LoadFlashFile(const std::filesystem::path& path, MeterEmulator& meter);

// Writes the flash and trace files the settings name, each through a temporary file renamed
// into place, so a reader never sees half of one. False when one could not be written.
bool SaveStateFiles(const SimSettings& settings, MeterEmulator& meter);

}  // namespace vireo::sim
