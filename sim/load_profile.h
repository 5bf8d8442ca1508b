// Load profiles of the emulated meter: what its live readings follow over time instead of the
// default slow swings, for example a charging curve that rises, holds and tapers below a
// threshold. A profile is a pure function of the frame's time, so tests recompute the readings
// of any frame.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "meter/readings_record.h"

namespace vireo::sim {

// The profile time of live frame n at a frame interval (1 ms when the interval is 0).
inline double LoadProfileSeconds(uint32_t n, uint32_t frameIntervalUs) {
  return n * (frameIntervalUs ? frameIntervalUs : 1000) * 1e-6;
}

class LoadProfile {
 public:
  // "steady:VOLTS,AMPS" or "charge[:key=value,...]" with the keys idle, rise, hold, taper, rest
  // (seconds), idle_a, peak, done (ampere), volts, repeat (0 or 1); none on a bad description, with
  // the reason in `error`.
  static std::shared_ptr<const LoadProfile> Parse(const std::string& text, std::string& error);

  // The current at `seconds` after the first live frame.
  double CurrentAt(double seconds) const;
  double VoltageAt(double seconds) const;
  // Puts the profile's voltage, current and power into the readings of a frame sent at
  // `seconds`; the other fields stay as they are.
  void Shape(double seconds, ReadingsRecord& readings) const;

  // The shape of a charging cycle.
  struct Charge {
    double idle = 2, rise = 1, hold = 5, taper = 5, rest = 3;
    double idleAmps = 0, peak = 2, done = 0.02, volts = 5.1;
    bool repeat = true;
    double Period() const { return idle + rise + hold + taper + rest; }
  };

 private:
  enum class Kind { kSteady, kCharge };
  Kind kind_ = Kind::kSteady;
  double steadyVolts_ = 5, steadyAmps_ = 1;
  Charge charge_;
};

}  // namespace vireo::sim
