// Carries the sequences' reports to the window on the GUI thread. A call made on the GUI
// thread runs at once; a call from a worker is queued to the GUI thread, in order, and never
// waits for it, so a worker cannot deadlock with a window that is closing. Calls still queued
// when the context object is destroyed are dropped with it.
#pragma once

#include <QObject>
#include <atomic>

#include "app/reporter.h"

namespace vireo {

class GuiReporter final : public Reporter {
 public:
  // `target` does the work on the GUI thread; `context` is the object whose life bounds it.
  GuiReporter(QObject& context, Reporter& target) : context_(context), target_(target) {}

  void AppendLog(const std::string& text, LogLevel level) override;
  void NewLogLine() override;
  void ClearLog() override;
  void SetProgress(int position) override;
  void Beep(bool success) override;
  void SetStatus(StatusField field, const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  void FirmwareTooOld() override;
  void RecordsReady(std::string path) override;

 private:
  template <typename Call>
  void OnGuiThread(Call call);
  // On the GUI thread: shows the position a worker left, then pauses for kProgressPauseMs.
  void ShowPendingProgress();
  // On the GUI thread, before another report from a worker: shows a position still held back.
  void ShowProgressHeldInPause();

  QObject& context_;
  Reporter& target_;
  // The latest progress position a worker set and the window has not shown yet; kIdle when
  // none is and no call is queued, kPausing while the window waits after showing one. A fast
  // worker (the live stream's activity sign moves with every poll step) thus queues at most one
  // call at a time and the window shows one position every kProgressPauseMs, the last always.
  static constexpr int kIdle = -1;
  static constexpr int kPausing = -2;
  static constexpr int kProgressPauseMs = 20;
  std::atomic<int> pendingProgress_{kIdle};
};

}  // namespace vireo
