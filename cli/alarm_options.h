// The alarm options that the live commands share (--alarm, --alarms, --on-alarm,
// --exit-on-alarm), and CommandAlarms, the alarms of one run made from them: the engine with
// its rules fed on the command's thread, one line on standard error per event, the program of
// --on-alarm, and the end of the command when an alarm of --exit-on-alarm is raised.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "alarms/alarm_engine.h"
#include "alarms/alarm_program.h"
#include "record/recorder.h"

namespace vireo::cli {

// The exit status when an alarm of --exit-on-alarm was raised.
inline constexpr int kExitAlarm = 3;

struct AlarmOptions {
  std::vector<std::string> rules;    // --alarm
  std::vector<std::string> files;    // --alarms
  std::vector<std::string> program;  // --on-alarm PROGRAM [ARGS...]
  std::vector<std::string> exitOn;   // --exit-on-alarm
};

// Adds the four options to a command, and a paragraph on them to its help.
void AddAlarmOptions(CLI::App& command, AlarmOptions& options);

class CommandAlarms final : public alarms::AlarmListener, public record::RecordWatcher {
 public:
  // The alarms the options ask for; null when they ask for none, and then `errors` says why
  // when the options are wrong (a usage error, one sentence each). `say` tells each event and
  // what went wrong with a program, one line at a time (standard error when none).
  static std::unique_ptr<CommandAlarms> Make(const AlarmOptions& options,
                                             std::vector<std::string>& errors,
                                             std::function<void(const std::string&)> say = nullptr);
  ~CommandAlarms() override;
  // The exit status for the errors of Make: 1 when an alarms file cannot be read (a file that
  // failed), else 2 (usage).
  static int ErrorStatus(const AlarmOptions& options);

  // Each event also goes here, after its line (record: into the store).
  void OnEvent(std::function<void(const alarms::AlarmEvent&)> also) { also_ = std::move(also); }
  // The serial of events before the first frame.
  void SetSerial(std::string serial) { engine_->SetSerial(std::move(serial)); }

  void OnFrames(const std::vector<TimedReadings>& frames) override;
  // Time passes (CLOCK_BOOTTIME); true once an alarm of --exit-on-alarm has been raised.
  bool OnTick(int64_t nowNs) override;
  int64_t NextDeadline() const override { return engine_->NextDeadline(); }
  bool ExitRequested() const { return exitRequested_; }
  // The rules, in the order events number them, and which are raised now.
  const std::vector<alarms::AlarmRule>& rules() const { return engine_->rules(); }
  bool Raised(size_t rule) const { return engine_->Raised(rule); }

  void OnAlarm(const alarms::AlarmEvent& event) override;

 private:
  CommandAlarms() = default;

  std::unique_ptr<alarms::AlarmEngine> engine_;
  std::unique_ptr<alarms::AlarmProgram> program_;
  std::vector<bool> exitOn_;  // by rule
  bool exitRequested_ = false;
  std::function<void(const std::string&)> say_;
  std::function<void(const alarms::AlarmEvent&)> also_;
};

}  // namespace vireo::cli
