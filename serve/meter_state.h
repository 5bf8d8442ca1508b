// MeterState: what the service knows of one meter across its streams: the newest readings, the
// energy and charge integrated frame by frame over covered time, the frames, gaps and drops. A
// feed subscriber that does only arithmetic under a small lock, so a scrape or a publisher that
// takes a snapshot never holds up the stream. Kept for the whole run, across unplugs.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "acquire/frame_subscriber.h"

namespace vireo::serve {

// Frames further apart than this are separated by a gap: nothing is integrated across it. The
// same threshold as a recording's --gap-after default.
inline constexpr int64_t kGapAfterNs = 1'000'000'000;

// Frames or reports lost, by why.
struct DroppedFrames {
  uint64_t badLength = 0;
  uint64_t badChecksum = 0;
  uint64_t wrongCode = 0;
  uint64_t queueFull = 0;  // a consumer of the frames (the store) fell behind
};

// An alarm of the meter and whether it is raised now.
struct AlarmStatus {
  std::string name;
  bool raised = false;
};

// One meter at one moment, as the exposition, the JSON and MQTT show it.
struct MeterSnapshot {
  std::string serial;
  std::string firmware;    // "1.5"
  bool streaming = false;  // a stream runs (the meter is attached and opened)
  bool silent = false;     // streaming, but no frame for longer than kGapAfterNs
  bool haveReadings = false;
  ReadingsRecord readings;
  uint64_t frames = 0;
  uint64_t gaps = 0;  // an open gap counts already
  double gapSeconds = 0;
  double energyJoules = 0;
  double chargeCoulombs = 0;
  int64_t lastFrameWallNs = 0;
  DroppedFrames dropped;
  std::vector<AlarmStatus> alarms;  // in the order of the rules

  bool connected() const { return streaming && !silent; }
};

class MeterState final : public FrameSubscriber {
 public:
  MeterState(std::string serial, std::string firmware);

  void OnFrame(const TimedReadings& frame) noexcept override;
  void OnStreamEnd(StreamEnd end) noexcept override;

  // A stream of this meter starts (again); the next frame closes the gap the last one left.
  void StreamStarted(std::string firmware);
  // Drops as the stream and the queues count them, in all since the run began.
  void SetDropped(const DroppedFrames& dropped);
  // The alarms watched, none raised; then each change.
  void SetAlarmNames(const std::vector<std::string>& names);
  void SetAlarm(const std::string& name, bool raised);

  // The state at `nowNs` (CLOCK_BOOTTIME; taken now when 0). Counters never fall between two
  // snapshots, whichever thread takes them.
  MeterSnapshot Snapshot(int64_t nowNs = 0) const;
  const std::string& serial() const { return serial_; }

 private:
  const std::string serial_;
  mutable std::mutex mutex_;
  std::string firmware_;
  bool streaming_ = false;
  bool haveFrame_ = false;
  bool afterEnd_ = false;  // the next frame is the first of a new stream
  ReadingsRecord last_;
  int64_t lastFrameNs_ = 0;
  int64_t lastFrameWallNs_ = 0;
  int64_t streamStartNs_ = 0;
  uint64_t frames_ = 0;
  uint64_t gaps_ = 0;
  int64_t gapNs_ = 0;
  double energyJoules_ = 0;
  double chargeCoulombs_ = 0;
  DroppedFrames dropped_;
  std::vector<AlarmStatus> alarms_;
  // The latest moment a snapshot has shown: a gap closes no earlier, so its length never
  // shrinks below what a scrape already saw.
  mutable int64_t shownNs_ = 0;
};

}  // namespace vireo::serve
