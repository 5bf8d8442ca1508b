// The feed: every frame to every subscriber, in order and numbered, a slow consumer that
// cannot hold the others up, and the end of the stream told to each.
#include "acquire/live_stream.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

#include "acquire/frame_queue.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::WaitFor;

bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 1;
}

// Takes a queue's frames on a thread of its own until the stream's end.
class Consumer {
 public:
  explicit Consumer(FrameQueue& queue)
      : thread_([this, &queue] {
          std::vector<TimedReadings> taken;
          while (!end_) {
            Readable(queue.WakeFd(), 100);
            const std::optional<StreamEnd> end = queue.Take(taken);
            std::lock_guard lock(mutex_);
            frames_.insert(frames_.end(), taken.begin(), taken.end());
            if (end)
              end_ = *end;
          }
        }) {}
  ~Consumer() { thread_.join(); }

  std::vector<TimedReadings> frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::optional<StreamEnd> end() {
    std::lock_guard lock(mutex_);
    return end_;
  }

 private:
  std::mutex mutex_;
  std::vector<TimedReadings> frames_;
  std::optional<StreamEnd> end_;
  std::thread thread_;
};

class LiveStreamTest : public testing::VirtualMeterTest {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    link_.Configure();
  }
  sim::VirtualMeter& Plug(uint32_t intervalUs) {
    sim::EmulatorOptions options;
    options.frameIntervalUs = intervalUs;
    return PlugMeter(options);
  }
  MeterLink link_;
};

TEST(FrameQueueTest, EveryFrameArrivesOnceAndInOrderWhileTheConsumerTakesBunches) {
  FrameQueue queue;
  ASSERT_TRUE(queue.IsValid());
  constexpr int kFrames = 200'000;
  std::thread producer([&] {
    for (int i = 0; i < kFrames; ++i) {
      TimedReadings f;
      f.readings.spare1 = static_cast<float>(i);
      f.monotonicNs = i;
      queue.OnFrame(f);
    }
  });
  std::vector<TimedReadings> taken;
  int64_t next = 0;
  while (next < kFrames) {
    // Each wake-up announces frames: a reader that waits on the descriptor misses none.
    ASSERT_TRUE(Readable(queue.WakeFd(), 10'000)) << "stuck at frame " << next;
    queue.Take(taken);
    for (const TimedReadings& f : taken)
      ASSERT_EQ(f.monotonicNs, next++);
  }
  producer.join();
  queue.Take(taken);
  EXPECT_TRUE(taken.empty());
  EXPECT_FALSE(Readable(queue.WakeFd(), 0));
  EXPECT_EQ(queue.dropped(), 0u);
}

TEST_F(LiveStreamTest, ASubscriberThatStallsForASecondCostsTheOthersNoFrame) {
  Plug(1000);
  FrameQueue fast;
  FrameQueue slow(64);
  LiveStream stream(link_);
  stream.Subscribe(fast);
  stream.Subscribe(slow);
  std::optional<Consumer> consumer;
  consumer.emplace(fast);
  ASSERT_EQ(stream.Start("ABCDEF"), LiveStream::StartError::kNone);
  // The slow subscriber takes nothing for a second while about a thousand frames arrive.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::vector<TimedReadings> late;
  slow.Take(late);
  EXPECT_EQ(late.size(), 64u);
  EXPECT_GT(slow.dropped(), 500u);
  stream.RequestStop();
  ASSERT_TRUE(WaitFor([&] { return consumer->end().has_value(); }));
  EXPECT_EQ(consumer->end(), StreamEnd::kStopped);
  const std::vector<TimedReadings> frames = consumer->frames();
  ASSERT_GT(frames.size(), 500u);
  EXPECT_EQ(frames.size(), stream.Published());
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i].number, i + 1);
    ASSERT_EQ(frames[i].readings.spare1, frames[0].readings.spare1 + i) << "frame " << i;
    ASSERT_EQ(frames[i].serial, "ABCDEF");
    if (i > 0) {
      ASSERT_GE(frames[i].monotonicNs, frames[i - 1].monotonicNs);
    }
  }
  EXPECT_EQ(stream.Drops().Total(), 0u);
}

TEST_F(LiveStreamTest, EachSubscriberHearsHowTheStreamEnded) {
  sim::VirtualMeter& meter = Plug(1000);
  FrameQueue queue;
  StreamEnd told = StreamEnd::kStopped;
  bool toldLast = false;
  LiveStream stream(link_, {.pass = {}, .ended = [&](StreamEnd end) {
                              told = end;
                              // The hook comes after every subscriber has heard the end.
                              std::vector<TimedReadings> rest;
                              toldLast = queue.Take(rest).has_value();
                            }});
  stream.Subscribe(queue);
  ASSERT_EQ(stream.Start("ABCDEF"), LiveStream::StartError::kNone);
  std::vector<TimedReadings> frames;
  ASSERT_TRUE(Readable(queue.WakeFd(), 5000));
  meter.Unplug();
  ASSERT_TRUE(WaitFor([&] { return !stream.Running(); }));
  EXPECT_EQ(told, StreamEnd::kMeterGone);
  EXPECT_TRUE(toldLast);
  EXPECT_FALSE(link_.IsOpen());
}

TEST_F(LiveStreamTest, AMeterThatStaysListedButRefusesEndsTheStreamWhenALimitIsSet) {
  sim::VirtualMeter& meter = Plug(1000);
  sim::VirtualMeter& refusing = PlugMeter({}, "zz-refusing");
  refusing.faults().refuseOpens = true;
  FrameQueue queue;
  LiveStreamOptions options;
  options.refusedReopenLimit = 3;
  LiveStream stream(link_, {}, options);
  stream.Subscribe(queue);
  ASSERT_EQ(stream.Start("ABCDEF"), LiveStream::StartError::kNone);
  ASSERT_TRUE(Readable(queue.WakeFd(), 5000));
  meter.Unplug();  // the reopen finds only the meter that refuses every client
  std::vector<TimedReadings> frames;
  std::optional<StreamEnd> end;
  ASSERT_TRUE(WaitFor([&] {
    Readable(queue.WakeFd(), 100);
    end = queue.Take(frames);
    return end.has_value();
  }));
  EXPECT_EQ(end, StreamEnd::kMeterRefused);
}

}  // namespace
}  // namespace vireo
