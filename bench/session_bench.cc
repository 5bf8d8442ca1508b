// Session store benchmark: a synthetic session of 24 h at 100 frames/s (8.64 million samples,
// 20 gaps) written through the recorder's session logic and store, then the times to list the
// sessions, to read the chart data of the whole session at 1200 pixels, a zoom step and a pan
// step at each pyramid level and from the samples (each timed after the view it starts from), a
// zoom step from 1 s buckets into samples not read before, and the statistics of the whole
// session; and the pyramid's share of the store's bytes; and the time to upgrade that store from
// version 1, and to delete its session (of the upgraded copy). Prints figures only. A folder given
// keeps the store, and a store already in it is read as it is (the writing is skipped), so that
// reads can be timed again without writing it. Run: build/bench/session_bench [hours] [batch
// seconds] [folder]
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "record/record_store.h"
#include "record/session_keeper.h"
#include "record/session_span.h"
#include "record/store_edit.h"
#include "sim/meter_emulator.h"

namespace vireo {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kSecondNs = 1'000'000'000;
constexpr int64_t kFrameNs = 10'000'000;  // 100 frames/s
constexpr int kGaps = 20;
constexpr int kPixels = 1200;
// Voltage, current and power: what the session view shows unless more are switched on.
constexpr unsigned kShown = 0b111;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The median of five runs, in milliseconds; false when a run failed. before, untimed, runs ahead
// of each: the view that a step starts from, so that a step finds in the caches what it would.
double Median(const std::function<bool()>& run, const std::function<bool()>& before = {}) {
  std::vector<double> times;
  for (int i = 0; i < 5; ++i) {
    if (before && !before())
      return -1;
    const auto start = Clock::now();
    if (!run())
      return -1;
    times.push_back(Ms(Clock::now() - start));
  }
  std::sort(times.begin(), times.end());
  return times[2];
}

int64_t Bytes(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  int64_t n = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
    n = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  return n;
}

int Run(double hours, double batchSeconds, const std::string& folderArg) {
  namespace fs = std::filesystem;
  std::string folder = folderArg;
  if (folder.empty()) {
    char pattern[] = "/tmp/vireo-session-bench-XXXXXX";
    if (!mkdtemp(pattern))
      return 1;
    folder = pattern;
  }
  const std::string path = (fs::path(folder) / "bench.db").string();
  const bool reuse = !folderArg.empty() && fs::exists(path);
  const int64_t frames = static_cast<int64_t>(hours * 3600 * 100);
  const int64_t batchFrames = std::max<int64_t>(1, static_cast<int64_t>(batchSeconds * 100));

  // Writing, as the recorder does: frames into the session logic, batches into the store.
  const auto writeStart = Clock::now();
  if (!reuse) {
    record::RecordStore store;
    const record::StoreOpenResult opened = store.OpenForRecording(path);
    if (opened.error != record::StoreError::kNone) {
      std::fprintf(stderr, "%s\n", opened.message.c_str());
      return 1;
    }
    record::TriggerSettings settings;
    record::SessionKeeper keeper(settings, store);
    keeper.SetMeter("FEDCBA", "1.5");
    const int64_t mono0 = 1000 * kSecondNs, wall0 = int64_t{1'700'000'000} * kSecondNs;
    int64_t offset = 0;  // the time the gaps took
    keeper.OnStreamStarted(mono0);
    TimedReadings frame;
    for (int64_t n = 0; n < frames; ++n) {
      frame.readings = sim::ReadingsForFrame(static_cast<uint32_t>(n));
      frame.monotonicNs = mono0 + n * kFrameNs + offset;
      frame.wallNs = wall0 + n * kFrameNs + offset;
      frame.number = static_cast<uint64_t>(n + 1);
      keeper.OnFrame(frame);
      if ((n + 1) % (frames / (kGaps + 1)) == 0 && n + 1 < frames - 1 && store.sessionId() != 0) {
        keeper.OnMeterLost(frame.monotonicNs + kFrameNs, "meter gone");
        offset += 30 * kSecondNs;
        keeper.OnStreamStarted(frame.monotonicNs + 30 * kSecondNs);
      }
      if ((n + 1) % batchFrames == 0 && store.Flush(keeper.Snapshot(frame.monotonicNs), 0) !=
                                            record::RecordStore::FlushResult::kOk) {
        std::fprintf(stderr, "%s\n", store.lastError().c_str());
        return 1;
      }
    }
    keeper.Stop(frame.monotonicNs, record::EndReason::kStopped);
    if (store.FlushFinal() != record::RecordStore::FlushResult::kOk) {
      std::fprintf(stderr, "%s\n", store.lastError().c_str());
      return 1;
    }
  }
  const double writeSeconds = Ms(Clock::now() - writeStart) / 1000;
  if (reuse)
    std::printf("session: the store in %s, as it is\n", path.c_str());
  else
    std::printf(
        "session: %lld samples (%.1f h at 100 frames/s, %d gaps), written in %.1f s in "
        "batches of %.1f s\n",
        static_cast<long long>(frames), hours, kGaps, writeSeconds, batchSeconds);

  auto reader = std::make_unique<record::RecordStore>();
  record::RecordStore& store = *reader;
  if (store.OpenForReading(path).error != record::StoreError::kNone)
    return 1;
  std::string error;
  std::vector<record::StoredSession> sessions;
  const double list = Median([&] {
    record::RecordStore s;
    if (s.OpenForReading(path).error != record::StoreError::kNone)
      return false;
    sessions = s.Sessions(error);
    return error.empty() && sessions.size() == 1;
  });
  if (sessions.empty())
    return 1;
  const int64_t end = *sessions[0].endUs;
  std::printf("%-44s %9.2f ms\n", "list the sessions (open and read)", list);

  record::SpanEnvelope envelope;
  std::vector<record::StoredGap> gaps;
  // As the session view reads: through a cache of the samples its last step read.
  record::SampleCache cache;
  const auto view = [&](int64_t from, int64_t to) {
    return record::Envelope(store, 1, from, to, kPixels, envelope, error, kShown, &cache) &&
           record::GapsIn(store, 1, from, to, gaps, error);
  };
  const double overview = Median([&] { return view(0, end); });
  std::printf("%-44s %9.2f ms  (goal 50 ms)\n", "overview at 1200 pixels", overview);

  view(0, end);
  const int64_t overviewWidth = envelope.widthUs;
  // At each level that a span of the session reaches at 1200 pixels: a span where it is the level
  // read (1.5 of its buckets a pixel), a zoom step (to 0.8 of the span, about its middle) and a
  // pan step (a tenth of the span); and likewise from the samples, over the longest span read
  // from them (just under one bucket of 1 s a pixel).
  std::vector<int64_t> widths(record::kPyramidWidthsUs.begin(), record::kPyramidWidthsUs.end());
  widths.insert(widths.begin(), 0);
  for (const int64_t width : widths) {
    const int64_t span =
        width ? width * kPixels * 3 / 2 : kPixels * record::kPyramidWidthsUs[0] - 1000;
    if (span > end && overviewWidth == width) {
      // The overview's own level: a pan step over the whole session's length.
      const double pan =
          Median([&] { return view(end / 10, end + end / 10); }, [&] { return view(0, end); });
      std::printf("%-44s %9.2f ms  (goal 16 ms)\n",
                  ("pan step, " + std::to_string(width / 1'000'000) + " s buckets").c_str(), pan);
      continue;
    }
    if (span > end) {
      std::printf("%lld s buckets: not read at 1200 pixels over %.1f h\n",
                  static_cast<long long>(width / 1'000'000), end / 3600e6);
      continue;
    }
    const int64_t from = end / 2 - span / 2, to = from + span;
    const int64_t zoomed = span * 4 / 5;
    int64_t read = -1;
    const auto start = [&] { return view(from, to); };
    const double zoom = Median(
        [&] {
          const bool ok = view(from + (span - zoomed) / 2, from + (span + zoomed) / 2);
          read = envelope.widthUs;
          return ok;
        },
        start);
    char what[64];
    if (read > 0)
      std::snprintf(what, sizeof what, "%lld s buckets", static_cast<long long>(read / 1'000'000));
    else
      std::snprintf(what, sizeof what, "samples (%lld s)",
                    static_cast<long long>(span / 1'000'000));
    std::printf("%-44s %9.2f ms  (goal 16 ms)\n", (std::string("zoom step, ") + what).c_str(),
                zoom);
    const double pan = Median(
        [&] {
          const bool ok = view(from + span / 10, to + span / 10);
          read = envelope.widthUs;
          return ok;
        },
        start);
    std::printf("%-44s %9.2f ms  (goal 16 ms)\n", (std::string("pan step, ") + what).c_str(), pan);
  }

  // A zoom step from 1 s buckets (1.2 s a pixel) into the samples (0.96 s a pixel), each run at
  // another place in the session, so that it reads samples that no view read before.
  {
    const int64_t wide = kPixels * 1'200'000, narrow = wide * 4 / 5;
    int64_t at = end / 8;
    const double into = Median(
        [&] {
          const bool ok =
              view(at + (wide - narrow) / 2, at + (wide + narrow) / 2) && envelope.widthUs == 0;
          at += end / 8;
          return ok;
        },
        [&] { return view(at, at + wide); });
    std::printf(
        "%-44s %9.2f ms  (goal 16 ms)\n",
        ("zoom step into the samples (" + std::to_string(narrow / 1'000'000) + " s)").c_str(),
        into);
  }

  record::SpanStats stats;
  const double statistics =
      Median([&] { return record::SpanStatistics(store, 1, 0, end, stats, error); });
  std::printf("%-44s %9.2f ms  (goal 20 ms)\n", "statistics of the whole session", statistics);
  std::printf("  %lld samples, covered %.0f s of %.0f s, %.4f Wh, %.2f mAh\n",
              static_cast<long long>(stats.samples), stats.coveredSeconds, stats.spanSeconds,
              stats.energyWh, stats.chargeMah);

  const int64_t total = static_cast<int64_t>(fs::file_size(path));
  const int64_t pyramid =
      Bytes(store.connection(), "SELECT SUM(pgsize) FROM dbstat WHERE name = 'pyramid'");
  if (pyramid >= 0)
    std::printf("pyramid: %.1f MB of %.1f MB, %.2f %% of the store (goal 5 %%)\n", pyramid / 1e6,
                total / 1e6, 100.0 * pyramid / total);
  else
    std::printf("store: %.1f MB; the pyramid's share is unknown (no dbstat)\n", total / 1e6);

  // The same store as version 1 would have it, upgraded as a recorder opening it does; a copy
  // of it when the store is kept.
  reader.reset();
  const std::string v1 = folderArg.empty() ? path : (fs::path(folder) / "bench-v1.db").string();
  std::error_code copyError;
  if (v1 != path && !fs::copy_file(path, v1, fs::copy_options::overwrite_existing, copyError)) {
    std::fprintf(stderr, "cannot copy the store: %s\n", copyError.message().c_str());
    return 1;
  }
  {
    sqlite3* db = nullptr;
    if (sqlite3_open(v1.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, "DROP TABLE pyramid; PRAGMA user_version = 1; VACUUM;", nullptr, nullptr,
                     nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "cannot make a version-1 store: %s\n", sqlite3_errmsg(db));
      sqlite3_close(db);
      return 1;
    }
    sqlite3_close(db);
  }
  const auto upgradeStart = Clock::now();
  {
    record::RecordStore upgraded;
    if (upgraded.OpenForRecording(v1).error != record::StoreError::kNone)
      return 1;
  }
  std::printf("%-44s %9.2f s\n", "upgrade of the store as version 1",
              Ms(Clock::now() - upgradeStart) / 1000);
  const auto deleteStart = Clock::now();
  if (!record::DeleteSession(v1, 1, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("%-44s %9.2f s\n", "delete the session", Ms(Clock::now() - deleteStart) / 1000);
  if (folderArg.empty())
    fs::remove_all(folder);
  else
    fs::remove(v1);
  return 0;
}

}  // namespace
}  // namespace vireo

int main(int argc, char** argv) {
  const double hours = argc > 1 ? std::atof(argv[1]) : 24;
  const double batch = argc > 2 ? std::atof(argv[2]) : 10;
  return vireo::Run(hours > 0 ? hours : 24, batch > 0 ? batch : 10, argc > 3 ? argv[3] : "");
}
