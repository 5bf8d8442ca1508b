#include "alarms/alarm_file.h"

#include <cstdlib>

namespace vireo::alarms {
namespace {

std::string_view Trimmed(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos)
    return {};
  const size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

std::vector<AlarmFileEntry> ParseAlarmFile(std::string_view content) {
  std::vector<AlarmFileEntry> entries;
  const std::string_view disabledMark = Trimmed(kDisabledPrefix);
  while (!content.empty()) {
    const size_t end = content.find('\n');
    const std::string_view line = Trimmed(content.substr(0, end));
    content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
    if (line.starts_with(disabledMark)) {
      const std::string_view rule = Trimmed(line.substr(disabledMark.size()));
      if (!rule.empty())
        entries.push_back({std::string(rule), false});
    } else if (!line.empty() && line.front() != '#') {
      // What the command line reads of the line: up to a #.
      entries.push_back({std::string(Trimmed(line.substr(0, line.find('#')))), true});
    }
  }
  return entries;
}

std::string AlarmFileText(const std::vector<AlarmFileEntry>& entries) {
  std::string text =
      "# VireoMeter alarms, one a line: NAME: QUANTITY OP VALUE [for DURATION] [clear OP VALUE]\n"
      "# or NAME: meter lost for DURATION. Also read by vireometer-cli --alarms FILE.\n";
  for (const AlarmFileEntry& entry : entries) {
    if (!entry.enabled)
      text.append(kDisabledPrefix);
    text.append(entry.text).append("\n");
  }
  return text;
}

std::string AlarmFilePath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string folder;
  if (config != nullptr && config[0] == '/') {
    folder = config;
  } else {
    const char* home = std::getenv("HOME");
    folder = std::string(home != nullptr ? home : "") + "/.config";
  }
  return folder + "/vireometer/alarms.conf";
}

}  // namespace vireo::alarms
