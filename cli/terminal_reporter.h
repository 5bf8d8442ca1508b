// TerminalReporter: the log of the sequences on standard error, one line per log line, in the
// level's colour when standard error is a terminal. Status fields are kept for the caller.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "app/reporter.h"

namespace vireo {

class TerminalReporter : public Reporter {
 public:
  explicit TerminalReporter(std::FILE* out = stderr);

  void AppendLog(const std::string& text, int level) override;
  void NewLogLine() override;
  void ClearLog() override {}
  void SetProgress(int) override {}
  void Beep(bool) override {}
  void SetStatus(StatusField field, const std::string& text) override;
  void ShowMessage(const std::string&) override {}

  std::string Status(StatusField field) const;

 private:
  std::FILE* out_;
  bool colour_;
  mutable std::mutex mutex_;  // the live-poll worker logs too
  std::map<StatusField, std::string> status_;
};

}  // namespace vireo
