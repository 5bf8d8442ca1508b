#include "record/session_span.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

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

// The page cache of a connection, at least this many KiB: a chart read from the samples reads up to
// about 7 MB of them, and its next zoom or pan step reads mostly the same pages again.
constexpr int64_t kSampleCacheKiB = 16 * 1024;

void CacheAtLeast(sqlite3* db, int64_t kib) {
  Statement get(db, "PRAGMA cache_size");
  if (!get || !get.Step())
    return;
  // Negative: KiB; positive: pages.
  int64_t now = get.Int(0);
  if (now > 0) {
    Statement page(db, "PRAGMA page_size");
    now = page && page.Step() ? -now * page.Int(0) / 1024 : 0;
  }
  if (-now < kib)
    sqlite3_exec(db, ("PRAGMA cache_size = " + std::to_string(-kib)).c_str(), nullptr, nullptr,
                 nullptr);
}

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

// A sample as the chart reads it: the stored integers of the read quantities.
struct ChartSample {
  int64_t tUs = 0;
  std::array<int64_t, kQuantityCount> values{};  // by position in the read set
  unsigned missing = 0;                          // bit k: none at position k
};

}  // namespace

struct SampleCache::Span {
  sqlite3* db = nullptr;
  int64_t sessionId = 0;
  unsigned quantities = 0;
  std::pair<int64_t, int64_t> version;  // the store's, as StoreVersion gives it
  int64_t fromUs = 0;                   // every sample of the session in [fromUs, toUs] is in rows
  int64_t toUs = 0;
  // The samples in time order, each as t_us, its missing bits, then the read quantities.
  std::vector<int64_t> rows;
  // The storage of an earlier span's rows, for the next span, whose rows it then holds without
  // growing again (a span of samples is some MB).
  std::vector<int64_t> spare;
};

SampleCache::SampleCache() = default;
SampleCache::~SampleCache() = default;
void SampleCache::Clear() {
  span.reset();
}

namespace {

// Changes by other connections (data_version) and by this one: equal twice only when no commit
// came between.
std::pair<int64_t, int64_t> StoreVersion(sqlite3* db) {
  Statement s(db, "PRAGMA data_version");
  return {s && s.Step() ? s.Int(0) : -1, sqlite3_total_changes64(db)};
}

// The chart data of a span from its samples, in time order: the samples as they are while there
// are few (at most two a pixel), else one column per pixel. Columns gather the stored integers and
// are scaled once at the end, and a sample's pixel is worked out again only when it passes the
// first time of the next pixel, so that a row costs little more than reading it. The rows may be
// kept too, for a cache, up to its size.
class SampleGatherer {
 public:
  SampleGatherer(int64_t fromUs, int64_t toUs, int pixels, const std::vector<size_t>& read)
      : fromUs_(fromUs),
        toUs_(toUs),
        pixels_(static_cast<size_t>(pixels)),
        pixelUs_((static_cast<double>(toUs) - fromUs + 1) / pixels),
        read_(read),
        count_(read.size()) {
    for (size_t k = 0; k < count_; ++k) {
      if (read_[k] == kTempExternalIndex)
        probeAt_ = static_cast<int>(k);
    }
    none_.min.fill(INT64_MAX);
    none_.max.fill(INT64_MIN);
    few_.reserve(2 * pixels_);
    gathered_.reserve(pixels_);
  }

  // The rows taken are kept in `rows` too (laid out as in the cache), until they are more than a
  // cache holds.
  void Keep(std::vector<int64_t>* rows) { keep_ = rows; }
  bool kept() const { return keep_ != nullptr; }
  size_t stride() const { return 2 + count_; }

  // A row as Keep laid it out.
  void Take(const int64_t* kept) {
    ChartSample row;
    row.tUs = kept[0];
    row.missing = static_cast<unsigned>(kept[1]);
    std::copy_n(kept + 2, count_, row.values.begin());
    Take(row);
  }

  // t_us and the read quantities' columns, as the query gives them.
  void Add(sqlite3_value** values) {
    ChartSample row;
    row.tUs = sqlite3_value_int64(values[0]);
    for (size_t k = 0; k < count_; ++k) {
      sqlite3_value* value = values[k + 1];
      row.values[k] = sqlite3_value_int64(value);
      // A NULL reads as 0.
      if (row.values[k] == 0 && sqlite3_value_type(value) == SQLITE_NULL)
        row.missing |= 1u << k;
    }
    // Older stores kept the reading of a missing probe as a number.
    if (probeAt_ >= 0 && row.values[static_cast<size_t>(probeAt_)] < kNoProbeBelowStored)
      row.missing |= 1u << probeAt_;
    Take(row);
  }

