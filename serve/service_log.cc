#include "serve/service_log.h"

#include <cstdlib>

namespace vireo::serve {

ServiceLog::ServiceLog(std::FILE* out) : out_(out), journal_(std::getenv("JOURNAL_STREAM")) {}

void ServiceLog::operator()(Severity severity, const std::string& text) {
  std::string line;
  if (journal_) {
    line = severity == Severity::kError ? "<3>" : severity == Severity::kWarning ? "<4>" : "<6>";
  } else {
    line = severity == Severity::kError     ? "serve: error: "
           : severity == Severity::kWarning ? "serve: warning: "
                                            : "serve: ";
  }
  // One event, one line, whatever the text holds.
  for (char c : text)
    line += c == '\n' ? ' ' : c;
  line += '\n';
  std::lock_guard lock(mutex_);
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
}

}  // namespace vireo::serve
