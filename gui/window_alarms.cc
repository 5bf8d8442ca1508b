#include "gui/window_alarms.h"

#include <time.h>

#include <QFile>
#include <algorithm>
#include <climits>

#include "alarms/alarm_rule.h"

namespace vireo {
namespace {

// A deadline far ahead is looked at again after this long; the timer's range is limited.
constexpr int64_t kLongestWaitMs = 60 * 60 * 1000;

}  // namespace

WindowAlarms::WindowAlarms(LiveStream& stream, const TextTable& texts, Reporter& reporter,
                           QObject* parent)
    : QObject(parent),
      texts_(texts),
      reporter_(reporter),
      batches_(queue_, [this] { Drain(); }),
      notifier_(this) {
  stream.Subscribe(queue_);
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &WindowAlarms::Tick);
  Reset();
}

void WindowAlarms::Load(const std::string& path) {
  alarms::RuleSet set;
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) {
    reporter_.AppendLog(
        FillIn(texts_.Extra("alarms_unreadable"), {path, file.errorString().toStdString()}),
        LogLevel::kWarning);
    reporter_.NewLogLine();
  } else {
    set.AddFile(file.readAll().toStdString(), path);
  }
  for (const std::string& error : set.errors) {
    reporter_.AppendLog(FillIn(texts_.Extra("alarm_not_used"), {error}), LogLevel::kWarning);
    reporter_.NewLogLine();
  }
  rules_ = std::move(set.rules);
  Reset();
  Schedule();
  Q_EMIT changed();
}

void WindowAlarms::Reset() {
  alarms::AlarmListener& listener = *this;
  engine_ = std::make_unique<alarms::AlarmEngine>(rules_, listener);
}

void WindowAlarms::StreamStarted() {
  timeRuns_ = true;
  Schedule();
}

bool WindowAlarms::Raised(std::string_view quantity) const {
  for (size_t i = 0; i < rules_.size(); ++i) {
    if (rules_[i].QuantityName() == quantity && engine_->Raised(i)) {
      return true;
    }
  }
  return false;
}

void WindowAlarms::Drain() {
  const std::optional<StreamEnd> end = queue_.Take(frames_);
  for (const TimedReadings& frame : frames_) {
    engine_->OnFrame(frame);
  }
  if (end == StreamEnd::kStopped) {
    // STOP ends the watch; the next stream starts afresh. A meter that went away stays
    // watched, so "meter lost" is raised.
    timeRuns_ = false;
    timer_.stop();
    Reset();
    Q_EMIT changed();
    return;
  }
  Schedule();
}

void WindowAlarms::Tick() {
  if (timeRuns_) {
    engine_->OnTick(ClockNs(CLOCK_BOOTTIME), ClockNs(CLOCK_REALTIME));
  }
  Schedule();
}

void WindowAlarms::Schedule() {
  const int64_t deadline = engine_->NextDeadline();
  if (!timeRuns_ || deadline == INT64_MAX) {
    timer_.stop();
    return;
  }
  // Rounded up: a tick before the deadline would do nothing and come again at once.
  const int64_t waitNs = deadline - ClockNs(CLOCK_BOOTTIME);
  const int64_t waitMs = std::clamp<int64_t>((waitNs + 999'999) / 1'000'000, 0, kLongestWaitMs);
  timer_.start(static_cast<int>(waitMs));
}

void WindowAlarms::OnAlarm(const alarms::AlarmEvent& event) {
  const bool raised = event.state == alarms::AlarmState::kRaised;
  const std::string line =
      FillIn(raised ? texts_.Extra("alarm_raised") : texts_.Extra("alarm_cleared"),
             {event.name, alarms::AlarmValueText(event)});
  reporter_.AppendLog(line, raised ? LogLevel::kError : LogLevel::kSuccess);
  reporter_.NewLogLine();
  if (raised) {
    reporter_.Beep(false);
  }
  const std::string body =
      event.serial.empty() ? std::string() : FillIn(texts_.Extra("alarm_meter"), {event.serial});
  notifier_.Notify(
      QString::fromStdString(event.name), QString::fromStdString(line),
      QString::fromStdString(body),
      raised ? DesktopNotifier::Urgency::kCritical : DesktopNotifier::Urgency::kNormal);
  Q_EMIT changed();
}

}  // namespace vireo
