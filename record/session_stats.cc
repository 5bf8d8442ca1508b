#include "record/session_stats.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vireo::record {

namespace {

constexpr double kNsPerHour = 3600e9;
constexpr double kLargestExactFrameNumber = 16777216.0;  // 2^24

}  // namespace

void SessionStats::AddSample(int64_t tNs, const ReadingsRecord& readings, bool afterGap) {
  const Quantities q = QuantitiesOf(readings);
  ++summary_.samples;
  for (size_t i = 0; i < kQuantityCount; ++i) {
    const double v = q[i];
    if (!std::isfinite(v))
      continue;
    QuantityStats& s = summary_.quantities[i];
    if (s.count == 0 || v < s.min)
      s.min = v;
    if (s.count == 0 || v > s.max)
      s.max = v;
    s.sum += v;
    ++s.count;
  }
  const bool stretch = havePrevious_ && !afterGap;
  if (havePrevious_ && std::memcmp(q.data(), previous_.data(), sizeof q) == 0)
    ++summary_.repeated;
  if (stretch) {
    const int64_t dt = tNs - previousNs_;
    coveredNs_ += dt;
    const double hours = dt / kNsPerHour;
    const double power = (double{previous_[2]} + q[2]) / 2;
    const double current = (double{previous_[kCurrentIndex]} + q[kCurrentIndex]) / 2;
    // A reading that is not a number contributes nothing rather than poisoning the sums.
    if (std::isfinite(power))
      energyWh_ += power * hours;
    if (std::isfinite(current))
      chargeMah_ += current * hours * 1000;
  }

  const double number = readings.spare1;
  if (numbered_ && !numberingFrozen_) {
    if (number >= kLargestExactFrameNumber) {
      numberingFrozen_ = true;
    } else if (!(number >= 0) || number != std::floor(number) ||
               (stretch && number <= previousNumber_)) {
      numbered_ = false;
    } else if (stretch) {
      lost_ += static_cast<int64_t>(number - previousNumber_) - 1;
    }
  }
  previousNumber_ = number;
  previous_ = q;
  previousNs_ = tNs;
  havePrevious_ = true;
}

void SessionStats::AddGap(int64_t lengthNs) {
  ++summary_.gaps;
  gapNs_ += lengthNs;
}

Summary SessionStats::Snapshot(int64_t durationNs, std::optional<int64_t> openGapNs) const {
  Summary s = summary_;
  s.gaps += openGapNs ? 1 : 0;
  s.gapSeconds = (gapNs_ + openGapNs.value_or(0)) / 1e9;
  s.coveredSeconds = coveredNs_ / 1e9;
  s.durationSeconds = durationNs / 1e9;
  s.coverage = durationNs > 0 ? std::min(1.0, static_cast<double>(coveredNs_) / durationNs) : 0;
  s.energyWh = energyWh_;
  s.chargeMah = chargeMah_;
  if (numbered_)
    s.framesLost = lost_;
  return s;
}

}  // namespace vireo::record
