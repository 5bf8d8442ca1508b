// UnplugSchedule: scripted unplug and replug of the emulated meter, every `every` seconds of
// being plugged for `away` seconds, `cycles` times (0: without end). Counting starts when the
// first client opens the meter, so a recorder started after the emulator sees every cycle.
#pragma once

#include <chrono>
#include <cstdint>

namespace vireo::sim {

struct UnplugSchedule {
  double every = 0;  // 0: no schedule
  double away = 1;
  uint32_t cycles = 0;

  bool Active() const { return every > 0; }
};

// Steps through a schedule on the clock it is given; pure, so it is tested without waiting.
class UnplugScript {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Action { kNone, kUnplug, kPlug };

  explicit UnplugScript(const UnplugSchedule& schedule) : schedule_(schedule) {}

  // The first client opened the meter at `now`: the schedule begins.
  void Begin(Clock::time_point now);
  // What to do at `now`, at most one action per call.
  Action Step(Clock::time_point now);
  // When Step next has something to do; max() if never.
  Clock::time_point Next() const;
  uint32_t cyclesDone() const { return done_; }

 private:
  const UnplugSchedule schedule_;
  bool begun_ = false;
  bool plugged_ = true;
  uint32_t done_ = 0;
  Clock::time_point next_ = Clock::time_point::max();
};

}  // namespace vireo::sim
