#include "acquire/live_stream.h"

#include <algorithm>

#include "meter/exchange_replies.h"

namespace vireo {

namespace {

constexpr int kStepsPerRequest = 20;
constexpr int kSilentReadsBeforeReconnect = 50;
constexpr int kActivityCycle = 100;

}  // namespace

std::string DropsText(const LiveDrops& drops) {
  if (drops.Total() == 0)
    return {};
  std::string reasons;
  const std::pair<uint32_t, const char*> parts[] = {{drops.badFrame, "bad checksum"},
                                                    {drops.wrongCode, "wrong command code"},
                                                    {drops.badLength, "wrong size"}};
  for (const auto& [count, reason] : parts) {
    if (count == 0)
      continue;
    if (!reasons.empty())
      reasons += ", ";
    reasons += std::to_string(count) + " " + reason;
  }
  const uint32_t total = drops.Total();
  return std::to_string(total) + (total == 1 ? " frame" : " frames") + " dropped (" + reasons + ")";
}

LiveStream::LiveStream(MeterLink& link, LiveStreamHooks hooks, LiveStreamOptions options)
    : link_(link), hooks_(std::move(hooks)), options_(options) {}

LiveStream::~LiveStream() {
  Shutdown();
}

void LiveStream::Subscribe(FrameSubscriber& subscriber) {
  std::lock_guard lock(threadMutex_);
  if (std::find(subscribers_.begin(), subscribers_.end(), &subscriber) == subscribers_.end())
    subscribers_.push_back(&subscriber);
}

void LiveStream::Unsubscribe(FrameSubscriber& subscriber) {
  std::lock_guard lock(threadMutex_);
  std::erase(subscribers_, &subscriber);
}

LiveStream::StartError LiveStream::Start(std::string serial) {
  Join();  // a stream that has ended leaves its thread to be joined
  std::lock_guard lock(threadMutex_);
  if (shutDown_)
    return StartError::kThread;
  StartError error = StartError::kNone;
  link_.Close();
  if (!link_.IsPresent()) {
    error = StartError::kNoDevice;
  } else if (!link_.Open()) {
    error = StartError::kOpen;
  } else if (link_.QueryUpgradeMode()) {
    error = StartError::kUpgradeMode;
  }
  if (error != StartError::kNone) {
    link_.Close();
    return error;
  }
  serial_ = std::move(serial);
  pollCount = 0;
  stopRequested = 0;
  endNow_ = false;
  dropBadLength_ = 0;
  dropBadFrame_ = 0;
  dropWrongCode_ = 0;
  running_.store(true, std::memory_order_release);
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    running_ = false;
    link_.Close();
    return StartError::kThread;
  }
  return StartError::kNone;
}

void LiveStream::RequestStop() {
  if (!Running())
    return;
  int expected = 0;  // a stream that is ending already stays so
  stopRequested.compare_exchange_strong(expected, 1);
  WakePause();
}

bool LiveStream::CarryOn() {
  int expected = 1;
  if (stopRequested.compare_exchange_strong(expected, 0)) {
    WakePause();
    return true;
  }
  if (expected == kStreamEnding)
    Join();
  return false;
}

void LiveStream::Shutdown() {
  shutDown_ = true;
  endNow_ = true;
  RequestStop();
  WakePause();
  Join();
}

void LiveStream::Join() {
  std::lock_guard lock(threadMutex_);
  if (thread_.joinable())
    thread_.join();
}

LiveDrops LiveStream::Drops() const {
  return {dropBadLength_.load(std::memory_order_relaxed),
          dropBadFrame_.load(std::memory_order_relaxed),
          dropWrongCode_.load(std::memory_order_relaxed)};
}

void LiveStream::WakePause() {
  { std::lock_guard lock(pauseMutex_); }
  pauseWake_.notify_all();
}

void LiveStream::Pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(pauseMutex_);
  pauseWake_.wait_for(lock, duration, [this] { return Stopping(); });
}

void LiveStream::Run() {
  streamEnded_ = false;
  silentReads_ = 0;
  fruitlessReconnects_ = 0;
  failedReopens_ = 0;
  draining_ = false;
  for (int i = 0; !streamEnded_;) {
    if (++i == kActivityCycle)
      i = 0;
    PollStep();
    if (!streamEnded_ && hooks_.pass)
      hooks_.pass(i);
  }
  for (FrameSubscriber* s : subscribers_)
    s->OnStreamEnd(end_);
  if (hooks_.ended)
    hooks_.ended(end_);
  running_.store(false, std::memory_order_release);
}

