// The alarm rule parser from bytes, one rule and as a file of rules. A rule that parses is
// written back to a text that parses to the same rule; an error points at a column within the
// text and names the rule.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "alarms/alarm_rule.h"

namespace {

void Check(bool condition) {
  if (!condition)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vireo::alarms;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const RuleParse parsed = ParseAlarmRule(text);
  if (parsed.rule) {
    Check(parsed.error.empty());
    const RuleParse again = ParseAlarmRule(parsed.rule->Text());
    Check(again.rule && *again.rule == *parsed.rule);
  } else {
    Check(parsed.column >= 1 && static_cast<size_t>(parsed.column) <= size + 1);
    Check(parsed.error.starts_with("alarm '"));
  }
  RuleSet set;
  set.AddFile(text, "f");
  for (const AlarmRule& rule : set.rules)
    Check(ParseAlarmRule(rule.Text()).rule == rule);
  return 0;
}