  void Take(const ChartSample& row) {
    if (keep_) {
      const size_t at = keep_->size();
      if (at < SampleCache::kMaxRows * stride()) {
        keep_->resize(at + stride());
        int64_t* kept = keep_->data() + at;
        kept[0] = row.tUs;
        kept[1] = row.missing;
        std::copy_n(row.values.begin(), count_, kept + 2);
      } else {
        std::vector<int64_t>().swap(*keep_);
        keep_ = nullptr;
      }
    }
    if (gathered_.empty() && few_.size() < 2 * pixels_) {
      few_.push_back(row);
      return;
    }
    if (gathered_.empty()) {
      gathered_.assign(pixels_, none_);
      for (const ChartSample& kept : few_)
        Gather(kept);
    }
    Gather(row);
  }

  void Finish(SpanEnvelope& envelope) const {
    if (gathered_.empty()) {
      envelope.samples.reserve(few_.size());
      for (const ChartSample& kept : few_) {
        EnvelopeSample& sample = envelope.samples.emplace_back();
        sample.tUs = kept.tUs;
        sample.values.fill(kNaN);
        for (size_t k = 0; k < count_; ++k) {
          if (!(kept.missing & (1u << k)))
            sample.values[read_[k]] = kept.values[k] / kQuantities[read_[k]].scale;
        }
      }
      return;
    }
    EnvelopeColumn empty;
    empty.min.fill(kNaN);
    empty.max.fill(kNaN);
    envelope.columns.assign(pixels_, empty);
    for (size_t p = 0; p < pixels_; ++p) {
      const Gathered& g = gathered_[p];
      EnvelopeColumn& c = envelope.columns[p];
      c.samples = g.samples;
      for (size_t k = 0; k < count_; ++k) {
        if (g.min[k] <= g.max[k]) {
          const double scale = kQuantities[read_[k]].scale;
          c.min[read_[k]] = g.min[k] / scale;
          c.max[read_[k]] = g.max[k] / scale;
        }
      }
    }
  }

 private:
  static constexpr auto kNoProbeBelowStored =
      static_cast<int64_t>(kNoProbeBelow * kQuantities[kTempExternalIndex].scale);

  struct Gathered {
    int64_t samples = 0;
    std::array<int64_t, kQuantityCount> min, max;  // by position in read_; none while min > max
  };

  // As Envelope places a time: pixel i covers fromUs + i * (toUs - fromUs + 1) / pixels.
  size_t PixelOf(int64_t tUs) const {
    return static_cast<size_t>(std::clamp((static_cast<double>(tUs) - fromUs_) / pixelUs_, 0.0,
                                          static_cast<double>(pixels_) - 1.0));
  }

  // The least time in a later pixel than p, INT64_MAX when there is none within the span.
  int64_t FirstAfter(size_t p) const {
    if (p + 1 >= pixels_)
      return INT64_MAX;
    const double guess = std::max(fromUs_ + (p + 1) * pixelUs_, static_cast<double>(fromUs_));
    int64_t t = guess >= static_cast<double>(toUs_) ? toUs_ : static_cast<int64_t>(guess);
    while (t > fromUs_ && PixelOf(t - 1) > p)
      --t;
    while (PixelOf(t) <= p) {
      if (t == toUs_)
        return INT64_MAX;
      ++t;
    }
    return t;
  }

  void Gather(const ChartSample& row) {
    if (row.tUs >= nextUs_) {
      at_ = PixelOf(row.tUs);
      nextUs_ = FirstAfter(at_);
    }
    Gathered& g = gathered_[at_];
    ++g.samples;
    for (size_t k = 0; k < count_; ++k) {
      if (row.missing & (1u << k))
        continue;
      g.min[k] = std::min(g.min[k], row.values[k]);
      g.max[k] = std::max(g.max[k], row.values[k]);
    }
  }

