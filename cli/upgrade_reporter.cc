#include "cli/upgrade_reporter.h"

namespace vireo::cli {

std::string ProgressLine(const std::string& step, int percent, std::chrono::milliseconds elapsed) {
  std::string line = step;
  if (!line.empty())
    line += ' ';
  line += std::to_string(percent) + "%";
  // The rate of the first second says too little to tell the rest.
  if (percent > 0 && percent < 100 && elapsed >= std::chrono::seconds(1)) {
    const long long left = (elapsed.count() * (100 - percent) / percent + 500) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, ", %lld:%02lld left", left / 60, left % 60);
    line += text;
  }
  return line;
}

UpgradeReporter::UpgradeReporter(TerminalReporter& log, std::FILE* out, bool terminal,
                                 std::string step)
    : log_(log),
      out_(out),
      terminal_(terminal),
      step_(std::move(step)),
      fixedStep_(!step_.empty()) {}

void UpgradeReporter::WriteAbove(const std::function<void()>& write) {
  std::lock_guard lock(mutex_);
  ClearLine();
  write();
}

void UpgradeReporter::ClearProgress() {
  std::lock_guard lock(mutex_);
  ClearLine();
}

UpgradeReporter::~UpgradeReporter() {
  std::lock_guard lock(mutex_);
  ClearLine();
}

void UpgradeReporter::ClearLine() {
  if (progressShown_) {
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    progressShown_ = false;
  }
}

void UpgradeReporter::AppendLog(const std::string& text, LogLevel level) {
  std::lock_guard lock(mutex_);
  ClearLine();
  log_.AppendLog(text, level);
  lineOpen_ = true;
  lineBroken_ = false;
  lastLogText_ = text;
  if (!fixedStep_ && (level == LogLevel::kSuccess || level == LogLevel::kNormal))
    step_ = text;  // "Erasing...", "Writing...": the step the progress that follows belongs to
}

void UpgradeReporter::NewLogLine() {
  std::lock_guard lock(mutex_);
  ClearLine();
  // The progress has ended this line already.
  if (lineBroken_ && !lineOpen_) {
    lineBroken_ = false;
    return;
  }
  log_.NewLogLine();
  lineOpen_ = false;
}

void UpgradeReporter::SetProgress(int position) {
  std::lock_guard lock(mutex_);
  if (position == lastProgress_)
    return;
  if (position == 0 || position < lastProgress_)
    stepStart_ = Clock::now();
  lastProgress_ = position;
  // The log line before the progress ends where the progress begins, on a terminal or not.
  if (lineOpen_) {
    log_.NewLogLine();
    lineOpen_ = false;
  }
  lineBroken_ = true;
  if (!terminal_)
    return;
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stepStart_);
  std::fprintf(out_, "\r%s\033[K", ProgressLine(step_, position, elapsed).c_str());
  std::fflush(out_);
  progressShown_ = true;
}

void UpgradeReporter::ShowMessage(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    if (text == lastLogText_)
      return;
  }
  AppendLog(text, LogLevel::kError);
  NewLogLine();
}

}  // namespace vireo::cli
