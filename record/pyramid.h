// The summary pyramid of a session: its samples gathered into buckets of fixed widths (1 s,
// 10 s, 1 min, 10 min, 1 h), each with the count, the covered time, the energy and charge over
// that covered time, and the count, min, max and sum of every quantity, in the store's integer
// units. A stretch between two samples not separated by a gap belongs to the bucket of its later
// sample, so buckets add up to exactly what one pass over the samples gives.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "record/rows.h"

namespace vireo::record {

// The bucket widths, finest first: at most ten of one in the next, so that a chart reads at
// most ten buckets a pixel.
inline constexpr std::array<int64_t, 5> kPyramidWidthsUs = {1'000'000, 10'000'000, 60'000'000,
                                                            600'000'000, 3'600'000'000};

struct QuantityAggregate {
  int64_t count = 0;  // values that are not NULL
  int64_t min = 0;
  int64_t max = 0;
  int64_t sum = 0;
};

// The figures of a set of samples and of the stretches between them.
struct Aggregate {
  int64_t samples = 0;
  int64_t coveredUs = 0;
  double energyWh = 0;
  double chargeMah = 0;
  std::array<QuantityAggregate, kQuantityCount> quantities{};

  void AddSample(const StoredValues& values);
  // The stretch from `previous` to `current`, dtUs long, with no gap between them: covered
  // time, and energy and charge by the trapezoid rule (a stretch with an end that is not a
  // number adds none of them, as the session's summary does).
  void AddStretch(int64_t dtUs, const StoredValues& previous, const StoredValues& current);
  void RemoveStretch(int64_t dtUs, const StoredValues& previous, const StoredValues& current);
  void Merge(const Aggregate& other);
};

struct Bucket {
  int64_t widthUs = 0;
  int64_t index = 0;  // the bucket covers [index * widthUs, (index + 1) * widthUs)
  Aggregate figures;
};

// Builds the buckets of one session from its samples in order, as they are written.
class PyramidBuilder {
 public:
  explicit PyramidBuilder(int64_t sessionId = 0) : sessionId_(sessionId) {}
  int64_t sessionId() const { return sessionId_; }

  // afterGap: a gap lies between this sample and the previous one.
  void Add(int64_t tUs, const StoredValues& values, bool afterGap);
  // The buckets changed since the last call (the open ones in their current state), to be
  // written over what the store holds of them.
  std::vector<Bucket> TakeChanged();

 private:
  int64_t sessionId_;
  bool havePrevious_ = false;
  int64_t previousUs_ = 0;
  StoredValues previous_{};
  std::array<Bucket, kPyramidWidthsUs.size()> open_{};
  std::array<bool, kPyramidWidthsUs.size()> openChanged_{};
  std::vector<Bucket> finished_;
};

// The table that holds the buckets, and its columns after session_id, width_s and bucket.
std::string PyramidTableSql();
std::string PyramidFigureColumns();
inline constexpr int kPyramidFigureCount = 4 + 4 * static_cast<int>(kQuantityCount);
// Writes the buckets of a session over what the store holds of them; an SQLite result code.
int WriteBuckets(sqlite3* db, int64_t sessionId, const std::vector<Bucket>& buckets);

}  // namespace vireo::record
