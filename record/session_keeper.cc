#include "record/session_keeper.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <utility>

namespace vireo::record {

namespace {

// The longest time a setting may give: half of what the nanosecond clock holds, so that a
// moment plus it still fits.
constexpr double kLongestSeconds = static_cast<double>(INT64_MAX / 2 / 1'000'000'000);

int64_t ToNs(double seconds) {
  return static_cast<int64_t>(std::llround(seconds * 1e9));
}

// Sample times are kept to the microsecond, as the store holds them.
int64_t ToMicrosecond(int64_t ns) {
  return ns / 1000 * 1000;
}

std::string Amperes(double a) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g A", a);
  return text;
}

}  // namespace

const char* EndReasonText(EndReason reason) {
  switch (reason) {
    case EndReason::kStopped:
      return "stopped";
    case EndReason::kLimit:
      return "limit";
    case EndReason::kTrigger:
      return "trigger";
    case EndReason::kInterrupted:
      return "interrupted";
    case EndReason::kDiskFull:
      return "disk full";
    case EndReason::kMeterRefused:
      return "meter refused";
  }
  return "stopped";
}

std::string TriggerSettings::Check() const {
  const auto bad = [](const std::optional<double>& v) { return v && !std::isfinite(*v); };
  if (bad(startAbove) || bad(stopBelow) || !std::isfinite(preRollSeconds) ||
      !std::isfinite(stopForSeconds) || bad(durationSeconds) || bad(maxEnergyWh) ||
      bad(maxChargeMah) || !std::isfinite(gapAfterSeconds))
    return "every value must be a finite number";
  const std::pair<const char*, std::optional<double>> times[] = {{"--pre-roll", preRollSeconds},
                                                                 {"--for", stopForSeconds},
                                                                 {"--duration", durationSeconds},
                                                                 {"--gap-after", gapAfterSeconds}};
  for (const auto& [option, seconds] : times) {
    if (seconds && *seconds > kLongestSeconds) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "%s of %g seconds is beyond the range of the clock (at most %.0f seconds, "
                    "about %.0f years)",
                    option, *seconds, kLongestSeconds, kLongestSeconds / (365.25 * 86400));
      return text;
    }
  }
  if (preRollSeconds < 0)
    return "--pre-roll must not be negative";
  if (stopForSeconds < 0)
    return "--for must not be negative";
  if (durationSeconds && *durationSeconds <= 0)
    return "--duration must be above 0";
  if (maxEnergyWh && *maxEnergyWh <= 0)
    return "--max-energy must be above 0";
  if (maxChargeMah && *maxChargeMah <= 0)
    return "--max-charge must be above 0";
  if (!(gapAfterSeconds > 0))
    return "--gap-after must be above 0";
  if (preRollSeconds > 0 && !startAbove)
    return "--pre-roll needs --start-above";
  if (startAbove && stopBelow && *stopBelow > *startAbove)
    return "--stop-below (" + Amperes(*stopBelow) + ") must not be above --start-above (" +
           Amperes(*startAbove) + ")";
  return {};
}

std::string TriggerSettings::ToJson() const {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  const auto put = [&j](const char* key, const std::optional<double>& v) {
    if (v)
      j[key] = *v;
  };
  put("startAbove", startAbove);
  if (startAbove)
    j["preRoll"] = preRollSeconds;
  put("stopBelow", stopBelow);
  if (stopBelow)
    j["for"] = stopForSeconds;
  put("duration", durationSeconds);
  put("maxEnergyWh", maxEnergyWh);
  put("maxChargeMah", maxChargeMah);
  j["gapAfter"] = gapAfterSeconds;
  return j.dump();
}

SessionKeeper::SessionKeeper(const TriggerSettings& settings, SessionSink& sink)
    : settings_(settings), sink_(sink) {}

void SessionKeeper::SetMeter(std::string serial, std::string firmware) {
  serial_ = std::move(serial);
  firmware_ = std::move(firmware);
}

void SessionKeeper::OnFrame(const TimedReadings& frame) {
  if (finished_)
    return;
  lastFrameMonoNs_ = frame.monotonicNs;
  haveFrame_ = true;
  silenceNoted_ = false;
  if (active_) {
    AddSample(frame, true);
    return;
  }
  if (!settings_.startAbove) {
    Begin(frame.monotonicNs, frame.wallNs);
    AddSample(frame, true);
    return;
  }
  preRoll_.push_back(frame);
  const int64_t keepFrom = frame.monotonicNs - ToNs(settings_.preRollSeconds);
  while (preRoll_.front().monotonicNs < keepFrom)
    preRoll_.pop_front();
  const bool above = frame.readings.current > *settings_.startAbove;
  const bool crossing = above && !wasAbove_;
  wasAbove_ = above;
  if (!crossing)
    return;
  Begin(preRoll_.front().monotonicNs, preRoll_.front().wallNs);
  // The crossing frame is the last of the pre-roll; only it and later frames may end the
  // session.
  for (size_t i = 0; i + 1 < preRoll_.size(); ++i)
    AddSample(preRoll_[i], false);
  sink_.Event(
      {ToMicrosecond(Since(frame.monotonicNs)), "trigger start",
       "current " + Amperes(frame.readings.current) + " above " + Amperes(*settings_.startAbove)});
  preRoll_.clear();
  AddSample(frame, true);
}

void SessionKeeper::Begin(int64_t startMonoNs, int64_t startWallNs) {
  active_ = true;
  ++sessionsStarted_;
  startMonoNs_ = startMonoNs;
  lastSampleNs_ = -1;
  gapOpen_ = false;
  afterGap_ = false;
  belowSinceNs_.reset();
  stats_ = SessionStats();
  sink_.BeginSession({sessionsStarted_, startWallNs, serial_, firmware_, settings_.ToJson()});
}

