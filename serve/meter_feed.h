// MeterFeed: runs one meter's MeterWorker on a thread of its own. The meter's streams come and
// go (unplugs): the service tells the feed before each stream starts and after it has ended;
// frames come through the feed's FrameQueue, which the stream fills. The feed keeps the order
// of what happened even when it takes the end of one stream and frames of the next at once: the
// running numbers of the frames tell which stream each came from.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acquire/frame_queue.h"
#include "base/posix.h"
#include "serve/meter_worker.h"

namespace vireo::serve {

class MeterFeed {
 public:
  static constexpr const char* kThreadName = "meter-work";

  // `log` hears a failure of the thread, one sentence.
  MeterFeed(std::unique_ptr<MeterWorker> worker, std::function<void(const std::string&)> log);
  // Stop() if it has not been.
  ~MeterFeed();
  MeterFeed(const MeterFeed&) = delete;
  MeterFeed& operator=(const MeterFeed&) = delete;

  // What the meter's stream subscribes.
  FrameQueue& queue() { return queue_; }
  bool Start(std::string& error);
  // Before a stream starts, and once it has ended (or failed to start): `lastNumber` is the
  // stream object's Published() count then, so its frames are those numbered up to it.
  void StreamStarting(int64_t nowNs, const std::string& firmware, uint64_t lastNumber);
  void StreamEnded(int64_t nowNs, StreamEnd end, uint64_t lastNumber);
  // Hands on what is queued, finishes the worker and joins the thread. Once the streams have
  // ended.
  void Stop();
  // Frames the queue dropped because the worker fell behind.
  uint64_t dropped() const { return queue_.dropped(); }

 private:
  struct Notice {
    bool started = false;  // else ended
    int64_t nowNs = 0;
    std::string firmware;
    StreamEnd end = StreamEnd::kStopped;
    uint64_t lastNumber = 0;
  };
  void Post(Notice notice);
  void Run();
  // Hands the queued frames, stream ends and notices to the worker in the order they happened.
  void Drain();
  void Feed(size_t from, size_t to);

  std::unique_ptr<MeterWorker> worker_;
  const std::function<void(const std::string&)> log_;
  FrameQueue queue_;
  posix::UniqueFd wake_;  // readable after a notice or a stop request
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Notice> notices_;  // guarded by mutex_
  std::vector<TimedReadings> frames_;
  std::vector<TimedReadings> part_;
  std::thread thread_;
};

}  // namespace vireo::serve
