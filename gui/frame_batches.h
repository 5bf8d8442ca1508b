// FrameBatches: hands the frames of a FrameQueue to the GUI thread in batches. The first frame
// after a quiet spell is handed on at once; after that, one batch at most every kBatchMs. A
// meter that sends a thousand frames a second thus wakes the window a few dozen times a second,
// not once a frame, and the stream's thread writes the queue's wake-up only that often too.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>

#include "acquire/frame_queue.h"

namespace vireo {

class FrameBatches final : public QObject {
 public:
  static constexpr int kBatchMs = 20;

  // `take` runs on the GUI thread when frames wait; it takes them from the queue.
  FrameBatches(const FrameQueue& queue, std::function<void()> take, QObject* parent = nullptr)
      : QObject(parent), take_(std::move(take)), wake_(queue.WakeFd(), QSocketNotifier::Read) {
    pause_.setSingleShot(true);
    pause_.setInterval(kBatchMs);
    connect(&pause_, &QTimer::timeout, this, [this] { wake_.setEnabled(true); });
    connect(&wake_, &QSocketNotifier::activated, this, [this] {
      wake_.setEnabled(false);
      take_();
      pause_.start();
    });
  }

 private:
  std::function<void()> take_;
  QSocketNotifier wake_;
  QTimer pause_;
};

}  // namespace vireo