void SessionKeeper::AddSample(const TimedReadings& frame, bool live) {
  if (!active_)
    return;
  int64_t t = ToMicrosecond(Since(frame.monotonicNs));
  if (t <= lastSampleNs_)
    t = lastSampleNs_ + 1000;
  if (settings_.durationSeconds) {
    const int64_t limit = ToNs(*settings_.durationSeconds);
    if (t > limit) {
      End(gapOpen_ ? limit : lastSampleNs_, EndReason::kLimit);
      return;
    }
  }
  if (gapOpen_) {
    CloseGap(t);
    sink_.Event({t, "meter back", serial_});
  }
  stats_.AddSample(t, frame.readings, afterGap_);
  afterGap_ = false;
  sink_.Sample(t, frame.readings);
  lastSampleNs_ = t;
  if (!live)
    return;

  if (settings_.stopBelow) {
    if (frame.readings.current < *settings_.stopBelow) {
      if (!belowSinceNs_)
        belowSinceNs_ = t;
      if (t - *belowSinceNs_ >= ToNs(settings_.stopForSeconds)) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "current below %s for %.6g s",
                      Amperes(*settings_.stopBelow).c_str(), settings_.stopForSeconds);
        sink_.Event({t, "trigger stop", detail});
        End(t, EndReason::kTrigger);
        return;
      }
    } else {
      belowSinceNs_.reset();
    }
  }
  // Limits count the amount, whichever way the current flows.
  if ((settings_.maxEnergyWh && std::fabs(stats_.energyWh()) >= *settings_.maxEnergyWh) ||
      (settings_.maxChargeMah && std::fabs(stats_.chargeMah()) >= *settings_.maxChargeMah) ||
      (settings_.durationSeconds && t >= ToNs(*settings_.durationSeconds))) {
    End(t, EndReason::kLimit);
  }
}

void SessionKeeper::OpenGap(int64_t fromNs, const std::string& cause) {
  gapOpen_ = true;
  gap_ = {fromNs, fromNs, cause};
  belowSinceNs_.reset();
  sink_.GapOpened(fromNs, cause);
  sink_.Event({fromNs, "meter lost", cause});
}

void SessionKeeper::CloseGap(int64_t toNs) {
  gap_.toNs = std::max(toNs, gap_.fromNs);
  gapOpen_ = false;
  afterGap_ = true;
  stats_.AddGap(gap_.toNs - gap_.fromNs);
  sink_.GapClosed(gap_);
}

void SessionKeeper::OnMeterLost(int64_t, const std::string& cause) {
  streaming_ = false;
  if (!active_) {
    preRoll_.clear();
    wasAbove_ = false;
    return;
  }
  if (gapOpen_) {
    gap_.cause = cause;  // a silence that turned out to be an unplug
    return;
  }
  OpenGap(lastSampleNs_, cause);
}

void SessionKeeper::OnStreamStarted(int64_t nowNs) {
  streaming_ = true;
  haveFrame_ = false;
  silenceNoted_ = false;
  streamStartMonoNs_ = nowNs;
}

void SessionKeeper::OnEvent(int64_t nowNs, const std::string& kind, const std::string& detail) {
  if (active_)
    sink_.Event({std::max<int64_t>(0, ToMicrosecond(Since(nowNs))), kind, detail});
}

void SessionKeeper::OnTick(int64_t nowNs) {
  if (finished_)
    return;
  if (streaming_ && !silenceNoted_ &&
      nowNs - (haveFrame_ ? lastFrameMonoNs_ : streamStartMonoNs_) >
          ToNs(settings_.gapAfterSeconds)) {
    silenceNoted_ = true;
    if (active_ && !gapOpen_) {
      OpenGap(lastSampleNs_, "meter silent");
    } else if (!active_) {
      preRoll_.clear();
      wasAbove_ = false;
    }
  }
  if (active_ && settings_.durationSeconds) {
    const int64_t limit = ToNs(*settings_.durationSeconds);
    if (Since(nowNs) >= limit)
      End(gapOpen_ ? limit : lastSampleNs_, EndReason::kLimit);
  }
}

void SessionKeeper::Stop(int64_t nowNs, EndReason reason) {
  if (active_)
    End(gapOpen_ ? std::max(ToMicrosecond(Since(nowNs)), gap_.fromNs) : lastSampleNs_, reason);
  finished_ = true;
}

void SessionKeeper::End(int64_t endNs, EndReason reason) {
  if (gapOpen_)
    CloseGap(endNs);
  SessionEnd end{endNs, reason, stats_.Snapshot(endNs)};
  active_ = false;
  lastEnd_ = end;
  sink_.EndSession(end);
  if (reason == EndReason::kTrigger && settings_.startAbove) {
    wasAbove_ = false;
    preRoll_.clear();
  } else {
    finished_ = true;
  }
}

int64_t SessionKeeper::NextDeadline() const {
  int64_t next = INT64_MAX;
  if (finished_)
    return next;
  if (streaming_ && !silenceNoted_)
    next =
        (haveFrame_ ? lastFrameMonoNs_ : streamStartMonoNs_) + ToNs(settings_.gapAfterSeconds) + 1;
  if (active_ && settings_.durationSeconds)
    next = std::min(next, startMonoNs_ + ToNs(*settings_.durationSeconds));
  return next;
}

Summary SessionKeeper::Snapshot(int64_t) const {
  // As a session closed at its last sample would have it, so an interrupted session keeps
  // figures that match its end.
  return stats_.Snapshot(std::max<int64_t>(0, lastSampleNs_),
                         gapOpen_ ? std::optional<int64_t>(0) : std::nullopt);
}

}  // namespace vireo::record
