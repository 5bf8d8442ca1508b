// SessionStats: the figures of one recording session, kept up to date frame by frame: energy
// and charge by the trapezoid rule over covered time only, min, max and mean of every
// quantity, repeats, gaps, coverage, and the frames lost where the meter numbers its frames.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "meter/readings_record.h"
#include "record/quantities.h"

namespace vireo::record {

struct QuantityStats {
  double min = 0;
  double max = 0;
  double sum = 0;
  int64_t count = 0;  // finite values only
  double Mean() const { return count ? sum / count : 0; }
};

struct Summary {
  int64_t samples = 0;
  int64_t repeated = 0;               // samples whose nine quantities equal the previous sample's
  std::optional<int64_t> framesLost;  // known only while the frames carry running numbers
  int64_t gaps = 0;
  double gapSeconds = 0;
  double coveredSeconds = 0;  // time between samples not separated by a gap
  double durationSeconds = 0;
  double coverage = 0;  // covered / duration, 0 for a session of no duration
  double energyWh = 0;
  double chargeMah = 0;
  std::array<QuantityStats, kQuantityCount> quantities{};
};

class SessionStats {
 public:
  // A sample at tNs (since the session's start, increasing). afterGap: a gap lies between it
  // and the previous sample, so nothing is integrated across.
  void AddSample(int64_t tNs, const ReadingsRecord& readings, bool afterGap);
  // A gap of this length, closed.
  void AddGap(int64_t lengthNs);

  double energyWh() const { return energyWh_; }
  double chargeMah() const { return chargeMah_; }

  // The figures for a session of this duration; openGapNs is the length of a gap not yet
  // closed, which counts as one.
  Summary Snapshot(int64_t durationNs, std::optional<int64_t> openGapNs = std::nullopt) const;

 private:
  Summary summary_;
  bool havePrevious_ = false;
  int64_t previousNs_ = 0;
  Quantities previous_{};
  int64_t coveredNs_ = 0;
  int64_t gapNs_ = 0;
  double energyWh_ = 0;
  double chargeMah_ = 0;
  // Frame numbers: the emulator puts a running number in spare1.
  bool numbered_ = true;
  bool numberingFrozen_ = false;  // past what a float holds exactly
  double previousNumber_ = -1;
  int64_t lost_ = 0;
};

}  // namespace vireo::record
