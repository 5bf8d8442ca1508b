// UpgradeReporter: the log of the firmware commands on standard error with their progress, as
// a bar on a terminal and as one percentage a line otherwise, and the texts that the program
// shows in message boxes as log lines.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "app/reporter.h"
#include "cli/terminal_reporter.h"

namespace vireo::cli {

class UpgradeReporter final : public Reporter {
 public:
  // `log` writes the log lines; progress goes to `out`, as a bar when `bar` is set.
  UpgradeReporter(TerminalReporter& log, std::FILE* out, bool bar);

  void AppendLog(const std::string& text, LogLevel level) override;
  void NewLogLine() override;
  void ClearLog() override {}
  void SetProgress(int position) override;
  void Beep(bool success) override { log_.Beep(success); }
  void SetStatus(StatusField field, const std::string& text) override {
    log_.SetStatus(field, text);
  }
  // A message box's text as a red line, unless the log has just shown it.
  void ShowMessage(const std::string& text) override;
  void FirmwareTooOld() override { log_.FirmwareTooOld(); }
  void RecordsReady(std::string path) override { log_.RecordsReady(std::move(path)); }

 private:
  void ClearBar();  // with mutex_ held

  TerminalReporter& log_;
  std::FILE* out_;
  const bool bar_;
  std::mutex mutex_;
  bool lineOpen_ = false;    // the current log line has text
  bool lineBroken_ = false;  // progress ended the current log line early
  bool barShown_ = false;    // the bar stands on the last line
  int lastProgress_ = -1;
  std::string lastLogText_;
};

}  // namespace vireo::cli
