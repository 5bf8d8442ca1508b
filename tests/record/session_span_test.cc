// Span statistics and envelopes read through the pyramid equal one pass over the samples, at
// spans that cut buckets of every width and fall into gaps; a version-1 store is read by that
// pass and, opened for recording, gets the pyramid that the recorder would have written.
#include "record/session_span.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "recording_sink.h"

namespace vireo::record {
namespace {

namespace fs = std::filesystem;
using test::kSecond;

struct Fed {
  int64_t tUs;
  StoredValues values;
  bool afterGap;
};

class SessionSpanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-span-XXXXXX";
    folder_ = mkdtemp(pattern);
    path_ = (folder_ / "r.db").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  void Exec(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  std::string One(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    std::string text;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
    while (s && sqlite3_step(s) == SQLITE_ROW) {
      const auto* t = sqlite3_column_text(s, 0);
      text += t ? reinterpret_cast<const char*>(t) : "NULL";
      text += "\n";
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return text;
  }

  // 2.5 hours of samples 50 ms to 4 s apart, some without power, with gaps of up to 90 s that
  // cross bucket borders, written in batches of 1 to 300 samples.
  void Record() {
    RecordStore store;
    ASSERT_EQ(store.OpenForRecording(path_).error, StoreError::kNone);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(0, 1);
    store.BeginSession({1, int64_t{1'700'000'000} * kSecond, "FEDCBA", "1.5", "{}"});
    int64_t t = 0;
    bool afterGap = false;
    int batch = 0;
    while (t < 9000 * kSecond) {
      ReadingsRecord r =
          test::Frame(0, 4.5f + float(unit(random)), float(unit(random)) - 0.2f).readings;
      if (unit(random) < 0.03)
        r.power = std::nanf("");
      store.Sample(t, r);
      fed_.push_back({t / 1000, ToStored(r), afterGap});
      afterGap = false;
      if (unit(random) < 0.004) {
        const int64_t to = t + static_cast<int64_t>(unit(random) * 90 * kSecond) + kSecond;
        store.GapOpened(t, "meter gone");
        store.GapClosed({t, to, "meter gone"});
        t = to;
        afterGap = true;
      } else {
        t += (50 + static_cast<int64_t>(unit(random) * 3950)) * test::kMillisecond;
      }
      if (++batch >= 1 + static_cast<int>(unit(random) * 300)) {
        ASSERT_EQ(store.Flush(std::nullopt, 0), RecordStore::FlushResult::kOk);
        batch = 0;
      }
    }
    store.EndSession({fed_.back().tUs * 1000, EndReason::kStopped, {}});
    ASSERT_EQ(store.FlushFinal(), RecordStore::FlushResult::kOk);
  }

  // The figures of [from, to] by one pass over what was fed.
  Aggregate Pass(int64_t from, int64_t to) const {
    Aggregate a;
    const Fed* previous = nullptr;
    for (const Fed& f : fed_) {
      if (f.tUs < from || f.tUs > to)
        continue;
      a.AddSample(f.values);
      if (previous && !f.afterGap)
        a.AddStretch(f.tUs - previous->tUs, previous->values, f.values);
      previous = &f;
    }
    return a;
  }

  void ExpectStatsOfPass(const RecordStore& store, int64_t from, int64_t to) {
    SpanStats st;
    std::string error;
    ASSERT_TRUE(SpanStatistics(store, 1, from, to, st, error)) << error;
    const Aggregate a = Pass(from, to);
    SCOPED_TRACE(std::to_string(from) + ".." + std::to_string(to));
    EXPECT_EQ(st.samples, a.samples);
    EXPECT_NEAR(st.coveredSeconds, a.coveredUs / 1e6, 1e-9);
    EXPECT_NEAR(st.energyWh, a.energyWh, 1e-9 + std::fabs(a.energyWh) * 1e-9);
    EXPECT_NEAR(st.chargeMah, a.chargeMah, 1e-9 + std::fabs(a.chargeMah) * 1e-9);
    EXPECT_EQ(st.fromUs, std::clamp<int64_t>(from, 0, fed_.back().tUs));
    EXPECT_EQ(st.toUs, std::clamp<int64_t>(to, st.fromUs, fed_.back().tUs));
    EXPECT_NEAR(st.coverage, st.toUs > st.fromUs ? a.coveredUs / double(st.toUs - st.fromUs) : 0,
                1e-12);
    for (size_t i = 0; i < kQuantityCount; ++i) {
      const QuantityAggregate& q = a.quantities[i];
      EXPECT_EQ(st.quantities[i].count, q.count) << i;
      if (q.count == 0)
        continue;
      EXPECT_DOUBLE_EQ(st.quantities[i].min, q.min / kQuantities[i].scale) << i;
      EXPECT_DOUBLE_EQ(st.quantities[i].max, q.max / kQuantities[i].scale) << i;
      EXPECT_DOUBLE_EQ(st.quantities[i].Mean(), q.sum / kQuantities[i].scale / q.count) << i;
    }
  }

  void ExpectSpansEqualThePass(const RecordStore& store) {
    const int64_t end = fed_.back().tUs;
    std::mt19937 random(11);
    std::uniform_int_distribution<int64_t> anywhere(-kSecond / 1000, end + 5'000'000);
    // The whole session, spans cutting 1 s, 1 min and 1 h buckets, one sample's time exactly,
    // and spans that begin or end inside gaps.
    ExpectStatsOfPass(store, INT64_MIN, INT64_MAX);
    ExpectStatsOfPass(store, 1'234'567, 7'654'321'987);
    ExpectStatsOfPass(store, 59'999'999, 3'600'000'001);
    ExpectStatsOfPass(store, fed_[10].tUs, fed_[10].tUs);
    for (size_t i = 1; i < fed_.size(); ++i) {
      if (fed_[i].afterGap) {
        ExpectStatsOfPass(store, fed_[i - 1].tUs + 1, fed_[i].tUs + 3'000'000);
        ExpectStatsOfPass(store, fed_[i - 1].tUs - 61'000'000, fed_[i].tUs - 1);
      }
    }
    for (int i = 0; i < 40; ++i) {
      int64_t a = anywhere(random), b = anywhere(random);
      ExpectStatsOfPass(store, std::min(a, b), std::max(a, b));
    }
  }

  fs::path folder_;
  std::string path_;
  std::vector<Fed> fed_;
};

TEST_F(SessionSpanTest, StatisticsAndEnvelopesFromThePyramidEqualAPassOverTheSamples) {
  Record();
  RecordStore store;
  ASSERT_EQ(store.OpenForReading(path_).error, StoreError::kNone);
  ASSERT_TRUE(store.HasPyramid());
  ExpectSpansEqualThePass(store);

  // Envelopes: a level with at least one bucket a pixel, holding every sample of the buckets it
  // touches; a narrow span gives its samples as they are.
  std::string error;
  for (const auto& [from, to, pixels, width] :
       std::vector<std::array<int64_t, 4>>{{0, 8'999'000'000, 2, 3'600'000'000},
                                           {100'500'000, 5'000'000'000, 600, 1'000'000},
                                           {30'000'000, 4'000'000'000, 50, 60'000'000}}) {
    SpanEnvelope envelope;
    ASSERT_TRUE(Envelope(store, 1, from, to, static_cast<int>(pixels), envelope, error)) << error;
    EXPECT_EQ(envelope.widthUs, width);
    ASSERT_EQ(envelope.columns.size(), static_cast<size_t>(pixels));
    const Aggregate a = Pass(from / width * width, (to / width + 1) * width - 1);
    int64_t samples = 0;
    double lowest = INFINITY, highest = -INFINITY;
    for (const EnvelopeColumn& c : envelope.columns) {
      samples += c.samples;
      if (c.samples) {
        lowest = std::min(lowest, c.min[0]);
        highest = std::max(highest, c.max[0]);
      }
    }
    EXPECT_EQ(samples, a.samples);
    EXPECT_DOUBLE_EQ(lowest, a.quantities[0].min / 1e6);
    EXPECT_DOUBLE_EQ(highest, a.quantities[0].max / 1e6);
  }
  SpanEnvelope narrow;
  ASSERT_TRUE(Envelope(store, 1, fed_[5].tUs, fed_[9].tUs, 100, narrow, error)) << error;
  EXPECT_TRUE(narrow.columns.empty());
  ASSERT_EQ(narrow.samples.size(), 5u);
  EXPECT_EQ(narrow.samples[4].tUs, fed_[9].tUs);
  EXPECT_DOUBLE_EQ(narrow.samples[4].values[1], *fed_[9].values[1] / 1e6);
  std::vector<StoredGap> gaps;
  ASSERT_TRUE(GapsIn(store, 1, 0, INT64_MAX, gaps, error)) << error;
  EXPECT_EQ(gaps.size(), static_cast<size_t>(std::count_if(
                             fed_.begin(), fed_.end(), [](const Fed& f) { return f.afterGap; })));
}

// Columns read from the samples (here of a version-1 store, read so at any width) hold, each, the
// count and the extremes of the samples of its pixel; the number an older store kept for a
// missing probe is no reading. Through a cache, the steps that reuse the samples the last one read
// (a part of it, a pan either way) give the same; a change by another connection is seen.
TEST_F(SessionSpanTest, EnvelopeColumnsFromTheSamplesEqualAPassOverThem) {
  Record();
  const size_t marked = 40;
  Exec("UPDATE samples SET temp_external_mc = -100000 WHERE t_us = " +
       std::to_string(fed_[marked].tUs) +
       "; DROP TABLE pyramid; PRAGMA user_version = 1; PRAGMA journal_mode = DELETE;");
  fed_[marked].values[kTempExternalIndex].reset();
  RecordStore store;
  ASSERT_EQ(store.OpenForReading(path_).error, StoreError::kNone);
  std::string error;
  // All quantities, and a few whose places in the query differ from their indexes.
  const int64_t some = (1 << 1) | (1 << 2) | (1 << kTempExternalIndex);
  const auto check = [&](int64_t from, int64_t to, int64_t pixels, int64_t set,
                         SampleCache* cache) {
    SCOPED_TRACE(std::to_string(from) + ".." + std::to_string(to) + (cache ? " cached" : ""));
    SpanEnvelope envelope;
    ASSERT_TRUE(Envelope(store, 1, from, to, static_cast<int>(pixels), envelope, error,
                         static_cast<unsigned>(set), cache))
        << error;
    ASSERT_EQ(envelope.widthUs, 0);
    std::vector<EnvelopeColumn> expected(static_cast<size_t>(pixels));
    for (EnvelopeColumn& c : expected) {
      c.min.fill(NAN);
      c.max.fill(NAN);
    }
    const double pixelUs = (to - from + 1.0) / pixels;
    for (const Fed& f : fed_) {
      if (f.tUs < from || f.tUs > to)
        continue;
      EnvelopeColumn& c = expected[static_cast<size_t>((f.tUs - from) / pixelUs)];
      ++c.samples;
      for (size_t i = 0; i < kQuantityCount; ++i) {
        if (!f.values[i] || !(set & (1 << i)))
          continue;
        const double v = *f.values[i] / kQuantities[i].scale;
        c.min[i] = std::fmin(c.min[i], v);
        c.max[i] = std::fmax(c.max[i], v);
      }
    }
    ASSERT_EQ(envelope.columns.size(), expected.size());
    for (size_t p = 0; p < expected.size(); ++p) {
      ASSERT_EQ(envelope.columns[p].samples, expected[p].samples) << p;
      for (size_t i = 0; i < kQuantityCount; ++i) {
        EXPECT_EQ(std::isnan(envelope.columns[p].min[i]), std::isnan(expected[p].min[i]));
        if (!std::isnan(expected[p].min[i])) {
          EXPECT_DOUBLE_EQ(envelope.columns[p].min[i], expected[p].min[i]) << p << " " << i;
          EXPECT_DOUBLE_EQ(envelope.columns[p].max[i], expected[p].max[i]) << p << " " << i;
        }
      }
    }
  };
  const std::vector<std::array<int64_t, 4>> steps{
      {0, 8'999'999'999, 1200, kAllQuantities},
      {fed_[marked].tUs - 90'000'000, fed_[marked].tUs, 7, kAllQuantities},
      {fed_[marked].tUs - 90'000'000, fed_[marked].tUs, 7, some},
      {-5'000'000, 600'000'000, 100, some},
      {4'321'000'017, 4'900'000'000, 99, kAllQuantities},
      {4'000'000'000, 4'600'000'000, 99, kAllQuantities},
      {4'500'000'000, 5'200'000'000, 99, kAllQuantities}};
  SampleCache cache;
  for (SampleCache* through : {static_cast<SampleCache*>(nullptr), &cache}) {
    for (const auto& [from, to, pixels, set] : steps)
      check(from, to, pixels, set, through);
  }
  Exec("UPDATE samples SET voltage_uv = voltage_uv + 1000");
  for (Fed& f : fed_) {
    if (f.values[0])
      *f.values[0] += 1000;
  }
  const auto& [from, to, pixels, set] = steps.back();
  check(from, to, pixels, set, &cache);
}

TEST_F(SessionSpanTest, AVersionOneStoreIsReadByOnePassAndUpgradedWhenOpenedForRecording) {
  Record();
  const std::string written = One("SELECT * FROM pyramid ORDER BY session_id, width_s, bucket");
  Exec("DROP TABLE pyramid; PRAGMA user_version = 1; PRAGMA journal_mode = DELETE;");
  {
    RecordStore store;
    ASSERT_EQ(store.OpenForReading(path_).error, StoreError::kNone);
    EXPECT_FALSE(store.HasPyramid());
    ExpectSpansEqualThePass(store);
  }
  EXPECT_EQ(One("PRAGMA user_version"), "1\n");

  int64_t lastDone = -1, total = 0;
  RecordStore store;
  ASSERT_EQ(store
                .OpenForRecording(path_,
                                  [&](int64_t done, int64_t all) {
                                    EXPECT_GE(done, lastDone);
                                    lastDone = done;
                                    total = all;
                                  })
                .error,
            StoreError::kNone);
  EXPECT_EQ(total, static_cast<int64_t>(fed_.size()));
  EXPECT_EQ(lastDone, total);
  EXPECT_EQ(One("PRAGMA user_version"), "2\n");
  // The same buckets as the recorder wrote batch by batch.
  EXPECT_EQ(One("SELECT * FROM pyramid ORDER BY session_id, width_s, bucket"), written);
}

}  // namespace
}  // namespace vireo::record
