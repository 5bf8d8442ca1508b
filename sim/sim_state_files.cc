#include "sim/sim_state_files.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace vireo::sim {

namespace {

namespace fs = std::filesystem;

bool WriteReplacing(const fs::path& path, const std::string& bytes) {
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
      return false;
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  return !error;
}

}  // namespace

bool LoadFlashFile(const fs::path& path, MeterEmulator& meter) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (bytes.size() != MeterEmulator::kFlashSize)
    return false;
  meter.flash() = std::move(bytes);
  return true;
}

bool SaveStateFiles(const SimSettings& settings, MeterEmulator& meter) {
  bool ok = true;
  if (!settings.flashFile.empty()) {
    const std::vector<uint8_t>& flash = meter.flash();
    ok = WriteReplacing(settings.flashFile, std::string(flash.begin(), flash.end())) && ok;
  }
  if (!settings.traceFile.empty()) {
    std::string trace;
    char line[64];
    for (const MeterEmulator::Command& c : meter.history()) {
      std::snprintf(line, sizeof line, "command %u %u\n", c.code, c.argument);
      trace += line;
    }
    const auto& screen = meter.screenLines();
    for (size_t i = 0; i < screen.size(); ++i) {
      if (!screen[i].empty())
        trace += "screen " + std::to_string(i) + " " + screen[i] + "\n";
    }
    trace += meter.upgradeMode() ? "mode upgrade\n" : "mode normal\n";
    ok = WriteReplacing(settings.traceFile, trace) && ok;
  }
  return ok;
}

}  // namespace vireo::sim
