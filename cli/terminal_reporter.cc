#include "cli/terminal_reporter.h"

#include <unistd.h>

#include "app/identify.h"

namespace vireo {

namespace {

// The level's colour as a 24-bit terminal colour, bold where the log is bold.
std::string LevelStyle(LogLevel level) {
  const LogStyle style = StyleOf(level);
  return std::string("\033[") + (style.bold ? "1;" : "") + "38;2;" + std::to_string(style.red) +
         ";" + std::to_string(style.green) + ";" + std::to_string(style.blue) + "m";
}

}  // namespace

TerminalReporter::TerminalReporter(const TextTable& texts, std::FILE* out)
    : texts_(texts), out_(out), colour_(isatty(fileno(out))) {}

void TerminalReporter::AppendLog(const std::string& text, LogLevel level) {
  std::lock_guard lock(mutex_);
  if (colour_) {
    std::fprintf(out_, "%s%s\033[0m", LevelStyle(level).c_str(), text.c_str());
  } else {
    std::fputs(text.c_str(), out_);
  }
  std::fflush(out_);
}

void TerminalReporter::NewLogLine() {
  std::lock_guard lock(mutex_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void TerminalReporter::SetStatus(StatusField field, const std::string& text) {
  std::lock_guard lock(mutex_);
  status_[field] = text;
}

void TerminalReporter::FirmwareTooOld() {
  ShowFirmwareTooOld(texts_, *this);
}

void TerminalReporter::RecordsReady(std::string path) {
  std::lock_guard lock(mutex_);
  recordsPath_ = std::move(path);
}

std::string TerminalReporter::RecordsPath() const {
  std::lock_guard lock(mutex_);
  return recordsPath_;
}

std::string TerminalReporter::Status(StatusField field) const {
  std::lock_guard lock(mutex_);
  auto it = status_.find(field);
  return it == status_.end() ? std::string() : it->second;
}

}  // namespace vireo
