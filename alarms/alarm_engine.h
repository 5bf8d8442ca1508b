// AlarmEngine: the rules of one meter applied to its live frames. A rule is raised when its
// condition has held for its duration and cleared when its clear condition holds (hysteresis);
// each raise and clear goes to the listener as an event with its times, the rule, the value
// that caused it and the meter's serial. A value the frame does not have (no external probe,
// not a number) neither raises nor clears. Free of I/O and clocks: one thread feeds it the
// frames it takes from its FrameQueue and ticks it when frames stop, up to NextDeadline(), so
// durations end and "meter lost" rules are raised without frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquire/timed_readings.h"
#include "alarms/alarm_rule.h"

namespace vireo::alarms {

enum class AlarmState { kRaised, kCleared };

// "raised" or "cleared".
const char* AlarmStateText(AlarmState state);

struct AlarmEvent {
  size_t rule = 0;  // index into the engine's rules
  std::string name;
  AlarmState state = AlarmState::kRaised;
  std::string_view quantity;  // a name of kAlarmQuantities, or kMeterLostQuantity
  // In the quantity's unit (V, A, W, degrees Celsius); for "meter lost" the seconds without
  // frames so far (raised) or in all (cleared).
  double value = 0;
  std::string serial;
  int64_t monotonicNs = 0;  // CLOCK_BOOTTIME, as the frames carry it
  int64_t wallNs = 0;       // CLOCK_REALTIME
};

// What caused the event, for people: "voltage 5.31V", "no frame for 5 s", "frames again after
// 7.25 s".
std::string AlarmValueText(const AlarmEvent& event);
// "overvolt raised: voltage 5.31V".
std::string AlarmEventText(const AlarmEvent& event);

// What hears the events of an engine, on the engine's thread; it hands slow work on.
class AlarmListener {
 public:
  virtual ~AlarmListener() = default;
  virtual void OnAlarm(const AlarmEvent& event) = 0;
};

class AlarmEngine {
 public:
  AlarmEngine(std::vector<AlarmRule> rules, AlarmListener& listener);

  // The serial that events carry before the first frame brings one.
  void SetSerial(std::string serial) { serial_ = std::move(serial); }
  void OnFrame(const TimedReadings& frame);
  // Time passes without frames: durations end, the meter counts as lost.
  void OnTick(int64_t monotonicNs, int64_t wallNs);
  // The next moment at which OnTick has something to do; INT64_MAX if none.
  int64_t NextDeadline() const;

  const std::vector<AlarmRule>& rules() const { return rules_; }
  bool Raised(size_t rule) const { return states_[rule].raised; }

 private:
  struct RuleState {
    bool raised = false;
    bool armed = false;            // a fall may be raised: the value was at the clear level
    std::optional<int64_t> since;  // the raise condition has held since then
    double value = 0;              // the last value the rule saw
  };

  void Start(int64_t monotonicNs);
  void Emit(size_t rule, AlarmState state, double value, int64_t monotonicNs, int64_t wallNs);

  const std::vector<AlarmRule> rules_;
  AlarmListener& listener_;
  std::vector<RuleState> states_;
  std::string serial_;
  bool started_ = false;
  int64_t lastFrameNs_ = 0;  // the last frame, or the start before the first
};

}  // namespace vireo::alarms
