#include "app/worker.h"

namespace vireo {

Worker::Worker(std::function<void()> body, std::function<void()> afterRun)
    : body_(std::move(body)), afterRun_(std::move(afterRun)), thread_([this] { Loop(); }) {}

Worker::~Worker() {
  Stop();
}

bool Worker::RequestRun() {
  std::lock_guard lock(mutex_);
  if (quit_)
    return false;
  if (!running_) {
    requested_ = true;
    running_ = true;  // counts as running from the request on, so a second one is dropped
    changed_.notify_all();
  }
  return true;
}

bool Worker::IsRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void Worker::WaitIdle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !running_; });
}

void Worker::Stop() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    changed_.notify_all();
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
    thread_.join();
}

void Worker::Loop() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return requested_ || quit_; });
      if (quit_) {
        requested_ = running_ = false;
        changed_.notify_all();
        return;
      }
      requested_ = false;
    }
    // No exception may escape a worker thread; a body that throws simply ends its run.
    try {
      body_();
    } catch (...) {
    }
    std::lock_guard lock(mutex_);
    running_ = false;
    if (afterRun_)
      afterRun_();
    changed_.notify_all();
  }
}

}  // namespace vireo
