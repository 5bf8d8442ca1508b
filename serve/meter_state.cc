#include "serve/meter_state.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vireo::serve {

namespace {

// The mean of two readings' magnitudes; 0 when either is not a number, so a bad reading
// contributes nothing rather than poisoning the counter. Counters count the magnitude: a
// current that flows backwards still moves charge, and a counter never falls.
double MeanMagnitude(float a, float b) {
  if (!std::isfinite(a) || !std::isfinite(b))
    return 0;
  return (std::fabs(double{a}) + std::fabs(double{b})) / 2;
}

}  // namespace

MeterState::MeterState(std::string serial, std::string firmware)
    : serial_(std::move(serial)), firmware_(std::move(firmware)) {}

void MeterState::OnFrame(const TimedReadings& frame) noexcept {
  std::lock_guard lock(mutex_);
  const int64_t t = frame.monotonicNs;
  if (haveFrame_) {
    // A gap ends no earlier than a snapshot has already shown it open.
    const int64_t seen = std::max(t, shownNs_);
    if (afterEnd_ || seen - lastFrameNs_ > kGapAfterNs) {
      ++gaps_;
      gapNs_ += seen - lastFrameNs_;
    } else if (t > lastFrameNs_) {
      const double seconds = (t - lastFrameNs_) / 1e9;
      energyJoules_ += MeanMagnitude(last_.power, frame.readings.power) * seconds;
      chargeCoulombs_ += MeanMagnitude(last_.current, frame.readings.current) * seconds;
    }
  }
  haveFrame_ = true;
  afterEnd_ = false;
  last_ = frame.readings;
  lastFrameNs_ = std::max(t, lastFrameNs_);
  lastFrameWallNs_ = frame.wallNs;
  ++frames_;
}

void MeterState::OnStreamEnd(StreamEnd) noexcept {
  std::lock_guard lock(mutex_);
  streaming_ = false;
  afterEnd_ = true;
}

void MeterState::StreamStarted(std::string firmware) {
  const int64_t now = ClockNs(CLOCK_BOOTTIME);
  std::lock_guard lock(mutex_);
  firmware_ = std::move(firmware);
  streaming_ = true;
  streamStartNs_ = now;
}

void MeterState::SetDropped(const DroppedFrames& dropped) {
  std::lock_guard lock(mutex_);
  dropped_ = dropped;
}

void MeterState::SetAlarmNames(const std::vector<std::string>& names) {
  std::lock_guard lock(mutex_);
  alarms_.clear();
  for (const std::string& name : names)
    alarms_.push_back({name, false});
}

void MeterState::SetAlarm(const std::string& name, bool raised) {
  std::lock_guard lock(mutex_);
  for (AlarmStatus& a : alarms_) {
    if (a.name == name)
      a.raised = raised;
  }
}

MeterSnapshot MeterState::Snapshot(int64_t nowNs) const {
  MeterSnapshot s;
  s.serial = serial_;
  std::lock_guard lock(mutex_);
  const int64_t now = nowNs != 0 ? nowNs : ClockNs(CLOCK_BOOTTIME);
  shownNs_ = std::max(shownNs_, now);
  const bool gapOpen = haveFrame_ && (afterEnd_ || now - lastFrameNs_ > kGapAfterNs);
  const int64_t lastSign = haveFrame_ && !afterEnd_ ? lastFrameNs_ : streamStartNs_;
  s.firmware = firmware_;
  s.streaming = streaming_;
  s.silent = streaming_ && now - lastSign > kGapAfterNs;
  s.haveReadings = haveFrame_;
  s.readings = last_;
  s.frames = frames_;
  s.gaps = gaps_ + (gapOpen ? 1 : 0);
  s.gapSeconds = (gapNs_ + (gapOpen ? std::max<int64_t>(0, now - lastFrameNs_) : 0)) / 1e9;
  s.energyJoules = energyJoules_;
  s.chargeCoulombs = chargeCoulombs_;
  s.lastFrameWallNs = lastFrameWallNs_;
  s.dropped = dropped_;
  s.alarms = alarms_;
  return s;
}

}  // namespace vireo::serve
