#include "cli/upgrade_reporter.h"

namespace vireo::cli {

namespace {

constexpr int kBarWidth = 40;

}  // namespace

UpgradeReporter::UpgradeReporter(TerminalReporter& log, std::FILE* out, bool bar)
    : log_(log), out_(out), bar_(bar) {}

void UpgradeReporter::ClearBar() {
  if (barShown_) {
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    barShown_ = false;
  }
}

void UpgradeReporter::AppendLog(const std::string& text, LogLevel level) {
  std::lock_guard lock(mutex_);
  ClearBar();
  log_.AppendLog(text, level);
  lineOpen_ = true;
  lineBroken_ = false;
  lastLogText_ = text;
}

void UpgradeReporter::NewLogLine() {
  std::lock_guard lock(mutex_);
  ClearBar();
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
  lastProgress_ = position;
  if (lineOpen_) {
    log_.NewLogLine();
    lineOpen_ = false;
  }
  lineBroken_ = true;
  if (bar_) {
    const int filled = position * kBarWidth / 100;
    std::fprintf(out_, "\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
                 std::string(kBarWidth - filled, ' ').c_str(), position);
    barShown_ = true;
  } else {
    std::fprintf(out_, "%d%%\n", position);
  }
  std::fflush(out_);
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
