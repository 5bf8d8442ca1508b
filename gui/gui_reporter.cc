#include "gui/gui_reporter.h"

#include <QThread>
#include <QTimer>

namespace vireo {

template <typename Call>
void GuiReporter::OnGuiThread(Call call) {
  if (QThread::currentThread() == context_.thread()) {
    call();
  } else {
    QMetaObject::invokeMethod(&context_, std::move(call), Qt::QueuedConnection);
  }
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
