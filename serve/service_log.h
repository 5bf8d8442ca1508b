// ServiceLog: the service's log on standard error, one line per event. Under systemd (which
// sets JOURNAL_STREAM) each line starts with its syslog priority, <3>, <4> or <6>, so journald
// keeps the level; on a terminal it starts with "serve: ". Any thread.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace vireo::serve {

enum class Severity { kInfo, kWarning, kError };

class ServiceLog {
 public:
  explicit ServiceLog(std::FILE* out = stderr);
  void operator()(Severity severity, const std::string& text);
  void Info(const std::string& text) { (*this)(Severity::kInfo, text); }
  void Warning(const std::string& text) { (*this)(Severity::kWarning, text); }
  void Error(const std::string& text) { (*this)(Severity::kError, text); }

 private:
  std::FILE* const out_;
  const bool journal_;
  std::mutex mutex_;
};

}  // namespace vireo::serve
