#include "cli/terminal_reporter.h"

#include <unistd.h>

namespace vireo {

namespace {

// The log's colours: blue, green, bold yellow, bold red.
const char* LevelStyle(int level) {
  switch (level) {
    case kLogNormal:
      return "\033[38;2;64;131;242m";
    case kLogSuccess:
      return "\033[38;2;128;186;1m";
    case kLogWarning:
      return "\033[1;38;2;204;204;17m";
    default:
      return "\033[1;38;2;219;6;1m";
  }
}

}  // namespace

TerminalReporter::TerminalReporter(std::FILE* out) : out_(out), colour_(isatty(fileno(out))) {}

void TerminalReporter::AppendLog(const std::string& text, int level) {
  std::lock_guard lock(mutex_);
  if (colour_) {
    std::fprintf(out_, "%s%s\033[0m", LevelStyle(level), text.c_str());
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

std::string TerminalReporter::Status(StatusField field) const {
  std::lock_guard lock(mutex_);
  auto it = status_.find(field);
  return it == status_.end() ? std::string() : it->second;
}

}  // namespace vireo