  const int64_t fromUs_, toUs_;
  const size_t pixels_;
  const double pixelUs_;
  const std::vector<size_t>& read_;
  const size_t count_;  // read_.size(), held apart so that the loops over a row need not load it
  int probeAt_ = -1;
  Gathered none_;
  std::vector<ChartSample> few_;
  std::vector<Gathered> gathered_;
  size_t at_ = 0;
  int64_t nextUs_ = INT64_MIN;
  std::vector<int64_t>* keep_ = nullptr;
};

// The aggregate function that hands each row of a query to the SampleGatherer bound as its first
// argument; it returns nothing.
constexpr const char* kGatherFunction = "vireo_gather_samples";
constexpr const char* kGathererType = "vireo::record::SampleGatherer";

void GatherStep(sqlite3_context* context, int count, sqlite3_value** values) {
  // The gatherer, looked up by its type's name once a query.
  auto** kept = static_cast<SampleGatherer**>(sqlite3_aggregate_context(context, sizeof(void*)));
  if (kept && !*kept)
    *kept = static_cast<SampleGatherer*>(sqlite3_value_pointer(values[0], kGathererType));
  if (!kept || !*kept || count < 2) {
    sqlite3_result_error(context, "the samples' gatherer is missing", -1);
    return;
  }
  // Nothing may throw into SQLite.
  try {
    (*kept)->Add(values + 1);
  } catch (const std::bad_alloc&) {
    sqlite3_result_error_nomem(context);
  }
}

void GatherFinal(sqlite3_context* context) {
  sqlite3_result_null(context);
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
              SpanEnvelope& envelope, std::string& error, unsigned quantities, SampleCache* cache) {
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

  // From the samples: their rows go to a SampleGatherer through an aggregate function, which
  // spares a return to the caller and the column reads for each row.
  CacheAtLeast(db, kSampleCacheKiB);
  const ReadSnapshot snapshot(db);
  SampleGatherer gatherer(fromUs, toUs, pixels, read);
  std::string sql = "SELECT " + std::string(kGatherFunction) + "(?4, t_us";
  for (const size_t i : read)
    sql.append(", ").append(kQuantities[i].column);
  sql += ") FROM samples WHERE session_id = ?1 AND t_us BETWEEN ?2 AND ?3";
  std::optional<Statement> s(std::in_place, db, sql);
  // The function is made once a connection, when a query first misses it.
  if (!*s && std::string_view(sqlite3_errmsg(db)).starts_with("no such function") &&
      sqlite3_create_function_v2(db, kGatherFunction, -1, SQLITE_UTF8 | SQLITE_DIRECTONLY, nullptr,
                                 nullptr, GatherStep, GatherFinal, nullptr) == SQLITE_OK)
    s.emplace(db, sql);
  if (!*s) {
    error = sqlite3_errmsg(db);
    return false;
  }
  s->Bind(1, sessionId);
  sqlite3_bind_pointer(s->get(), 4, &gatherer, kGathererType, nullptr);
  const auto readRows = [&](int64_t a, int64_t b) {
    s->Bind(2, a);
    s->Bind(3, b);
    while (s->Step()) {
    }
    sqlite3_reset(s->get());
    return !SqlFailed(db, error);
  };

  // The cached samples that still serve, with the store unchanged: those in the span, when they
  // reach into it; only the rest of the span is read.
  std::unique_ptr<SampleCache::Span> next, last;
  if (cache) {
    next = std::make_unique<SampleCache::Span>();
    *next = {db, sessionId, quantities, StoreVersion(db), fromUs, toUs, {}, {}};
    last = std::move(cache->span);
    if (last && (last->db != db || last->sessionId != sessionId || last->quantities != quantities ||
                 last->version != next->version || last->fromUs > toUs || last->toUs < fromUs)) {
      next->rows = std::move(last->rows);
      next->rows.clear();
      next->spare = std::move(last->spare);
      last.reset();
    }
  }
  bool ok = true;
  if (!last) {
    gatherer.Keep(next ? &next->rows : nullptr);
    ok = readRows(fromUs, toUs);
  } else {
    std::vector<int64_t>& rows = last->rows;
    const size_t stride = gatherer.stride();
    // The first row at or after tUs, as an offset into rows.
    const auto rowAt = [&](int64_t tUs) {
      size_t low = 0, high = rows.size() / stride;
      while (low < high) {
        const size_t middle = (low + high) / 2;
        if (rows[middle * stride] < tUs)
          low = middle + 1;
        else
          high = middle;
      }
      return low * stride;
    };
    rows.resize(rowAt(toUs + 1));
    const size_t kept = rowAt(fromUs);
    if (fromUs < last->fromUs) {
      // The samples before the cached ones come first: the rows are gathered anew, into the spare
      // storage.
      next->rows = std::move(last->spare);
      next->rows.clear();
      gatherer.Keep(&next->rows);
      ok = readRows(fromUs, last->fromUs - 1);
      for (size_t at = kept; ok && at < rows.size(); at += stride)
        gatherer.Take(rows.data() + at);
      next->spare = std::move(rows);
    } else {
      // Within or after them: the cached rows stay where they are.
      rows.erase(rows.begin(), rows.begin() + static_cast<ptrdiff_t>(kept));
      for (size_t at = 0; at < rows.size(); at += stride)
        gatherer.Take(rows.data() + at);
      next->rows = std::move(rows);
      next->spare = std::move(last->spare);
      gatherer.Keep(&next->rows);
    }
    if (ok && toUs > last->toUs)
      ok = readRows(last->toUs + 1, toUs);
  }
  if (cache)
    cache->span = ok && gatherer.kept() ? std::move(next) : nullptr;
  if (!ok)
    return false;
  gatherer.Finish(envelope);
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
