// AlarmRule: one alarm in its text form, the same on the command line, in a file and in the
// desktop program's dialog:
//
//   NAME: QUANTITY OP VALUE [for DURATION] [clear OP VALUE]
//   NAME: meter lost for DURATION
//
// QUANTITY is one of the names that `vireometer-cli stream` prints, OP one of > >= < <=, a
// VALUE may carry its unit (5.25V, 50mA, 45C), a DURATION its unit (250ms, 0.5s, 2min, 1h;
// seconds without one). Parsing is a pure function from text to a rule or a sentence that names
// the rule and the column.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "meter/readings_record.h"

namespace vireo::alarms {

enum class Unit { kVolt, kAmpere, kWatt, kCelsius };

struct AlarmQuantity {
  std::string_view name;  // as `stream` prints it
  Unit unit;
  float ReadingsRecord::*field;
};

inline constexpr std::array<AlarmQuantity, 9> kAlarmQuantities = {{
    {"voltage", Unit::kVolt, &ReadingsRecord::voltage},
    {"current", Unit::kAmpere, &ReadingsRecord::current},
    {"power", Unit::kWatt, &ReadingsRecord::power},
    {"dplus", Unit::kVolt, &ReadingsRecord::dPlus},
    {"dminus", Unit::kVolt, &ReadingsRecord::dMinus},
    {"temp_internal", Unit::kCelsius, &ReadingsRecord::tempInternal},
    {"temp_external", Unit::kCelsius, &ReadingsRecord::tempExternal},
    {"voltage_fast", Unit::kVolt, &ReadingsRecord::voltageFast},
    {"current_fast", Unit::kAmpere, &ReadingsRecord::currentFast},
}};

// The quantity of a "meter lost" rule, as events name it; its value is seconds without frames.
inline constexpr std::string_view kMeterLostQuantity = "meter_lost";

// "V", "A", "W", "C".
std::string_view UnitSymbol(Unit unit);

// The quantity's value in a frame; none when the frame has none (not a finite number, or no
// external probe).
std::optional<double> QuantityValue(const AlarmQuantity& quantity, const ReadingsRecord& readings);

enum class Compare { kAbove, kAtLeast, kBelow, kAtMost };  // > >= < <=

struct Condition {
  Compare op = Compare::kAbove;
  double level = 0;  // in the quantity's unit: V, A, W, degrees Celsius

  bool Holds(double value) const;
  bool LooksDown() const { return op == Compare::kBelow || op == Compare::kAtMost; }
  bool operator==(const Condition&) const = default;
};

struct AlarmRule {
  std::string name;
  bool meterLost = false;  // "meter lost for D": no frame for D
  size_t quantity = 0;     // index into kAlarmQuantities
  Condition raise;
  // Without one the rule clears as soon as the raise condition no longer holds.
  std::optional<Condition> clear;
  int64_t forNs = 0;

  // The clear condition: the given one, or the raise condition's opposite.
  bool ClearHolds(double value) const;
  // A rule that looks for a fall ("done: current < 0.05") is raised only after its value has
  // been at the clear level first, so a meter that starts idle does not raise it.
  bool WaitsForRise() const { return !meterLost && raise.LooksDown(); }
  // The quantity's name as events carry it.
  std::string_view QuantityName() const;
  // The rule in its text form, which parses back to an equal rule.
  std::string Text() const;
  bool operator==(const AlarmRule&) const = default;
};

// A rule, or why the text is none: the sentence names the rule (by its name, or by its text
// when the name cannot be read) and the column (from 1, in characters).
struct RuleParse {
  std::optional<AlarmRule> rule;
  int column = 0;
  std::string error;
};

inline constexpr size_t kMaxNameLength = 64;
inline constexpr double kMaxDurationSeconds = 7 * 24 * 3600.0;

RuleParse ParseAlarmRule(std::string_view text);

// The rules of --alarm texts and --alarms files, or every error found, one sentence each,
// each starting with where it is ("--alarm", "FILE:LINE").
struct RuleSet {
  std::vector<AlarmRule> rules;
  std::vector<std::string> errors;

  // Adds a rule text from `where`; a line of a file may be empty or a # comment.
  void Add(std::string_view text, const std::string& where, bool commentsAllowed = false);
  // Adds each line of a file's text; `file` names it in the errors.
  void AddFile(std::string_view text, const std::string& file);
  // Reads and adds a file; a file that cannot be read is an error that names it.
  void Load(const std::string& path);
};

}  // namespace vireo::alarms
