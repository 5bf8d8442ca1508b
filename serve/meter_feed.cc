#include "serve/meter_feed.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <system_error>

namespace vireo::serve {

namespace {

constexpr int64_t kMs = 1'000'000;
// Frames are taken in bunches, not one wake-up per frame.
constexpr int64_t kDrainIntervalNs = 50 * kMs;

int64_t Now() {
  return ClockNs(CLOCK_BOOTTIME);
}

}  // namespace

MeterFeed::MeterFeed(std::unique_ptr<MeterWorker> worker,
                     std::function<void(const std::string&)> log)
    : worker_(std::move(worker)),
      log_(std::move(log)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

MeterFeed::~MeterFeed() {
  Stop();
}

bool MeterFeed::Start(std::string& error) {
  if (!wake_ || !queue_.IsValid()) {
    error = std::string("cannot make an event descriptor: ") + std::strerror(errno);
    return false;
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    error = std::string("cannot start a meter's thread: ") + e.what();
    return false;
  }
  return true;
}

void MeterFeed::Post(Notice notice) {
  {
    std::lock_guard lock(mutex_);
    notices_.push_back(std::move(notice));
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
}

void MeterFeed::StreamStarting(int64_t nowNs, const std::string& firmware, uint64_t lastNumber) {
  Post({true, nowNs, firmware, StreamEnd::kStopped, lastNumber});
}

void MeterFeed::StreamEnded(int64_t nowNs, StreamEnd end, uint64_t lastNumber) {
  Post({false, nowNs, {}, end, lastNumber});
}

void MeterFeed::Stop() {
  if (!thread_.joinable())
    return;
  stop_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
  thread_.join();
}

void MeterFeed::Feed(size_t from, size_t to) {
  if (from >= to)
    return;
  if (from == 0 && to == frames_.size()) {
    worker_->OnFrames(frames_);
    return;
  }
  part_.assign(frames_.begin() + static_cast<ptrdiff_t>(from),
               frames_.begin() + static_cast<ptrdiff_t>(to));
  worker_->OnFrames(part_);
}

void MeterFeed::Drain() {
  // Frames first, then the notices: a frame taken here was queued after the start of its stream
  // was told, and the end of a stream is told after its last frame was queued, so every notice
  // seen now finds the frames before it taken. The queue's own note of the end is not needed.
  queue_.Take(frames_);
  std::vector<Notice> notices;
  {
    std::lock_guard lock(mutex_);
    notices.swap(notices_);
  }
  size_t at = 0;
  for (const Notice& notice : notices) {
    const auto split =
        std::find_if(frames_.begin() + static_cast<ptrdiff_t>(at), frames_.end(),
                     [&](const TimedReadings& f) { return f.number > notice.lastNumber; });
    const size_t to = static_cast<size_t>(split - frames_.begin());
    Feed(at, to);
    at = to;
    if (notice.started)
      worker_->OnStreamStarted(notice.nowNs, notice.firmware);
    else
      worker_->OnStreamEnd(notice.nowNs, notice.end);
  }
  Feed(at, frames_.size());
}

void MeterFeed::Run() {
  // Named, so that top -H (and the benchmark) can tell its share.
  pthread_setname_np(pthread_self(), kThreadName);
  try {
    bool frameWaiting = false;
    int64_t drainAt = 0;
    for (;;) {
      int64_t now = Now();
      int64_t next = worker_->NextDeadline();
      if (frameWaiting)
        next = std::min(next, drainAt);
      const int timeoutMs =
          next == INT64_MAX
              ? -1
              : static_cast<int>(std::clamp<int64_t>((next - now + kMs - 1) / kMs, 0, 60'000));
      pollfd fds[2] = {{wake_.Get(), POLLIN, 0}, {frameWaiting ? -1 : queue_.WakeFd(), POLLIN, 0}};
      if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR) {
        log_(std::string("a meter's thread cannot wait: ") + std::strerror(errno));
        break;
      }
      now = Now();
      bool notified = false;
      if (fds[0].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(wake_.Get(), &count, sizeof count);
        notified = true;
      }
      if (fds[1].revents & POLLIN)
        frameWaiting = true;
      if (stop_)
        break;
      if (notified || (frameWaiting && now >= drainAt)) {
        frameWaiting = false;
        drainAt = now + kDrainIntervalNs;
        Drain();
      }
      worker_->OnTick(now);
    }
    const int64_t now = Now();
    Drain();
    worker_->Finish(now);
  } catch (const std::exception& e) {
    log_(std::string("a meter's thread failed: ") + e.what());
  }
}

}  // namespace vireo::serve
