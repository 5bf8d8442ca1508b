#include "alarms/alarm_rule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "base/posix.h"

namespace vireo::alarms {

namespace {

struct UnitName {
  std::string_view symbol;
  double divisor;  // value in the base unit = written value / divisor
};

struct UnitNames {
  Unit unit;
  std::array<UnitName, 2> names;
};

constexpr std::array<UnitNames, 4> kUnits = {{
    {Unit::kVolt, {{{"V", 1}, {"mV", 1000}}}},
    {Unit::kAmpere, {{{"A", 1}, {"mA", 1000}}}},
    {Unit::kWatt, {{{"W", 1}, {"mW", 1000}}}},
    {Unit::kCelsius, {{{"C", 1}, {"\u00B0C", 1}}}},
}};

constexpr std::array<UnitName, 4> kDurationUnits = {
    {{"ms", 1000}, {"s", 1}, {"min", 1.0 / 60}, {"h", 1.0 / 3600}}};

constexpr int64_t kNsPerSecond = 1'000'000'000;
// A file of rules is a few lines; anything far larger is not one.
constexpr size_t kMaxFileBytes = 1 << 20;

const UnitNames& NamesOf(Unit unit) {
  return kUnits[static_cast<size_t>(unit)];
}

std::string_view CompareText(Compare op) {
  switch (op) {
    case Compare::kAbove:
      return ">";
    case Compare::kAtLeast:
      return ">=";
    case Compare::kBelow:
      return "<";
    case Compare::kAtMost:
      return "<=";
  }
  return "?";
}

std::string NumberText(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool IsWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

struct Failure {
  size_t at;
  std::string message;
};

// Reads one rule from left to right; the first problem ends the reading.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  AlarmRule Read() {
    AlarmRule rule;
    SkipSpace();
    const size_t nameAt = at_;
    rule.name = std::string(Take(IsNameChar));
    if (rule.name.empty())
      throw Failure{nameAt, "a rule starts with its name and a colon (overvolt: voltage > 5.25)"};
    if (rule.name.size() > kMaxNameLength)
      throw Failure{nameAt, "a name has at most " + std::to_string(kMaxNameLength) + " characters"};
    name_ = rule.name;
    SkipSpace();
    if (!Skip(":"))
      throw Failure{at_, "a name is letters, digits, _ and -, followed by a colon"};
    SkipSpace();
    const size_t quantityAt = at_;
    const std::string_view word = Take(IsWordChar);
    if (word == "meter") {
      SkipSpace();
      if (Take(IsWordChar) != "lost")
        throw Failure{at_, "expected 'lost' after 'meter'"};
      rule.meterLost = true;
      SkipSpace();
      if (Word() != "for")
        throw Failure{at_, "'meter lost' needs 'for' and a duration (lost: meter lost for 5s)"};
    } else {
      size_t i = 0;
      while (i < kAlarmQuantities.size() && kAlarmQuantities[i].name != word)
        ++i;
      if (i == kAlarmQuantities.size()) {
        std::string names;
        for (const AlarmQuantity& q : kAlarmQuantities)
          names.append(q.name).append(", ");
        throw Failure{quantityAt, (word.empty() ? std::string("no quantity")
                                                : "unknown quantity '" + std::string(word) + "'") +
                                      " (" + names + "or meter lost)"};
      }
      rule.quantity = i;
      rule.raise = ReadCondition(kAlarmQuantities[i]);
    }
    SkipSpace();
    std::string expected = "'for', 'clear' or the end";
    if (Word() == "for") {
      Take(IsWordChar);
      SkipSpace();
      const size_t durationAt = at_;
      rule.forNs = ReadDuration();
      if (rule.meterLost && rule.forNs == 0)
        throw Failure{durationAt, "'meter lost' needs a duration above 0"};
      expected = "'clear' or the end";
      SkipSpace();
    }
    if (Word() == "clear") {
      if (rule.meterLost)
        throw Failure{at_, "'meter lost' clears at the next frame and takes no clear condition"};
      Take(IsWordChar);
      SkipSpace();
      const size_t clearAt = at_;
      rule.clear = ReadCondition(kAlarmQuantities[rule.quantity]);
      CheckClear(rule.raise, *rule.clear, clearAt);
      expected = "the end";
      SkipSpace();
    }
    if (at_ < text_.size()) {
      for (const UnitNames& names : kUnits) {
        for (const UnitName& unit : names.names) {
          const size_t end = at_ + unit.symbol.size();
          if (text_.substr(at_, unit.symbol.size()) == unit.symbol &&
              (end >= text_.size() || !IsWordChar(text_[end])))
            throw Failure{at_, "write the unit right after the number (5.25V)"};
        }
      }
      throw Failure{at_, "expected " + expected};
    }
    return rule;
  }

