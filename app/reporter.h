// Reporter: what the sequences of the program tell the user. The main window implements it
// for the GUI, the command-line tool for the terminal, tests record it.
#pragma once

#include <string>

namespace vireo {

enum LogLevel : int { kLogNormal = 0, kLogSuccess = 1, kLogWarning = 2, kLogError = 3 };

enum class StatusField { kSerial, kVersion, kUpgrade, kUsb };

class Reporter {
 public:
  virtual ~Reporter() = default;
  // The log: text appended without a line break, in the level's colour.
  virtual void AppendLog(const std::string& text, int level) = 0;
  virtual void NewLogLine() = 0;
  virtual void ClearLog() = 0;
  // Progress bar position, 0..100.
  virtual void SetProgress(int position) = 0;
  virtual void Beep(bool success) = 0;
  virtual void SetStatus(StatusField field, const std::string& text) = 0;
  // A message box with an OK button; the terminal and tests may ignore it.
  virtual void ShowMessage(const std::string& text) = 0;
};

}  // namespace vireo
