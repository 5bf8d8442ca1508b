#include "cli/alarm_options.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cli/commands.h"

namespace vireo::cli {

namespace {

void Say(const std::string& line) {
  std::fprintf(stderr, "vireometer-cli: %s\n", line.c_str());
  std::fflush(stderr);
}

int64_t WallNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

void AddAlarmOptions(CLI::App& command, AlarmOptions& options) {
  command
      .add_option("--alarm", options.rules,
                  "An alarm: 'NAME: QUANTITY OP VALUE [for DURATION] [clear OP VALUE]' or "
                  "'NAME: meter lost for DURATION' (repeatable).")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->type_name("RULE");
  command.add_option("--alarms", options.files, "Alarms from a file, one a line, # comments.")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->type_name("FILE");
  command
      .add_option("--on-alarm", options.program,
                  "Run PROGRAM with ARGS (up to the next option; none starts with -) for each "
                  "raise and clear, the event in its environment.")
      ->expected(1, -1)
      ->type_name("PROGRAM [ARGS...]");
  command
      .add_option("--exit-on-alarm", options.exitOn,
                  "End with exit status 3 when the alarm NAME is raised (repeatable).")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->type_name("NAME");
  command.footer(command.get_footer() +
                 "\nAlarms: QUANTITY is a name of the rows (voltage, current, power, dplus, "
                 "dminus, temp_internal, temp_external, voltage_fast, current_fast), OP one of "
                 "> >= < <=; a value may carry its unit (5.25V, 50mA, 2.5W, 45C), a duration "
                 "its unit (250ms, 0.5s, 2min, 1h). An alarm is raised when its condition has "
                 "held for the duration and cleared when the clear condition holds (without "
                 "one: when the condition no longer holds). One with < or <= is raised only "
                 "after the value was at its clear level first. Each raise and clear is one "
                 "line on standard error; --on-alarm runs PROGRAM (never through a shell) with "
                 "VIREO_ALARM, VIREO_STATE (raised or cleared), VIREO_VALUE, VIREO_QUANTITY, "
                 "VIREO_SERIAL and VIREO_TIME (ISO 8601, UTC) in its environment, its output on "
                 "standard error, and kills it after 10 s.");
}

int CommandAlarms::ErrorStatus(const AlarmOptions& options) {
  for (const std::string& file : options.files) {
    if (::access(file.c_str(), R_OK) != 0)
      return kExitFailed;
  }
  return kExitUsage;
}

std::unique_ptr<CommandAlarms> CommandAlarms::Make(const AlarmOptions& options,
                                                   std::vector<std::string>& errors,
                                                   std::function<void(const std::string&)> say) {
  alarms::RuleSet set;
  for (const std::string& file : options.files)
    set.Load(file);
  for (const std::string& rule : options.rules)
    set.Add(rule, "--alarm");
  errors = set.errors;
  for (const std::string& name : options.exitOn) {
    if (std::none_of(set.rules.begin(), set.rules.end(),
                     [&](const alarms::AlarmRule& r) { return r.name == name; }))
      errors.push_back("--exit-on-alarm: no alarm is named '" + name + "'");
  }
  std::optional<std::string> path;
  if (!options.program.empty()) {
    std::string why;
    path = alarms::AlarmProgram::Find(options.program[0], why);
    if (!path)
      errors.push_back("--on-alarm: " + why);
  }
  if (set.rules.empty() && errors.empty() && !options.program.empty())
    errors.push_back("--on-alarm needs --alarm or --alarms");
  if (set.rules.empty() || !errors.empty())
    return nullptr;

  std::unique_ptr<CommandAlarms> made(new CommandAlarms);
  made->say_ = say ? std::move(say) : Say;
  for (const alarms::AlarmRule& rule : set.rules) {
    made->exitOn_.push_back(std::find(options.exitOn.begin(), options.exitOn.end(), rule.name) !=
                            options.exitOn.end());
  }
  made->engine_ = std::make_unique<alarms::AlarmEngine>(std::move(set.rules), *made);
  if (path)
    made->program_ = std::make_unique<alarms::AlarmProgram>(*path, options.program, made->say_);
  return made;
}

// The programs still running get their time to end.
CommandAlarms::~CommandAlarms() = default;

void CommandAlarms::OnFrames(const std::vector<TimedReadings>& frames) {
  for (const TimedReadings& frame : frames)
    engine_->OnFrame(frame);
}

bool CommandAlarms::OnTick(int64_t nowNs) {
  engine_->OnTick(nowNs, WallNs());
  return exitRequested_;
}

void CommandAlarms::OnAlarm(const alarms::AlarmEvent& event) {
  say_("alarm " + alarms::AlarmEventText(event) +
       (event.serial.empty() ? "" : " (meter " + event.serial + ")"));
  if (program_)
    program_->Run(event);
  if (also_)
    also_(event);
  if (event.state == alarms::AlarmState::kRaised && exitOn_[event.rule])
    exitRequested_ = true;
}

}  // namespace vireo::cli