bool LiveStream::PollStep() {
  bool received = false;
  bool lost = false;
  FollowStopRequest();
  if (pollCount == 0 && stopRequested == 0 && link_.RequestReadings())
    pendingFrames = kLiveBurstFrames;
  if (++pollCount == kStepsPerRequest)
    pollCount = 0;

  bool reconnect = true;
  if (pendingFrames > 0) {
    bool arrived = false;
    if (!link_.IsOpen()) {
      // The reopen failed (another program may hold the meter): wait as long as a read
      // would, so the loop keeps its pace instead of spinning.
      Pause(std::chrono::milliseconds(kLiveFrameTimeoutMs));
    } else {
      received = ReceiveFrame(arrived);
    }
    silentReads_ = arrived ? 0 : silentReads_ + 1;
    --pendingFrames;
    // Requests refill the pending count every 20 steps, so a meter that went silent is
    // recognised by the reads that brought nothing, not by the count running out.
    reconnect = !received && (pendingFrames == 0 || silentReads_ >= kSilentReadsBeforeReconnect);
  }
  if (received)
    fruitlessReconnects_ = 0;
  if (reconnect && !Reconnect()) {
    pendingFrames = 0;
    lost = true;
    end_ = StreamEnd::kMeterGone;
  }
  if (!lost && options_.silentReconnectLimit > 0 &&
      fruitlessReconnects_ >= options_.silentReconnectLimit) {
    lost = true;
    end_ = StreamEnd::kMeterSilent;
  }
  if (!lost && options_.refusedReopenLimit > 0 && failedReopens_ >= options_.refusedReopenLimit) {
    lost = true;
    end_ = StreamEnd::kMeterRefused;
  }
  if (lost)
    link_.Close();

  // A closed link owes nothing, so a stop ends at once.
  if (stopRequested == 1 && !link_.IsOpen())
    pendingFrames = 0;
  const bool drainOver =
      pendingFrames == 0 || endNow_ || (draining_ && std::chrono::steady_clock::now() >= drainEnd_);
  if (!lost && (endNow_ || stopRequested == 1) && drainOver)
    end_ = StreamEnd::kStopped;
  if ((lost || endNow_ || stopRequested == 1) && drainOver && (lost || ClaimEnd()))
    EndStream();
  return received;
}

void LiveStream::FollowStopRequest() {
  const int stop = stopRequested;
  if (stop == 1 && !draining_) {
    draining_ = true;
    drainEnd_ = std::chrono::steady_clock::now() + kDrainLimit;
  } else if (stop == 0 && draining_) {
    // START carried the stream on: ask for frames in this step.
    draining_ = false;
    pollCount = 0;
  }
}

bool LiveStream::ReceiveFrame(bool& arrived) {
  const uint32_t length = link_.ReadReport(frame_.data(), kLiveFrameTimeoutMs);
  arrived = length > 0;
  const LiveFrame live = ParseLiveReport(std::span(frame_.data(), length));
  switch (live.report) {
    case LiveReport::kReadings: {
      TimedReadings timed = StampReadings(live.readings);
      timed.number = published_.fetch_add(1, std::memory_order_relaxed) + 1;
      timed.serial = serial_;
      for (FrameSubscriber* s : subscribers_)
        s->OnFrame(timed);
      return true;
    }
    case LiveReport::kNothing:
      break;
    case LiveReport::kBadLength:
      dropBadLength_.fetch_add(1, std::memory_order_relaxed);
      break;
    case LiveReport::kBadFrame:
      dropBadFrame_.fetch_add(1, std::memory_order_relaxed);
      break;
    case LiveReport::kWrongCode:
      dropWrongCode_.fetch_add(1, std::memory_order_relaxed);
      break;
  }
  return false;
}

bool LiveStream::Reconnect() {
  silentReads_ = 0;
  ++fruitlessReconnects_;
  link_.Close();
  if (!link_.IsPresent())
    return false;
  if (Stopping())
    return true;  // the stream ends in this step; nothing to reopen
  // Every attempt waits one read time-out first, so a meter that is listed but cannot be
  // opened costs next to nothing and is retried at the pace of reads; a stop ends the wait.
  Pause(std::chrono::milliseconds(kLiveFrameTimeoutMs));
  if (!Stopping()) {
    // Its result is not tested for the stream: a failed open is retried by the next steps.
    failedReopens_ = link_.Open() ? 0 : failedReopens_ + 1;
  }
  pollCount = 0;
  return true;
}

bool LiveStream::ClaimEnd() {
  if (endNow_) {
    stopRequested = kStreamEnding;
    return true;
  }
  // Against a START that sets it back to 0 to carry the stream on: one of the two wins.
  int expected = 1;
  return stopRequested.compare_exchange_strong(expected, kStreamEnding);
}

void LiveStream::EndStream() {
  if (stopRequested != kStreamEnding)
    stopRequested = kStreamEnding;
  link_.Close();
  streamEnded_ = true;
  draining_ = false;
}

}  // namespace vireo
