// Reporter: what the sequences of the program tell the user. The main window implements it
// for the GUI, the command-line tool for the terminal, tests record it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vireo {

enum class LogLevel : int { kNormal = 0, kSuccess = 1, kWarning = 2, kError = 3 };

// How a log level looks: its colour and whether it is bold. The log view, the terminal and the
// tests all take it from StyleOf.
struct LogStyle {
  uint8_t red, green, blue;
  bool bold;
};

inline constexpr std::array<LogStyle, 4> kLogStyles = {{
    {64, 131, 242, false},  // kNormal: blue
    {128, 186, 1, false},   // kSuccess: green
    {204, 204, 17, true},   // kWarning: yellow, bold
    {219, 6, 1, true},      // kError (and any other level): red, bold
}};

constexpr LogStyle StyleOf(LogLevel level) {
  const auto index = static_cast<int>(level);
  return kLogStyles[index >= 0 && index < 3 ? index : 3];
}

enum class StatusField { kSerial, kVersion, kUpgrade, kUsb };

class Reporter {
 public:
  virtual ~Reporter() = default;
  // The log: text appended without a line break, in the level's colour.
  virtual void AppendLog(const std::string& text, LogLevel level) = 0;
  virtual void NewLogLine() = 0;
  virtual void ClearLog() = 0;
  // Progress bar position, 0..100.
  virtual void SetProgress(int position) = 0;
  virtual void Beep(bool success) = 0;
  virtual void SetStatus(StatusField field, const std::string& text) = 0;
  // A message box with an OK button; the terminal and tests may ignore it.
  virtual void ShowMessage(const std::string& text) = 0;

  // Typed notices, each carried by value to whoever shows it.
  // The meter's firmware is too old for what was asked (the window shows the notice).
  virtual void FirmwareTooOld() = 0;
  // A read-out wrote a record file at `path`; the chart page shows it.
  virtual void RecordsReady(std::string path) = 0;
};

// Says nothing: for benchmarks, and for sequences whose words nobody reads.
class NullReporter final : public Reporter {
 public:
  void AppendLog(const std::string&, LogLevel) override {}
  void NewLogLine() override {}
  void ClearLog() override {}
  void SetProgress(int) override {}
  void Beep(bool) override {}
  void SetStatus(StatusField, const std::string&) override {}
  void ShowMessage(const std::string&) override {}
  void FirmwareTooOld() override {}
  void RecordsReady(std::string) override {}
};

}  // namespace vireo
