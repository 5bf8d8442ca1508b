// The main window's progress bar. The live stream steps it at every frame, and a QProgressBar
// paints and flushes to the screen at once on every visible step: at 100 frames/s that was the
// greater part of the program's time. Show() passes the ends of an operation (0 and 100) at
// once and the steps between at most every kStepMs, the last one always.
#pragma once

#include <QElapsedTimer>
#include <QProgressBar>
#include <QTimer>

namespace vireo {

class ProgressBar : public QProgressBar {
 public:
  static constexpr int kStepMs = 33;

  explicit ProgressBar(QWidget* parent = nullptr);

  void Show(int position);

 private:
  void ShowPending();

  int pending_ = 0;
  QElapsedTimer sinceShown_;
  QTimer timer_;
};

}  // namespace vireo
