#include "gui/progress_bar.h"

namespace vireo {

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &ProgressBar::ShowPending);
}

void ProgressBar::Show(int position) {
  pending_ = position;
  const bool end = position <= minimum() || position >= maximum();
  const qint64 since = sinceShown_.isValid() ? sinceShown_.elapsed() : kStepMs;
  if (end || since >= kStepMs) {
    ShowPending();
  } else if (!timer_.isActive()) {
    timer_.start(static_cast<int>(kStepMs - since));
  }
}

void ProgressBar::ShowPending() {
  timer_.stop();  // the pending step is shown now
  setValue(pending_);
  sinceShown_.start();
}

}  // namespace vireo
