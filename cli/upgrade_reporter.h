// UpgradeReporter: the log of a long command (upgrade, readout) on standard error with its
// progress. On a terminal the progress is one line that is redrawn in place: the step, the
// percentage and the time left. Otherwise only the log's plain lines are written. The texts
// that the program shows in message boxes become log lines.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "app/reporter.h"
#include "cli/terminal_reporter.h"

namespace vireo::cli {

class UpgradeReporter final : public Reporter {
 public:
  // `log` writes the log lines; the progress line goes to `out` when `terminal` is set. It
  // names `step` when one is given, else the step that the last log line began.
  UpgradeReporter(TerminalReporter& log, std::FILE* out, bool terminal, std::string step = {});
  ~UpgradeReporter() override;

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

  // Runs `write`, which writes whole lines to `out`, with the progress line taken away first.
  void WriteAbove(const std::function<void()>& write);
  // Takes the progress line away until the next progress.
  void ClearProgress();

 private:
  using Clock = std::chrono::steady_clock;
  void ClearLine();  // with mutex_ held

  TerminalReporter& log_;
  std::FILE* out_;
  const bool terminal_;
  std::mutex mutex_;
  bool lineOpen_ = false;       // the current log line has text
  bool lineBroken_ = false;     // progress ended the current log line early
  bool progressShown_ = false;  // the progress line stands on the last line
  int lastProgress_ = -1;
  std::string step_;  // what the progress line names
  const bool fixedStep_;
  Clock::time_point stepStart_ = Clock::now();
  std::string lastLogText_;
};

// "42%" with what is done so far, and the time left once it can be told: "Writing... 42%,
// 0:12 left". `elapsed` is the time since the step began at 0 %.
std::string ProgressLine(const std::string& step, int percent, std::chrono::milliseconds elapsed);

}  // namespace vireo::cli