  const std::string& name() const { return name_; }

 private:
  template <typename Pred>
  std::string_view Take(Pred pred) {
    const size_t from = at_;
    while (at_ < text_.size() && pred(text_[at_]))
      ++at_;
    return text_.substr(from, at_ - from);
  }
  // The word at the current place, without taking it.
  std::string_view Word() const {
    size_t end = at_;
    while (end < text_.size() && IsWordChar(text_[end]))
      ++end;
    return text_.substr(at_, end - at_);
  }
  void SkipSpace() {
    Take([](char c) { return c == ' ' || c == '\t'; });
  }
  bool Skip(std::string_view what) {
    if (text_.substr(at_, what.size()) != what)
      return false;
    at_ += what.size();
    return true;
  }

  double ReadNumber() {
    const size_t from = at_;
    const char* begin = text_.data() + at_;
    const char* end = text_.data() + text_.size();
    // from_chars takes no '+' and would take "inf" and "nan".
    const char* digits = begin < end && *begin == '-' ? begin + 1 : begin;
    double value = 0;
    const auto result = digits < end && ((*digits >= '0' && *digits <= '9') || *digits == '.')
                            ? std::from_chars(begin, end, value)
                            : std::from_chars_result{begin, std::errc::invalid_argument};
    if (result.ec != std::errc() || !std::isfinite(value))
      throw Failure{from, "expected a number"};
    at_ += static_cast<size_t>(result.ptr - begin);
    return value;
  }

  // The unit written right after a number; `units` lists what fits.
  template <size_t N>
  double ReadUnit(const std::array<UnitName, N>& units, std::string_view what, bool required) {
    const size_t from = at_;
    const std::string_view symbol = Take([](char c) {
      return IsWordChar(c) || static_cast<unsigned char>(c) == 0xC2 ||
             static_cast<unsigned char>(c) == 0xB0;
    });
    if (symbol.empty() && !required)
      return 1;
    for (const UnitName& unit : units) {
      if (unit.symbol == symbol)
        return unit.divisor;
    }
    std::string fits;
    for (const UnitName& unit : units)
      fits.append(fits.empty() ? "" : ", ").append(unit.symbol);
    throw Failure{from, (symbol.empty() ? std::string("no unit")
                                        : "unit '" + std::string(symbol) + "' does not fit") +
                            " " + std::string(what) + " (" + fits + ")"};
  }

  Condition ReadCondition(const AlarmQuantity& quantity) {
    Condition c;
    SkipSpace();
    if (Skip(">="))
      c.op = Compare::kAtLeast;
    else if (Skip("<="))
      c.op = Compare::kAtMost;
    else if (Skip(">"))
      c.op = Compare::kAbove;
    else if (Skip("<"))
      c.op = Compare::kBelow;
    else
      throw Failure{at_, "expected a comparison: >, >=, < or <="};
    SkipSpace();
    const double number = ReadNumber();
    c.level = number / ReadUnit(NamesOf(quantity.unit).names, quantity.name, false);
    return c;
  }

  int64_t ReadDuration() {
    const size_t from = at_;
    const double number = ReadNumber();
    const double seconds = number / ReadUnit(kDurationUnits, "a duration", false);
    if (!(seconds >= 0) || seconds > kMaxDurationSeconds)
      throw Failure{from, "a duration lies between 0 and 7 days"};
    return std::llround(seconds * kNsPerSecond);
  }

  static void CheckClear(const Condition& raise, const Condition& clear, size_t at) {
    if (raise.LooksDown() == clear.LooksDown()) {
      throw Failure{at, std::string("the clear condition looks the other way (") +
                            (raise.LooksDown() ? "> or >=" : "< or <=") + ")"};
    }
    // A value that both raises and clears would make the alarm flap.
    const bool inclusive = (raise.op == Compare::kAtLeast || raise.op == Compare::kAtMost) &&
                           (clear.op == Compare::kAtLeast || clear.op == Compare::kAtMost);
    const double gap = raise.LooksDown() ? clear.level - raise.level : raise.level - clear.level;
    if (gap < 0 || (gap == 0 && inclusive))
      throw Failure{at, "the clear condition overlaps the raise condition"};
  }

