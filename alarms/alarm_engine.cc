#include "alarms/alarm_engine.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace vireo::alarms {

const char* AlarmStateText(AlarmState state) {
  return state == AlarmState::kRaised ? "raised" : "cleared";
}

std::string AlarmValueText(const AlarmEvent& event) {
  char text[96];
  if (event.quantity == kMeterLostQuantity) {
    std::snprintf(
        text, sizeof text,
        event.state == AlarmState::kRaised ? "no frame for %.3g s" : "frames again after %.3g s",
        event.value);
    return text;
  }
  std::string_view unit;
  for (const AlarmQuantity& q : kAlarmQuantities) {
    if (q.name == event.quantity)
      unit = UnitSymbol(q.unit);
  }
  std::snprintf(text, sizeof text, "%.*s %.6g%.*s", static_cast<int>(event.quantity.size()),
                event.quantity.data(), event.value, static_cast<int>(unit.size()), unit.data());
  return text;
}

std::string AlarmEventText(const AlarmEvent& event) {
  return event.name + " " + AlarmStateText(event.state) + ": " + AlarmValueText(event);
}

AlarmEngine::AlarmEngine(std::vector<AlarmRule> rules, AlarmListener& listener)
    : rules_(std::move(rules)), listener_(listener), states_(rules_.size()) {
  for (size_t i = 0; i < rules_.size(); ++i)
    states_[i].armed = !rules_[i].WaitsForRise();
}

void AlarmEngine::Start(int64_t monotonicNs) {
  if (!started_) {
    started_ = true;
    lastFrameNs_ = monotonicNs;
  }
}

void AlarmEngine::Emit(size_t rule, AlarmState state, double value, int64_t monotonicNs,
                       int64_t wallNs) {
  states_[rule].raised = state == AlarmState::kRaised;
  listener_.OnAlarm({rule, rules_[rule].name, state, rules_[rule].QuantityName(), value, serial_,
                     monotonicNs, wallNs});
}

void AlarmEngine::OnFrame(const TimedReadings& frame) {
  Start(frame.monotonicNs);
  if (!frame.serial.empty() && frame.serial != serial_)
    serial_ = frame.serial;
  const int64_t t = frame.monotonicNs;
  for (size_t i = 0; i < rules_.size(); ++i) {
    const AlarmRule& rule = rules_[i];
    RuleState& s = states_[i];
    if (rule.meterLost) {
      if (s.raised)
        Emit(i, AlarmState::kCleared, (t - lastFrameNs_) / 1e9, t, frame.wallNs);
      continue;
    }
    const std::optional<double> value =
        QuantityValue(kAlarmQuantities[rule.quantity], frame.readings);
    if (!value) {
      s.since.reset();
      continue;
    }
    s.value = *value;
    if (s.raised) {
      if (rule.ClearHolds(*value))
        Emit(i, AlarmState::kCleared, *value, t, frame.wallNs);
      continue;
    }
    if (!s.armed) {
      s.armed = rule.ClearHolds(*value);
      continue;
    }
    if (!rule.raise.Holds(*value)) {
      s.since.reset();
      continue;
    }
    if (!s.since)
      s.since = t;
    if (t - *s.since >= rule.forNs) {
      s.since.reset();
      Emit(i, AlarmState::kRaised, *value, t, frame.wallNs);
    }
  }
  lastFrameNs_ = std::max(lastFrameNs_, t);
}

void AlarmEngine::OnTick(int64_t monotonicNs, int64_t wallNs) {
  Start(monotonicNs);
  for (size_t i = 0; i < rules_.size(); ++i) {
    const AlarmRule& rule = rules_[i];
    RuleState& s = states_[i];
    if (rule.meterLost) {
      if (!s.raised && monotonicNs - lastFrameNs_ >= rule.forNs)
        Emit(i, AlarmState::kRaised, (monotonicNs - lastFrameNs_) / 1e9, monotonicNs, wallNs);
    } else if (s.since && monotonicNs - *s.since >= rule.forNs) {
      // The last value still holds: no frame has said otherwise.
      s.since.reset();
      Emit(i, AlarmState::kRaised, s.value, monotonicNs, wallNs);
    }
  }
}

int64_t AlarmEngine::NextDeadline() const {
  int64_t next = INT64_MAX;
  for (size_t i = 0; i < rules_.size(); ++i) {
    const RuleState& s = states_[i];
    if (rules_[i].meterLost && !s.raised)
      next = std::min(next, (started_ ? lastFrameNs_ : 0) + rules_[i].forNs);
    else if (s.since)
      next = std::min(next, *s.since + rules_[i].forNs);
  }
  return next;
}

}  // namespace vireo::alarms
