// Worker: one thread that waits for a run request, runs its body, and waits again. A request
// while the body runs is dropped. Stop() ends the thread after the current run and joins it.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vireo {

class Worker {
 public:
  // afterRun is called on the worker thread once the body has returned, atomically with the
  // worker becoming idle: a request that follows what afterRun did is never dropped. It must
  // not call back into the worker.
  explicit Worker(std::function<void()> body, std::function<void()> afterRun = {});
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Asks for one run. False when the worker has been stopped (nothing will run); a request
  // while a run is in progress is dropped and returns true.
  bool RequestRun();
  bool IsRunning() const;
  // Waits until no run is in progress.
  void WaitIdle();
  // Ends the thread after the current run, if any, and joins it.
  void Stop();

 private:
  void Loop();

  std::function<void()> body_;
  std::function<void()> afterRun_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool requested_ = false;
  bool running_ = false;
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace vireo
