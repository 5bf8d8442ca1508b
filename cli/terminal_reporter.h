// TerminalReporter: the log of the sequences on standard error, one line per log line, in the
// level's colour when standard error is a terminal. Status fields are kept for the caller.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "app/reporter.h"
#include "text/text_table.h"

namespace vireo {

class TerminalReporter : public Reporter {
 public:
  // The texts word the notices; they must outlive the reporter.
  explicit TerminalReporter(const TextTable& texts, std::FILE* out = stderr);

  void AppendLog(const std::string& text, LogLevel level) override;
  void NewLogLine() override;
  void ClearLog() override {}
  void SetProgress(int) override {}
  void Beep(bool) override {}
  void SetStatus(StatusField field, const std::string& text) override;
  void ShowMessage(const std::string&) override {}
  void FirmwareTooOld() override;
  void RecordsReady(std::string path) override;

  std::string Status(StatusField field) const;
  // The path of the last record file a read-out wrote, empty if none.
  std::string RecordsPath() const;

 private:
  const TextTable& texts_;
  std::FILE* out_;
  bool colour_;
  mutable std::mutex mutex_;  // the live-poll worker logs too
  std::map<StatusField, std::string> status_;
  std::string recordsPath_;
};

}  // namespace vireo
