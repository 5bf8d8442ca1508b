// Reading a span of a stored session without reading all of it: the per-pixel envelopes of the
// quantities for a chart, the gaps, and the statistics of the span. Both read the pyramid's
// coarsest buckets that fit and the raw samples only where the span cuts a bucket, so the
// statistics equal one pass over the span's samples. A store without a pyramid (schema version
// 1, opened read-only) is read by one pass over the span's samples.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/record_store.h"
#include "record/session_stats.h"

namespace vireo::record {

// The statistics of the samples in [fromUs, toUs]: the stretches between two of them not
// separated by a gap give the covered time, energy and charge (never across a gap).
struct SpanStats {
  int64_t fromUs = 0;  // the span, within the session
  int64_t toUs = 0;
  double spanSeconds = 0;
  double coveredSeconds = 0;
  double coverage = 0;  // covered / span, 0 for a span of no length
  int64_t samples = 0;
  double energyWh = 0;
  double chargeMah = 0;
  std::array<QuantityStats, kQuantityCount> quantities{};  // in volts, amperes, watts, °C
};

// The span [fromUs, toUs] of the session, clamped to its start and its end (its last sample or
// gap while it is being recorded). False on a read error, or when there is no such session.
bool SpanStatistics(const RecordStore& store, int64_t sessionId, int64_t fromUs, int64_t toUs,
                    SpanStats& stats, std::string& error);

// The samples of one pixel column of a chart; a quantity without a value there has NaN.
struct EnvelopeColumn {
  int64_t samples = 0;
  std::array<double, kQuantityCount> min{};
  std::array<double, kQuantityCount> max{};
};

struct EnvelopeSample {
  int64_t tUs = 0;
  std::array<double, kQuantityCount> values{};  // NaN where none
};

struct SpanEnvelope {
  int64_t fromUs = 0;
  int64_t toUs = 0;
  // The bucket width read, 0 when read from the samples.
  int64_t widthUs = 0;
  // Few samples in the span (at most two a pixel): the samples themselves, to draw as lines;
  // columns is then empty.
  std::vector<EnvelopeSample> samples;
  // Otherwise one column per pixel, pixel i covering fromUs + i * (toUs - fromUs + 1) / pixels.
  std::vector<EnvelopeColumn> columns;
};

// A set of the nine quantities, bit i for kQuantities[i].
inline constexpr unsigned kAllQuantities = (1u << kQuantityCount) - 1;

// The samples that Envelope last read for a chart, kept by the chart between its steps: a pan or
// zoom step then reads from the store only the part of its span that the last read did not
// cover. It holds one span of one session and set of quantities, up to kMaxRows samples, and is
// not used once the store has changed since.
struct SampleCache {
  static constexpr size_t kMaxRows = 300'000;
  SampleCache();
  ~SampleCache();
  SampleCache(const SampleCache&) = delete;
  SampleCache& operator=(const SampleCache&) = delete;
  void Clear();

  struct Span;
  std::unique_ptr<Span> span;  // none before a read from the samples
};

// The chart data of [fromUs, toUs] at this many pixels, from the coarsest pyramid level with at
// least one bucket per pixel, else from the samples (through the cache, when one is given). Only
// the quantities in the set are read; the others are NaN. Reading from the samples leaves the
// store's connection with a page cache of at least 16 MiB and an SQL function of its own, made
// once.
bool Envelope(const RecordStore& store, int64_t sessionId, int64_t fromUs, int64_t toUs, int pixels,
              SpanEnvelope& envelope, std::string& error, unsigned quantities = kAllQuantities,
              SampleCache* cache = nullptr);

struct StoredGap {
  int64_t fromUs = 0;
  int64_t toUs = 0;  // from while it is open
  std::string cause;
};

// The gaps that overlap [fromUs, toUs], in order.
bool GapsIn(const RecordStore& store, int64_t sessionId, int64_t fromUs, int64_t toUs,
            std::vector<StoredGap>& gaps, std::string& error);

}  // namespace vireo::record