  std::string_view text_;
  size_t at_ = 0;
  std::string name_;
};

// Characters (not bytes) before `at`, plus one.
int ColumnOf(std::string_view text, size_t at) {
  int column = 1;
  for (size_t i = 0; i < at && i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
      ++column;
  }
  return column;
}

}  // namespace

std::string_view UnitSymbol(Unit unit) {
  return NamesOf(unit).names[0].symbol;
}

std::optional<double> QuantityValue(const AlarmQuantity& quantity, const ReadingsRecord& readings) {
  const double value = readings.*quantity.field;
  if (!std::isfinite(value) || (quantity.field == &ReadingsRecord::tempExternal &&
                                !IsExternalReading(readings.tempExternal)))
    return std::nullopt;
  return value;
}

bool Condition::Holds(double value) const {
  switch (op) {
    case Compare::kAbove:
      return value > level;
    case Compare::kAtLeast:
      return value >= level;
    case Compare::kBelow:
      return value < level;
    case Compare::kAtMost:
      return value <= level;
  }
  return false;
}

bool AlarmRule::ClearHolds(double value) const {
  return clear ? clear->Holds(value) : !raise.Holds(value);
}

std::string_view AlarmRule::QuantityName() const {
  return meterLost ? kMeterLostQuantity : kAlarmQuantities[quantity].name;
}

std::string AlarmRule::Text() const {
  std::string text = name + ": ";
  if (meterLost)
    return text + "meter lost for " + NumberText(forNs / 1e9) + "s";
  const std::string_view unit = UnitSymbol(kAlarmQuantities[quantity].unit);
  text.append(kAlarmQuantities[quantity].name)
      .append(" ")
      .append(CompareText(raise.op))
      .append(" ")
      .append(NumberText(raise.level))
      .append(unit);
  if (forNs != 0)
    text.append(" for ").append(NumberText(forNs / 1e9)).append("s");
  if (clear) {
    text.append(" clear ")
        .append(CompareText(clear->op))
        .append(" ")
        .append(NumberText(clear->level))
        .append(unit);
  }
  return text;
}

RuleParse ParseAlarmRule(std::string_view text) {
  Reader reader(text);
  try {
    return {reader.Read(), 0, {}};
  } catch (const Failure& failure) {
    const int column = ColumnOf(text, failure.at);
    const std::string who =
        reader.name().empty() ? "'" + std::string(text) + "'" : "'" + reader.name() + "'";
    return {std::nullopt, column,
            "alarm " + who + ", column " + std::to_string(column) + ": " + failure.message};
  }
}

void RuleSet::Add(std::string_view text, const std::string& where, bool commentsAllowed) {
  if (commentsAllowed) {
    text = text.substr(0, text.find('#'));
    if (text.find_first_not_of(" \t\r") == std::string_view::npos)
      return;
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
      text.remove_suffix(1);
  }
  RuleParse parsed = ParseAlarmRule(text);
  if (!parsed.rule) {
    errors.push_back(where + ": " + parsed.error);
    return;
  }
  for (const AlarmRule& rule : rules) {
    if (rule.name == parsed.rule->name) {
      errors.push_back(where + ": alarm '" + rule.name + "' is named by an earlier rule too");
      return;
    }
  }
  rules.push_back(std::move(*parsed.rule));
}

void RuleSet::AddFile(std::string_view text, const std::string& file) {
  int line = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    ++line;
    Add(text.substr(0, end), file + ":" + std::to_string(line), true);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
}

void RuleSet::Load(const std::string& path) {
  const posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  std::string content;
  int error = 0;
  if (!fd || ::fstat(fd.Get(), &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = EISDIR;
  } else if (static_cast<size_t>(info.st_size) > kMaxFileBytes) {
    error = EFBIG;
  } else {
    char buffer[4096];
    for (;;) {
      const ssize_t n =
          posix::RetryOnSignal([&] { return ::read(fd.Get(), buffer, sizeof buffer); });
      if (n <= 0 || content.size() + static_cast<size_t>(n) > kMaxFileBytes) {
        error = n < 0 ? errno : n > 0 ? EFBIG : 0;
        break;
      }
      content.append(buffer, static_cast<size_t>(n));
    }
  }
  if (error != 0) {
    errors.push_back("cannot read the alarms file " + path + ": " +
                     (error == EISDIR ? std::string("not a regular file") : std::strerror(error)));
    return;
  }
  AddFile(content, path);
}

}  // namespace vireo::alarms
