// AlarmProgram: runs a program of the user's choosing for each alarm event (--on-alarm), with
// the event in its environment only: VIREO_ALARM, VIREO_STATE (raised or cleared), VIREO_VALUE,
// VIREO_QUANTITY, VIREO_SERIAL and VIREO_TIME (ISO 8601, UTC). Never through a shell, never
// with values in its arguments. A thread of its own starts each program (posix_spawn), reaps it
// through a pidfd and kills the process group of one that runs past the time limit, so the one
// who hands the events over never waits. That thread starts with the first event, from the
// thread that hands it over, and takes its signal mask (a command's, with the stop signals
// blocked). Each program gets a clean signal mask, default signal dispositions, its own process
// group, no standard input, and standard error for its output.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "alarms/alarm_engine.h"
#include "base/posix.h"

namespace vireo::alarms {

class AlarmProgram {
 public:
  static constexpr std::chrono::milliseconds kTimeLimit{10'000};
  // Programs running at once; an event beyond them is not run, and that is reported.
  static constexpr size_t kMaxRunning = 32;

  // The program to run: `program` itself when it holds a '/', else the first of that name in
  // PATH; none, with the reason in `why`, when there is none that may be run.
  static std::optional<std::string> Find(const std::string& program, std::string& why);

  // `path` is what Find gave; `argv` the program's name and arguments as the user wrote them.
  // `report` hears what went wrong (a program that failed, was killed or could not start),
  // one sentence at a time, on the program thread.
  AlarmProgram(std::string path, std::vector<std::string> argv,
               std::function<void(const std::string&)> report,
               std::chrono::milliseconds timeLimit = kTimeLimit);
  // Starts what was handed over and waits for every program to end (or be killed at its limit).
  ~AlarmProgram();
  AlarmProgram(const AlarmProgram&) = delete;
  AlarmProgram& operator=(const AlarmProgram&) = delete;

  // Hands an event over; returns at once.
  void Run(const AlarmEvent& event);
  // Waits until every program handed over so far has ended or was killed.
  void Finish();

 private:
  struct Child;
  void Loop();
  // Starts one program; false when it could not be started.
  bool Spawn(const std::vector<std::string>& environment, std::vector<Child>& running);
  // `count` events are through.
  void Done(size_t count);
  void Wake();

  const std::string path_;
  const std::vector<std::string> argv_;
  const std::function<void(const std::string&)> report_;
  const std::chrono::milliseconds timeLimit_;
  std::vector<std::string> environment_;  // this process's, without the event's variables
  posix::UniqueFd wake_;
  std::mutex mutex_;
  std::condition_variable idle_;
  std::vector<std::vector<std::string>> waiting_;  // guarded by mutex_: environments to run
  size_t busy_ = 0;                                // guarded by mutex_: waiting plus running
  bool stop_ = false;                              // guarded by mutex_
  bool ended_ = false;                             // guarded by mutex_: the thread has ended
  std::thread thread_;
};

}  // namespace vireo::alarms
