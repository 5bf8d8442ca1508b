#include "record/session_span.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "record/pyramid.h"
#include "record/sqlite_statement.h"

namespace vireo::record {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

int64_t FloorDiv(int64_t a, int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

int64_t CeilDiv(int64_t a, int64_t b) {
  return -FloorDiv(-a, b);
}

// One read transaction over the queries of a span, so that a batch that a recorder commits
// meanwhile is seen by all of them or by none.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(sqlite3* db)
      : db_(sqlite3_get_autocommit(db) &&
                    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK
                ? db
                : nullptr) {}
  ~ReadSnapshot() {
    if (db_)
      sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

 private:
  sqlite3* db_;
};

bool SqlFailed(sqlite3* db, std::string& error) {
  const int code = sqlite3_errcode(db);
  if (code == SQLITE_OK || code == SQLITE_DONE || code == SQLITE_ROW)
    return false;
  error = sqlite3_errmsg(db);
  return true;
}

// The end of a session: its recorded end, else its last sample or gap.
std::optional<int64_t> SessionEndUs(sqlite3* db, int64_t sessionId) {
  Statement s(db,
              "SELECT COALESCE(end_t_us, MAX(COALESCE((SELECT MAX(t_us) FROM samples WHERE "
              "session_id = ?1), 0), COALESCE((SELECT MAX(COALESCE(to_us, from_us)) FROM gaps "
              "WHERE session_id = ?1), 0))) FROM sessions WHERE id = ?1");
  s.Bind(1, sessionId);
  if (!s || !s.Step())
    return std::nullopt;
  return s.Int(0);
}

// The last sample before tUs, none if there is none at or after floorUs.
std::optional<int64_t> SampleBefore(sqlite3* db, int64_t sessionId, int64_t tUs, int64_t floorUs) {
  Statement s(db,
              "SELECT t_us FROM samples WHERE session_id = ? AND t_us < ? AND t_us >= ? "
              "ORDER BY t_us DESC LIMIT 1");
  s.Bind(1, sessionId);
  s.Bind(2, tUs);
  s.Bind(3, floorUs);
  if (s && s.Step())
    return s.Int(0);
  return std::nullopt;
}

// One pass over the samples in [fromUs, toUs]. seedFloorUs: the stretch from the last sample
// before fromUs counts too, when that sample lies at or after it.
bool RawPass(const RecordStore& store, int64_t sessionId, int64_t fromUs, int64_t toUs,
             std::optional<int64_t> seedFloorUs, Aggregate& figures, std::string& error) {
  std::optional<int64_t> seed;
  if (seedFloorUs)
    seed = SampleBefore(store.connection(), sessionId, fromUs, *seedFloorUs);
  bool havePrevious = false;
  bool afterGap = false;
  int64_t previousUs = 0;
  StoredValues previous{};
  return store.Rows(
      sessionId, seed.value_or(fromUs), toUs,
      [&](const StoredRow& row) {
        if (row.isGap) {
          afterGap = true;
          return true;
        }
        if (!seed || row.tUs != *seed)
          figures.AddSample(row.values);
        if (havePrevious && !afterGap)
          figures.AddStretch(row.tUs - previousUs, previous, row.values);
        havePrevious = true;
        afterGap = false;
        previousUs = row.tUs;
        previous = row.values;
        return true;
      },
      error);
}

// The stretch into the first sample at or after tUs from the one before it, when no gap
// separates them: what a bucket starting at tUs holds of the time before it.
bool EntryStretch(const RecordStore& store, int64_t sessionId, int64_t tUs, Aggregate& stretch,
                  std::string& error) {
  const auto before = SampleBefore(store.connection(), sessionId, tUs, INT64_MIN);
  if (!before)
    return true;
  Statement first(store.connection(),
                  "SELECT t_us FROM samples WHERE session_id = ? AND t_us >= ? ORDER BY t_us "
                  "LIMIT 1");
  first.Bind(1, sessionId);
  first.Bind(2, tUs);
  if (!first || !first.Step())
    return !SqlFailed(store.connection(), error);
  const int64_t firstUs = first.Int(0);
  // RawPass from the sample before, seeded by nothing: the stretch is all it adds besides the
  // two samples themselves.
  Aggregate both;
  if (!RawPass(store, sessionId, *before, firstUs, std::nullopt, both, error))
    return false;
  stretch.coveredUs = both.coveredUs;
  stretch.energyWh = both.energyWh;
  stretch.chargeMah = both.chargeMah;
  return true;
}

Aggregate ReadAggregate(const Statement& s, int first) {
  Aggregate a;
  int i = first;
  a.samples = s.Int(i++);
  a.coveredUs = s.Int(i++);
  a.energyWh = s.Real(i++);
  a.chargeMah = s.Real(i++);
  for (QuantityAggregate& q : a.quantities) {
    q.count = s.Int(i++);
    q.min = s.Int(i++);
    q.max = s.Int(i++);
    q.sum = s.Int(i++);
  }
  return a;
}

// The buckets that exactly cover [aUs, bUs) (aligned to the finest width), coarsest first.
bool WholeBuckets(sqlite3* db, int64_t sessionId, int64_t aUs, int64_t bUs, size_t levels,
                  Aggregate& figures, std::string& error) {
  if (aUs >= bUs)
    return true;
  for (size_t level = levels; level-- > 0;) {
    const int64_t w = kPyramidWidthsUs[level];
    const int64_t first = CeilDiv(aUs, w), end = FloorDiv(bUs, w);
    if (first >= end)
      continue;
    Statement s(db, "SELECT " + PyramidFigureColumns() +
                        " FROM pyramid WHERE session_id = ? AND width_s = ? AND bucket >= ? AND "
                        "bucket < ?");
    s.Bind(1, sessionId);
    s.Bind(2, w / 1'000'000);
    s.Bind(3, first);
    s.Bind(4, end);
    while (s && s.Step())
      figures.Merge(ReadAggregate(s, 0));
    if (!s || SqlFailed(db, error)) {
      if (error.empty())
        error = sqlite3_errmsg(db);
      return false;
    }
    return WholeBuckets(db, sessionId, aUs, first * w, level, figures, error) &&
           WholeBuckets(db, sessionId, end * w, bUs, level, figures, error);
  }
  return true;
}

}  // namespace

bool SpanStatistics(const RecordStore& store, int64_t sessionId, int64_t fromUs, int64_t toUs,
                    SpanStats& stats, std::string& error) {
  sqlite3* db = store.connection();
  const ReadSnapshot snapshot(db);
  const auto endUs = SessionEndUs(db, sessionId);
  if (!endUs) {
    if (!SqlFailed(db, error))
      error = "there is no session " + std::to_string(sessionId);
    return false;
  }
  fromUs = std::clamp<int64_t>(fromUs, 0, *endUs);
  toUs = std::clamp<int64_t>(toUs, fromUs, *endUs);
  Aggregate figures;
  const int64_t w = kPyramidWidthsUs[0];
  const int64_t a = CeilDiv(fromUs, w) * w, b = FloorDiv(toUs + 1, w) * w;
  if (!store.HasPyramid() || a >= b) {
    if (!RawPass(store, sessionId, fromUs, toUs, std::nullopt, figures, error))
      return false;
  } else {
    Aggregate head, middle, tail;
    if (!RawPass(store, sessionId, fromUs, a - 1, std::nullopt, head, error) ||
        !WholeBuckets(db, sessionId, a, b, kPyramidWidthsUs.size(), middle, error) ||
        !RawPass(store, sessionId, b, toUs, fromUs, tail, error))
      return false;
    // The first bucket holds the stretch from the sample before it, which lies before the span
    // when the head has none.
    if (head.samples == 0 && middle.samples > 0) {
      Aggregate entry;
      if (!EntryStretch(store, sessionId, a, entry, error))
        return false;
      middle.coveredUs -= entry.coveredUs;
      middle.energyWh -= entry.energyWh;
      middle.chargeMah -= entry.chargeMah;
    }
    figures = head;
    figures.Merge(middle);
    figures.Merge(tail);
  }
  stats = SpanStats{};
  stats.fromUs = fromUs;
  stats.toUs = toUs;
  stats.spanSeconds = (toUs - fromUs) / 1e6;
  stats.coveredSeconds = figures.coveredUs / 1e6;
  stats.coverage = toUs > fromUs ? std::min(1.0, figures.coveredUs / double(toUs - fromUs)) : 0;
  stats.samples = figures.samples;
  stats.energyWh = figures.energyWh;
  stats.chargeMah = figures.chargeMah;
  for (size_t i = 0; i < kQuantityCount; ++i) {
    const QuantityAggregate& q = figures.quantities[i];
    const double scale = kQuantities[i].scale;
    stats.quantities[i] = {q.min / scale, q.max / scale, q.sum / scale, q.count};
  }
  return true;
}

bool Envelope(const RecordStore& store, int64_t sessionId, int64_t fromUs, int64_t toUs, int pixels,
              SpanEnvelope& envelope, std::string& error, unsigned quantities) {
  envelope = SpanEnvelope{};
  envelope.fromUs = fromUs;
  envelope.toUs = toUs;
  if (pixels <= 0 || toUs < fromUs)
    return true;
  sqlite3* db = store.connection();
  const double pixelUs = (static_cast<double>(toUs) - fromUs + 1) / pixels;
  const auto column = [&](double tUs) {
    return static_cast<size_t>(std::clamp((tUs - fromUs) / pixelUs, 0.0, pixels - 1.0));
  };
  EnvelopeColumn empty;
  empty.min.fill(kNaN);
  empty.max.fill(kNaN);
  const auto widen = [](EnvelopeColumn& c, size_t i, double lo, double hi) {
    if (!(c.min[i] <= lo))
      c.min[i] = lo;
    if (!(c.max[i] >= hi))
      c.max[i] = hi;
  };

  std::vector<size_t> read;
  for (size_t i = 0; i < kQuantityCount; ++i) {
    if (quantities & (1u << i))
      read.push_back(i);
  }
  int64_t width = 0;
  if (store.HasPyramid()) {
    for (const int64_t w : kPyramidWidthsUs) {
      if (w <= pixelUs)
        width = w;
    }
  }
  if (width > 0) {
    envelope.widthUs = width;
    envelope.columns.assign(static_cast<size_t>(pixels), empty);
    std::string sql = "SELECT bucket, samples";
    for (const size_t i : read) {
      const std::string_view name = kQuantities[i].column;
      sql.append(", ").append(name).append("_min, ").append(name).append("_max");
    }
    sql += " FROM pyramid WHERE session_id = ? AND width_s = ? AND bucket BETWEEN ? AND ?";
    Statement s(db, sql);
    s.Bind(1, sessionId);
    s.Bind(2, width / 1'000'000);
    s.Bind(3, FloorDiv(fromUs, width));
    s.Bind(4, FloorDiv(toUs, width));
    while (s && s.Step()) {
      EnvelopeColumn& c = envelope.columns[column(s.Int(0) * double(width) + width / 2.0)];
      c.samples += s.Int(1);
      for (size_t k = 0; k < read.size(); ++k) {
        const size_t i = read[k];
        const int at = 2 + 2 * static_cast<int>(k);
        if (!s.IsNull(at))
          widen(c, i, s.Int(at) / kQuantities[i].scale, s.Int(at + 1) / kQuantities[i].scale);
      }
    }
    return s && !SqlFailed(db, error);
  }

  // From the samples: kept as they are while there are few, else gathered into columns. The
  // columns gather the stored integers and are scaled once at the end, and the pixel of a sample
  // is worked out again only when it passes the first time of the next pixel (samples come in
  // time order), so that a row costs little more than reading it.
  std::string sql = "SELECT t_us";
  for (const size_t i : read)
    sql.append(", ").append(kQuantities[i].column);
  sql += " FROM samples WHERE session_id = ? AND t_us BETWEEN ? AND ? ORDER BY t_us";
  Statement s(db, sql);
  s.Bind(1, sessionId);
  s.Bind(2, fromUs);
  s.Bind(3, toUs);
  sqlite3_stmt* const rows = s.get();
  const int count = static_cast<int>(read.size());
  // Older stores kept the reading of a missing probe as a number.
  const auto noProbeBelow =
      static_cast<int64_t>(kNoProbeBelow * kQuantities[kTempExternalIndex].scale);
  int probeAt = -1;
  for (int k = 0; k < count; ++k) {
    if (read[static_cast<size_t>(k)] == kTempExternalIndex)
      probeAt = k;
  }
  // The first time past pixel p: the least time whose pixel is a later one, none within the span.
  const auto firstAfter = [&](size_t p) {
    if (p + 1 >= static_cast<size_t>(pixels))
      return INT64_MAX;
    const double guess = std::max(fromUs + (p + 1) * pixelUs, static_cast<double>(fromUs));
    int64_t t = guess >= static_cast<double>(toUs) ? toUs : static_cast<int64_t>(guess);
    while (t > fromUs && column(static_cast<double>(t - 1)) > p)
      --t;
    while (column(static_cast<double>(t)) <= p) {
      if (t == toUs)
        return INT64_MAX;
      ++t;
    }
    return t;
  };
  struct Gathered {
    int64_t samples = 0;
    std::array<int64_t, kQuantityCount> min, max;  // by position in read; none while min > max
  };
  Gathered none;
  none.min.fill(INT64_MAX);
  none.max.fill(INT64_MIN);
  std::vector<Gathered> gathered;
  struct Row {
    int64_t tUs;
    std::array<int64_t, kQuantityCount> values;
    unsigned missing;  // bit k: none for read[k]
  };
  std::vector<Row> few;
  const size_t fewest = 2 * static_cast<size_t>(pixels);
  size_t at = 0;
  int64_t nextUs = INT64_MIN;
  const auto gather = [&](const Row& row) {
    if (row.tUs >= nextUs) {
      at = column(static_cast<double>(row.tUs));
      nextUs = firstAfter(at);
    }
    Gathered& g = gathered[at];
    ++g.samples;
    for (int k = 0; k < count; ++k) {
      if (row.missing & (1u << k))
        continue;
      const int64_t v = row.values[static_cast<size_t>(k)];
      g.min[static_cast<size_t>(k)] = std::min(g.min[static_cast<size_t>(k)], v);
      g.max[static_cast<size_t>(k)] = std::max(g.max[static_cast<size_t>(k)], v);
    }
  };
  Row row{};
  while (s && sqlite3_step(rows) == SQLITE_ROW) {
    row.tUs = sqlite3_column_int64(rows, 0);
    row.missing = 0;
    for (int k = 0; k < count; ++k) {
      const int64_t v = sqlite3_column_int64(rows, k + 1);
      row.values[static_cast<size_t>(k)] = v;
      // A NULL reads as 0.
      if (v == 0 && sqlite3_column_type(rows, k + 1) == SQLITE_NULL)
        row.missing |= 1u << k;
    }
    if (probeAt >= 0 && row.values[static_cast<size_t>(probeAt)] < noProbeBelow)
      row.missing |= 1u << probeAt;
    if (gathered.empty() && few.size() < fewest) {
      few.push_back(row);
      continue;
    }
    if (gathered.empty()) {
      gathered.assign(static_cast<size_t>(pixels), none);
      for (const Row& kept : few)
        gather(kept);
    }
    gather(row);
  }
  if (!s) {
    error = sqlite3_errmsg(db);
    return false;
  }
  if (SqlFailed(db, error))
    return false;
  if (gathered.empty()) {
    envelope.samples.reserve(few.size());
    for (const Row& kept : few) {
      EnvelopeSample& sample = envelope.samples.emplace_back();
      sample.tUs = kept.tUs;
      sample.values.fill(kNaN);
      for (int k = 0; k < count; ++k) {
        const size_t i = read[static_cast<size_t>(k)];
        if (!(kept.missing & (1u << k)))
          sample.values[i] = kept.values[static_cast<size_t>(k)] / kQuantities[i].scale;
      }
    }
    return true;
  }
  envelope.columns.assign(static_cast<size_t>(pixels), empty);
  for (size_t p = 0; p < gathered.size(); ++p) {
    const Gathered& g = gathered[p];
    EnvelopeColumn& c = envelope.columns[p];
    c.samples = g.samples;
    for (int k = 0; k < count; ++k) {
      const auto kk = static_cast<size_t>(k);
      if (g.min[kk] <= g.max[kk]) {
        const double scale = kQuantities[read[kk]].scale;
        c.min[read[kk]] = g.min[kk] / scale;
        c.max[read[kk]] = g.max[kk] / scale;
      }
    }
  }
  return true;
}

bool GapsIn(const RecordStore& store, int64_t sessionId, int64_t fromUs, int64_t toUs,
            std::vector<StoredGap>& gaps, std::string& error) {
  sqlite3* db = store.connection();
  Statement s(db,
              "SELECT from_us, COALESCE(to_us, from_us), cause FROM gaps WHERE session_id = ? "
              "AND COALESCE(to_us, from_us) >= ? AND from_us <= ? ORDER BY from_us");
  s.Bind(1, sessionId);
  s.Bind(2, fromUs);
  s.Bind(3, toUs);
  gaps.clear();
  while (s && s.Step())
    gaps.push_back({s.Int(0), s.Int(1), s.Text(2)});
  if (!s) {
    error = sqlite3_errmsg(db);
    return false;
  }
  return !SqlFailed(db, error);
}

}  // namespace vireo::record
