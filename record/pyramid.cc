#include "record/pyramid.h"

#include <algorithm>

#include "record/sqlite_statement.h"

namespace vireo::record {

namespace {

// (a + b) / 2 * dt in µW·µs is Wh / 3.6e15; in µA·µs, mAh / 3.6e12.
constexpr double kTwiceMicroWattMicrosecondsPerWh = 7.2e15;
constexpr double kTwiceMicroAmpereMicrosecondsPerMah = 7.2e12;
constexpr size_t kPowerIndex = 2;

}  // namespace

void Aggregate::AddSample(const StoredValues& values) {
  ++samples;
  for (size_t i = 0; i < kQuantityCount; ++i) {
    if (!values[i])
      continue;
    const int64_t v = *values[i];
    QuantityAggregate& q = quantities[i];
    if (q.count == 0 || v < q.min)
      q.min = v;
    if (q.count == 0 || v > q.max)
      q.max = v;
    q.sum += v;
    ++q.count;
  }
}

void Aggregate::AddStretch(int64_t dtUs, const StoredValues& previous,
                           const StoredValues& current) {
  coveredUs += dtUs;
  const double dt = static_cast<double>(dtUs);
  if (previous[kPowerIndex] && current[kPowerIndex])
    energyWh += static_cast<double>(*previous[kPowerIndex] + *current[kPowerIndex]) * dt /
                kTwiceMicroWattMicrosecondsPerWh;
  if (previous[kCurrentIndex] && current[kCurrentIndex])
    chargeMah += static_cast<double>(*previous[kCurrentIndex] + *current[kCurrentIndex]) * dt /
                 kTwiceMicroAmpereMicrosecondsPerMah;
}

void Aggregate::RemoveStretch(int64_t dtUs, const StoredValues& previous,
                              const StoredValues& current) {
  Aggregate stretch;
  stretch.AddStretch(dtUs, previous, current);
  coveredUs -= stretch.coveredUs;
  energyWh -= stretch.energyWh;
  chargeMah -= stretch.chargeMah;
}

void Aggregate::Merge(const Aggregate& other) {
  samples += other.samples;
  coveredUs += other.coveredUs;
  energyWh += other.energyWh;
  chargeMah += other.chargeMah;
  for (size_t i = 0; i < kQuantityCount; ++i) {
    QuantityAggregate& q = quantities[i];
    const QuantityAggregate& o = other.quantities[i];
    if (o.count == 0)
      continue;
    q.min = q.count ? std::min(q.min, o.min) : o.min;
    q.max = q.count ? std::max(q.max, o.max) : o.max;
    q.sum += o.sum;
    q.count += o.count;
  }
}

void PyramidBuilder::Add(int64_t tUs, const StoredValues& values, bool afterGap) {
  const bool stretch = havePrevious_ && !afterGap;
  for (size_t level = 0; level < kPyramidWidthsUs.size(); ++level) {
    const int64_t width = kPyramidWidthsUs[level];
    const int64_t index = tUs >= 0 ? tUs / width : (tUs - width + 1) / width;
    Bucket& bucket = open_[level];
    if (bucket.widthUs == 0 || bucket.index != index) {
      if (bucket.widthUs != 0 && openChanged_[level])
        finished_.push_back(bucket);
      bucket = Bucket{width, index, {}};
    }
    bucket.figures.AddSample(values);
    if (stretch)
      bucket.figures.AddStretch(tUs - previousUs_, previous_, values);
    openChanged_[level] = true;
  }
  havePrevious_ = true;
  previousUs_ = tUs;
  previous_ = values;
}

std::vector<Bucket> PyramidBuilder::TakeChanged() {
  std::vector<Bucket> changed = std::move(finished_);
  finished_.clear();
  for (size_t level = 0; level < open_.size(); ++level) {
    if (openChanged_[level])
      changed.push_back(open_[level]);
    openChanged_[level] = false;
  }
  return changed;
}

std::string PyramidFigureColumns() {
  std::string columns = "samples, covered_us, energy_wh, charge_mah";
  for (const QuantityInfo& q : kQuantities) {
    for (const char* what : {"_n", "_min", "_max", "_sum"})
      columns.append(", ").append(q.column).append(what);
  }
  return columns;
}

std::string PyramidTableSql() {
  std::string sql =
      "CREATE TABLE pyramid (\n"
      "  session_id INTEGER NOT NULL REFERENCES sessions(id),\n"
      "  width_s    INTEGER NOT NULL,\n"
      "  bucket     INTEGER NOT NULL,\n"
      "  samples    INTEGER NOT NULL,\n"
      "  covered_us INTEGER NOT NULL,\n"
      "  energy_wh  REAL    NOT NULL,\n"
      "  charge_mah REAL    NOT NULL";
  for (const QuantityInfo& q : kQuantities) {
    for (const char* what : {"_n", "_min", "_max", "_sum"})
      sql.append(",\n  ").append(q.column).append(what).append(" INTEGER");
  }
  sql.append(",\n  PRIMARY KEY (session_id, width_s, bucket)\n) WITHOUT ROWID;\n");
  return sql;
}

int WriteBuckets(sqlite3* db, int64_t sessionId, const std::vector<Bucket>& buckets) {
  if (buckets.empty())
    return SQLITE_OK;
  std::string sql = "INSERT OR REPLACE INTO pyramid (session_id, width_s, bucket, " +
                    PyramidFigureColumns() + ") VALUES (?, ?, ?";
  for (int i = 0; i < kPyramidFigureCount; ++i)
    sql += ", ?";
  sql += ")";
  Statement s(db, sql);
  if (!s)
    return sqlite3_errcode(db);
  int rc = SQLITE_OK;
  for (size_t b = 0; rc == SQLITE_OK && b < buckets.size(); ++b) {
    const Bucket& bucket = buckets[b];
    const Aggregate& f = bucket.figures;
    int i = 1;
    s.Bind(i++, sessionId);
    s.Bind(i++, bucket.widthUs / 1'000'000);
    s.Bind(i++, bucket.index);
    s.Bind(i++, f.samples);
    s.Bind(i++, f.coveredUs);
    s.Bind(i++, f.energyWh);
    s.Bind(i++, f.chargeMah);
    for (const QuantityAggregate& q : f.quantities) {
      s.Bind(i++, q.count);
      if (q.count == 0) {
        s.BindNull(i++);
        s.BindNull(i++);
      } else {
        s.Bind(i++, q.min);
        s.Bind(i++, q.max);
      }
      s.Bind(i++, q.sum);
    }
    rc = s.Run();
  }
  return rc;
}

}  // namespace vireo::record
