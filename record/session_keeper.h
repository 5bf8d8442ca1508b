// SessionKeeper: turns the frames of the live stream and what happens to the meter into
// sessions: starts them (at once, or when the current rises above a threshold, keeping a
// pre-roll), opens a gap at the last frame when the meter is lost and closes it at the first
// new frame, keeps the statistics, and ends sessions on a stop trigger, a limit or a request.
// Free of I/O and clocks: every call carries its time, so it is tested with plain values.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "acquire/timed_readings.h"
#include "record/session_sink.h"
#include "record/session_stats.h"

namespace vireo::record {

struct TriggerSettings {
  std::optional<double> startAbove;  // A
  double preRollSeconds = 0;
  std::optional<double> stopBelow;  // A
  double stopForSeconds = 10;
  std::optional<double> durationSeconds;
  std::optional<double> maxEnergyWh;
  std::optional<double> maxChargeMah;
  double gapAfterSeconds = 1;  // silence after which the meter counts as lost

  // Empty when the settings make sense, else what is wrong, in one line.
  std::string Check() const;
  // The settings as a JSON object, for the store.
  std::string ToJson() const;
};

class SessionKeeper {
 public:
  SessionKeeper(const TriggerSettings& settings, SessionSink& sink);

  // The meter's identity, for the sessions that start from now on.
  void SetMeter(std::string serial, std::string firmware);

  void OnFrame(const TimedReadings& frame);
  // The stream ended or went silent: a gap opens at the last frame.
  void OnMeterLost(int64_t nowNs, const std::string& cause);
  // The stream runs again (the gap closes at its first frame).
  void OnStreamStarted(int64_t nowNs);
  void OnEvent(int64_t nowNs, const std::string& kind, const std::string& detail);
  // Time passes: silence turns into a gap, a duration limit ends the session.
  void OnTick(int64_t nowNs);
  // Ends the running session, if any, and the run.
  void Stop(int64_t nowNs, EndReason reason);

  // The next moment at which OnTick has something to do; INT64_MAX if none.
  int64_t NextDeadline() const;
  bool SessionActive() const { return active_; }
  // No more sessions will start: a limit was reached, or a stop trigger without a start one.
  bool Finished() const { return finished_; }
  // The running session's figures up to now, for the store's batches.
  Summary Snapshot(int64_t nowNs) const;
  int64_t sessionsStarted() const { return sessionsStarted_; }
  // The summary of the last session that ended.
  const std::optional<SessionEnd>& lastEnd() const { return lastEnd_; }

 private:
  void Begin(int64_t startMonoNs, int64_t startWallNs);
  // live: the frame may end the session (pre-roll frames may not).
  void AddSample(const TimedReadings& frame, bool live);
  void OpenGap(int64_t fromNs, const std::string& cause);
  void CloseGap(int64_t toNs);
  // Ends the session at endNs (since its start).
  void End(int64_t endNs, EndReason reason);
  int64_t Since(int64_t monoNs) const { return monoNs - startMonoNs_; }

  const TriggerSettings settings_;
  SessionSink& sink_;
  std::string serial_, firmware_;

  bool finished_ = false;
  bool active_ = false;
  bool streaming_ = true;
  int64_t sessionsStarted_ = 0;
  // While armed: frames within the pre-roll, and whether the current was last above.
  std::deque<TimedReadings> preRoll_;
  bool wasAbove_ = false;
  int64_t lastFrameMonoNs_ = 0;
  bool haveFrame_ = false;  // since the stream (re)started
  bool silenceNoted_ = false;
  int64_t streamStartMonoNs_ = 0;

  // The running session.
  int64_t startMonoNs_ = 0;
  int64_t lastSampleNs_ = -1;
  bool gapOpen_ = false;
  GapRecord gap_;
  bool afterGap_ = false;
  std::optional<int64_t> belowSinceNs_;
  SessionStats stats_;
  std::optional<SessionEnd> lastEnd_;
};

}  // namespace vireo::record
