// LiveStream: the feed of one meter's live readings. Bound to one MeterLink, it runs the
// request-and-drain scheme on a thread of its own: a request for 50 frames every 20 poll steps,
// reads with the frame time-out, a reconnect when the frames run out, a drain of the frames
// still owed after a stop (kDrainLimit at most), and the end when the meter has gone. Every
// valid live-data frame goes, with its arrival times, its running number and the meter's
// serial, to the subscribers attached before the stream started; at the end they are told how
// it ended. Subscribers only store or queue (FrameQueue), so none can slow the stream.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acquire/frame_subscriber.h"
#include "meter/frame.h"
#include "meter/meter_link.h"

namespace vireo {

// Reports that arrived during a stream but were not used, by reason.
struct LiveDrops {
  uint32_t badLength = 0;
  uint32_t badFrame = 0;
  uint32_t wrongCode = 0;
  uint32_t Total() const { return badLength + badFrame + wrongCode; }
};

// "3 frames dropped (2 bad checksum, 1 wrong command code)", empty when none was.
std::string DropsText(const LiveDrops& drops);

struct LiveStreamOptions {
  // End the stream as kMeterSilent after this many reconnects in a row that brought no frame,
  // and as kMeterRefused after this many failed reopens in a row; 0 keeps trying for ever, as
  // the window's stream does.
  int silentReconnectLimit = 0;
  int refusedReopenLimit = 0;
};

// What the one who runs the stream hears besides the frames; both on the stream's thread.
struct LiveStreamHooks {
  // After each pass of the poll loop, with a count that cycles 1..99, 0: an activity sign.
  std::function<void(int)> pass;
  // Once the stream has ended and every subscriber has heard it, with the link closed.
  std::function<void(StreamEnd)> ended;
};

class LiveStream {
 public:
  static constexpr std::chrono::milliseconds kDrainLimit{300};
  // stopRequested while the stream ends, until the next Start: a START that sees it waits for
  // the end instead of carrying the stream on.
  static constexpr int kStreamEnding = 2;

  enum class StartError { kNone, kNoDevice, kOpen, kUpgradeMode, kThread };

  explicit LiveStream(MeterLink& link, LiveStreamHooks hooks = {}, LiveStreamOptions options = {});
  ~LiveStream();
  LiveStream(const LiveStream&) = delete;
  LiveStream& operator=(const LiveStream&) = delete;

  // Attaches or detaches a subscriber; only while no stream runs. Subscribers are told in the
  // order they were attached.
  void Subscribe(FrameSubscriber& subscriber);
  void Unsubscribe(FrameSubscriber& subscriber);

  // Opens the link, makes sure that the meter is not in its upgrade mode and starts the
  // stream; its frames carry `serial`. On an error the link is closed and nothing runs; after
  // kOpen the link's lastOpenRefusal() tells why.
  StartError Start(std::string serial);
  // Asks a running stream to stop: it drains what is owed, then ends as kStopped.
  void RequestStop();
  // START while a stopped stream still drains: it goes on and asks for frames again (true).
  // When the stream is ending already, waits until it has ended (false); false when none runs.
  bool CarryOn();
  // Ends a stream at once, without a drain (the current read finishes first), and joins its
  // thread. Idempotent; no stream starts afterwards.
  void Shutdown();
  // Waits for a stream that is ending or has ended to finish its thread.
  void Join();

  // From a successful Start until the stream has ended and told its `ended` hook.
  bool Running() const { return running_.load(std::memory_order_acquire); }
  // Reports dropped since the last Start. Any thread.
  LiveDrops Drops() const;
  // Frames published by this object so far (the running number of the last one).
  uint64_t Published() const { return published_.load(std::memory_order_relaxed); }

  // One step of the stream; true if a new frame arrived. Run only by the stream's thread, or
  // by a test that drives the stream by hand after Start(..., without a thread).
  bool PollStep();

  // Stream state, race-free. stopRequested is 0, 1 (stop asked) or kStreamEnding.
  std::atomic<int> pollCount{0};
  std::atomic<int> stopRequested{0};
  std::atomic<int> pendingFrames{0};

 private:
  void Run();
  void FollowStopRequest();
  // One read of the stream; true if it brought readings. arrived: any report came in.
  bool ReceiveFrame(bool& arrived);
  // Closes the link and, while the meter is listed, opens it again; false if it is gone.
  bool Reconnect();
  bool ClaimEnd();
  void EndStream();
  // Waits up to `duration`, less if a stop is asked for meanwhile.
  void Pause(std::chrono::milliseconds duration);
  bool Stopping() const { return stopRequested != 0 || endNow_; }
  void WakePause();

  MeterLink& link_;
  const LiveStreamHooks hooks_;
  const LiveStreamOptions options_;
  std::vector<FrameSubscriber*> subscribers_;  // changed only while no stream runs
  std::string serial_;
  std::atomic<bool> running_{false};
  std::atomic<bool> endNow_{false};
  std::atomic<bool> shutDown_{false};
  std::atomic<uint64_t> published_{0};
  std::atomic<uint32_t> dropBadLength_{0};
  std::atomic<uint32_t> dropBadFrame_{0};
  std::atomic<uint32_t> dropWrongCode_{0};
  std::mutex pauseMutex_;
  std::condition_variable pauseWake_;
  std::mutex threadMutex_;  // Start, Join and Shutdown take turns with the thread
  std::thread thread_;
  // Stream thread only.
  bool streamEnded_ = false;
  StreamEnd end_ = StreamEnd::kStopped;
  int silentReads_ = 0;          // reads in a row that brought no report at all
  int fruitlessReconnects_ = 0;  // reconnects in a row without a frame between them
  int failedReopens_ = 0;        // reopens in a row that failed
  bool draining_ = false;
  std::chrono::steady_clock::time_point drainEnd_;
  Frame frame_{};
};

}  // namespace vireo
