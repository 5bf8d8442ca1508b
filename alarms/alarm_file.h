// The desktop program's alarms file, $XDG_CONFIG_HOME/vireometer/alarms.conf: the same format as
// the command line's --alarms (one rule a line, # comments), so one file serves both. A rule
// switched off in the desktop program stays in the file as the comment "# disabled: RULE",
// which the command line skips. Pure functions from text to entries and back, and the path.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vireo::alarms {

struct AlarmFileEntry {
  std::string text;  // the rule as written, checked or not
  bool enabled = true;
  bool operator==(const AlarmFileEntry&) const = default;
};

inline constexpr std::string_view kDisabledPrefix = "# disabled: ";

// The rules of a file's text, enabled and disabled, in their order; blank lines and other
// comments are left out.
std::vector<AlarmFileEntry> ParseAlarmFile(std::string_view content);
// The file's text for the entries: a comment saying what the file is, then one line each.
std::string AlarmFileText(const std::vector<AlarmFileEntry>& entries);
// $XDG_CONFIG_HOME/vireometer/alarms.conf; ~/.config when XDG_CONFIG_HOME is unset or not an
// absolute path.
std::string AlarmFilePath();

}  // namespace vireo::alarms
