#include "gui/gui_reporter.h"

#include <QThread>
#include <QTimer>

namespace vireo {

template <typename Call>
void GuiReporter::OnGuiThread(Call call) {
  if (QThread::currentThread() == context_.thread()) {
    call();
    return;
  }
  // A position the worker set before this report is shown first, even within a pause, so the
  // bar never lags behind the log (a finished upgrade says so with its bar at the end).
  QMetaObject::invokeMethod(
      &context_,
      [this, call = std::move(call)]() mutable {
        ShowProgressHeldInPause();
        call();
      },
      Qt::QueuedConnection);
}

void GuiReporter::AppendLog(const std::string& text, LogLevel level) {
  OnGuiThread([&target = target_, text, level] { target.AppendLog(text, level); });
}

void GuiReporter::NewLogLine() {
  OnGuiThread([&target = target_] { target.NewLogLine(); });
}

void GuiReporter::ClearLog() {
  OnGuiThread([&target = target_] { target.ClearLog(); });
}

void GuiReporter::SetProgress(int position) {
  if (QThread::currentThread() == context_.thread()) {
    target_.SetProgress(position);
    return;
  }
  if (pendingProgress_.exchange(position) != kIdle)
    return;  // the queued call, or the end of the pause, shows this position
  QMetaObject::invokeMethod(
      &context_, [this] { ShowPendingProgress(); }, Qt::QueuedConnection);
}

void GuiReporter::ShowPendingProgress() {
  const int position = pendingProgress_.exchange(kPausing);
  if (position >= 0) {
    target_.SetProgress(position);
    QTimer::singleShot(kProgressPauseMs, &context_, [this] { ShowPendingProgress(); });
    return;
  }
  // Nothing came during the pause: idle again, unless a position comes just now.
  int expected = kPausing;
  if (!pendingProgress_.compare_exchange_strong(expected, kIdle))
    ShowPendingProgress();
}

void GuiReporter::ShowProgressHeldInPause() {
  if (pendingProgress_.load() < 0)
    return;
  // The queued call or the pause's timer that was to show it finds kPausing and goes idle.
  const int position = pendingProgress_.exchange(kPausing);
  if (position >= 0)
    target_.SetProgress(position);
}

void GuiReporter::Beep(bool success) {
  OnGuiThread([&target = target_, success] { target.Beep(success); });
}

void GuiReporter::SetStatus(StatusField field, const std::string& text) {
  OnGuiThread([&target = target_, field, text] { target.SetStatus(field, text); });
}

void GuiReporter::ShowMessage(const std::string& text) {
  OnGuiThread([&target = target_, text] { target.ShowMessage(text); });
}

void GuiReporter::FirmwareTooOld() {
  OnGuiThread([&target = target_] { target.FirmwareTooOld(); });
}

void GuiReporter::RecordsReady(std::string path) {
  OnGuiThread([&target = target_, path = std::move(path)]() mutable {
    target.RecordsReady(std::move(path));
  });
}

}  // namespace vireo
