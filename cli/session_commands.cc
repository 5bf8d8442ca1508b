// record, sessions and export: recording sessions into an SQLite store and reading them back.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "alarms/alarm_engine.h"
#include "base/iso_time.h"
#include "base/posix.h"
#include "cli/alarm_options.h"
#include "cli/commands.h"
#include "cli/upgrade_reporter.h"
#include "record/record_store.h"
#include "record/recorder.h"
#include "record/session_span.h"
#include "record/store_edit.h"

namespace vireo::cli {
namespace {

using namespace vireo::record;
using Json = nlohmann::ordered_json;

// One clear line on standard error.
void Say(const std::string& line) {
  std::fprintf(stderr, "vireometer-cli: %s\n", line.c_str());
  std::fflush(stderr);
}

int UsageError(const std::string& line) {
  Say(line);
  return kExitUsage;
}

// Progress of upgrading an older store, on standard error: a running percentage on a terminal,
// else a line at the start and one at the end.
UpgradeProgress UpgradeProgressLine(const std::string& path) {
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  return [path, terminal, started = false, shown = -1](int64_t done, int64_t total) mutable {
    const int percent = total > 0 ? static_cast<int>(100 * done / total) : 100;
    if (!started) {
      started = true;
      if (!terminal)
        Say("upgrading " + path + " to the current store format");
    }
    if (terminal && percent != shown) {
      shown = percent;
      std::fprintf(stderr, "\rvireometer-cli: upgrading %s: %d %%", path.c_str(), percent);
      if (done >= total)
        std::fputc('\n', stderr);
      std::fflush(stderr);
    } else if (!terminal && done >= total) {
      Say("upgraded " + path);
    }
  };
}

Json Number(double v) {
  return std::isfinite(v) ? Json(v) : Json(nullptr);
}

// recording: a recorder holds the store, so a session without an end is still running rather
// than left unfinished.
// The "min", "max" and "mean" objects, each quantity by name; null for one without a value.
void AddMinMaxMean(Json& j, const std::array<QuantityStats, kQuantityCount>& quantities) {
  for (const char* which : {"min", "max", "mean"}) {
    Json values = Json::object();
    for (size_t i = 0; i < kQuantityCount; ++i) {
      const QuantityStats& q = quantities[i];
      const double v = which[1] == 'i' ? q.min : which[1] == 'a' ? q.max : q.Mean();
      values[std::string(kQuantities[i].name)] = q.count ? Number(v) : Json(nullptr);
    }
    j[which] = values;
  }
}

Json SessionJson(const StoredSession& s, bool recording) {
  Json j;
  j["id"] = s.id;
  j["start"] = FormatUtc(s.startUnixUs);
  j["end"] = s.endUs ? Json(FormatUtc(s.startUnixUs + *s.endUs)) : Json(nullptr);
  j["ended"] = s.ended ? Json(*s.ended) : Json(nullptr);
  j["recording"] = !s.ended && recording;
  j["serial"] = s.serial;
  j["firmware"] = s.firmware;
  j["title"] = s.title.empty() ? Json(nullptr) : Json(s.title);
  const Summary& m = s.summary;
  j["samples"] = m.samples;
  j["repeated"] = m.repeated;
  j["framesLost"] = m.framesLost ? Json(*m.framesLost) : Json(nullptr);
  j["gaps"] = m.gaps;
  j["gapSeconds"] = Number(m.gapSeconds);
  j["coveredSeconds"] = Number(m.coveredSeconds);
  j["durationSeconds"] = Number(m.durationSeconds);
  j["coverage"] = Number(m.coverage);
  j["energyWh"] = Number(m.energyWh);
  j["chargeMah"] = Number(m.chargeMah);
  AddMinMaxMean(j, m.quantities);
  j["settings"] = Json::parse(s.settingsJson.empty() ? "{}" : s.settingsJson, nullptr, false);
  if (j["settings"].is_discarded())
    j["settings"] = nullptr;
  return j;
}

void PrintSummary(const StoredSession& s) {
  const Summary& m = s.summary;
  std::string text = "session " + std::to_string(s.id) + ": " + FormatUtc(s.startUnixUs) + " to " +
                     (s.endUs ? FormatUtc(s.startUnixUs + *s.endUs) : "(recording)") +
                     ", ended: " + s.ended.value_or("not yet") + "\n";
  char line[512];
  std::snprintf(line, sizeof line,
                "  meter %s, %lld samples (%lld repeated, %s lost), %lld gaps (%.3f s), "
                "coverage %.2f %% of %.3f s\n  energy %.6f Wh, charge %.4f mAh\n",
                s.serial.c_str(), static_cast<long long>(m.samples),
                static_cast<long long>(m.repeated),
                m.framesLost ? std::to_string(*m.framesLost).c_str() : "unknown",
                static_cast<long long>(m.gaps), m.gapSeconds, 100 * m.coverage, m.durationSeconds,
                m.energyWh, m.chargeMah);
  text += line;
  for (size_t i = 0; i < kQuantityCount; ++i) {
    const QuantityStats& q = m.quantities[i];
    if (q.count == 0)
      continue;
    std::snprintf(line, sizeof line, "  %-13s min %-12.6g max %-12.6g mean %.6g\n",
                  std::string(kQuantities[i].name).c_str(), q.min, q.max, q.Mean());
    text += line;
  }
  std::fputs(text.c_str(), stderr);
}

CLI::Validator NotNegative() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        double value = 0;
        if (!CLI::detail::lexical_cast(text, value) || !std::isfinite(value) || value < 0)
          return "must be a number of 0 or more, not '" + text + "'";
        return {};
      },
      "NOT NEGATIVE");
}

struct RecordOptions {
  std::string meter;
  std::string db;
  bool noStore = false;
  std::string csv;
  std::string jsonl;
  bool json = false;
  bool anyMeter = false;
  uint64_t minFree = uint64_t{256} << 20;
  std::optional<double> startAbove, stopBelow, duration, maxEnergy, maxCharge;
  std::optional<double> preRoll, stopFor;
  double gapAfter = 1;
  AlarmOptions alarms;
};

// Removes the store that this run created when the run fails before its first session.
struct CreatedStoreGuard {
  RecordStore* store = nullptr;
  bool keep = false;
  ~CreatedStoreGuard() {
    if (store && !keep)
      store->RemoveIfCreatedEmpty();
  }
};

// A live output file; "-" is standard output.
struct Output {
  std::FILE* file = nullptr;
  bool owned = false;
  std::unique_ptr<LiveRowWriter> writer;
  ~Output() {
    if (owned && file)
      std::fclose(file);
  }
};

// The progress of a record with --duration, counted from the first frame, on the terminal's
// progress line; the watcher of the alarms, if any, is fed as before.
class DurationProgress final : public RecordWatcher {
 public:
  DurationProgress(RecordWatcher* inner, double seconds, UpgradeReporter& line)
      : inner_(inner), durationNs_(static_cast<int64_t>(seconds * 1e9)), line_(line) {}

  void OnFrames(const std::vector<TimedReadings>& frames) override {
    if (startNs_ < 0 && !frames.empty())
      startNs_ = frames.front().monotonicNs;
    if (inner_)
      inner_->OnFrames(frames);
  }
  bool OnTick(int64_t nowNs) override {
    if (startNs_ >= 0 && nowNs >= nextNs_) {
      const int64_t done = std::clamp<int64_t>(nowNs - startNs_, 0, durationNs_);
      line_.SetProgress(static_cast<int>(done * 100 / std::max<int64_t>(durationNs_, 1)));
      nextNs_ = nowNs + kRedrawNs;
    }
    return inner_ && inner_->OnTick(nowNs);
  }
  int64_t NextDeadline() const override {
    const int64_t own = startNs_ < 0 ? INT64_MAX : nextNs_;
    return std::min(own, inner_ ? inner_->NextDeadline() : INT64_MAX);
  }

 private:
  static constexpr int64_t kRedrawNs = 1'000'000'000;
  RecordWatcher* inner_;
  const int64_t durationNs_;
  UpgradeReporter& line_;
  int64_t startNs_ = -1;
  int64_t nextNs_ = 0;
};

int Record(const RecordOptions& o) {
  TriggerSettings t;
  t.startAbove = o.startAbove;
  t.preRollSeconds = o.preRoll.value_or(0);
  t.stopBelow = o.stopBelow;
  t.stopForSeconds = o.stopFor.value_or(t.stopForSeconds);
  t.durationSeconds = o.duration;
  t.maxEnergyWh = o.maxEnergy;
  t.maxChargeMah = o.maxCharge;
  t.gapAfterSeconds = o.gapAfter;
  if (o.stopFor && !o.stopBelow)
    return UsageError("--for needs --stop-below");
  if (std::string bad = t.Check(); !bad.empty())
    return UsageError(bad);
  if (!o.meter.empty() && o.anyMeter)
    return UsageError("--meter and --any-meter contradict each other");
  if (o.noStore && !o.db.empty())
    return UsageError("--no-store and --db contradict each other");
  if (!o.noStore && o.db.empty())
    return UsageError("give --db FILE, or --no-store with --csv or --jsonl");
  if (o.noStore && o.csv.empty() && o.jsonl.empty())
    return UsageError("--no-store needs --csv or --jsonl to record to");
  if (o.csv == "-" && o.jsonl == "-")
    return UsageError("--csv and --jsonl cannot both write to standard output");
  if (o.json && (o.csv == "-" || o.jsonl == "-"))
    return UsageError("--json prints on standard output, which a live output already uses");
  if (!o.csv.empty() && o.csv == o.jsonl)
    return UsageError("--csv and --jsonl name the same file");
  std::vector<std::string> alarmErrors;
  const std::unique_ptr<CommandAlarms> alarmWatch = CommandAlarms::Make(o.alarms, alarmErrors);
  for (const std::string& error : alarmErrors)
    Say(error);
  if (!alarmErrors.empty())
    return CommandAlarms::ErrorStatus(o.alarms);

  RecorderOptions options;
  options.triggers = t;
  options.anyMeter = o.anyMeter;
  const bool meterByPath = o.meter.find('/') != std::string::npos;
  if (!meterByPath)
    options.meterSerial = o.meter;
  options.minFreeBytes = o.minFree;

  std::unique_ptr<RecordStore> store;
  CreatedStoreGuard storeGuard;
  if (!o.noStore) {
    store = std::make_unique<RecordStore>();
    const StoreOpenResult opened = store->OpenForRecording(o.db, UpgradeProgressLine(o.db));
    if (opened.error != StoreError::kNone) {
      Say(opened.message);
      return opened.error == StoreError::kUsage ? kExitUsage : kExitFailed;
    }
    storeGuard.store = store.get();
    std::string error;
    for (const int64_t id : store->CloseUnfinished(error))
      Say("session " + std::to_string(id) +
          " was left unfinished by a recorder that stopped unexpectedly; closed it as "
          "interrupted at its last sample");
    if (!error.empty()) {
      Say("cannot close an unfinished session: " + error);
      return kExitFailed;
    }
    options.spacePaths.push_back(o.db);
  }

  Output outputs[2];
  std::vector<LiveRowWriter*> writers;
  const std::pair<const std::string*, RowFormat> wanted[2] = {{&o.csv, RowFormat::kCsv},
                                                              {&o.jsonl, RowFormat::kJsonl}};
  for (int i = 0; i < 2; ++i) {
    const std::string& path = *wanted[i].first;
    if (path.empty())
      continue;
    if (path == "-") {
      outputs[i].file = stdout;
    } else {
      outputs[i].file = std::fopen(path.c_str(), "we");
      if (!outputs[i].file) {
        Say("cannot write " + path + ": " + std::strerror(errno));
        return kExitFailed;
      }
      outputs[i].owned = true;
      options.spacePaths.push_back(path);
    }
    outputs[i].writer = std::make_unique<LiveRowWriter>(outputs[i].file, wanted[i].second);
    writers.push_back(outputs[i].writer.get());
  }

  // SIGINT and SIGTERM arrive as a readable descriptor.
  const sigset_t signals = BlockStopSignals();
  posix::UniqueFd stopFd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!stopFd) {
    Say(std::string("cannot take the stop signals: ") + std::strerror(errno));
    return kExitFailed;
  }

  Session session;
  if (meterByPath && !session.UseMeter(o.meter))
    return kExitFailed;
  // On a terminal a record with --duration (and no start trigger) shows its progress in place.
  const bool progress =
      o.duration && !o.startAbove && ::isatty(STDERR_FILENO) != 0 && o.csv != "-" && o.jsonl != "-";
  UpgradeReporter progressLine(session.reporter, stderr, progress, "Recording");
  Reporter& streamReporter = progress ? static_cast<Reporter&>(progressLine) : session.reporter;
  Recorder recorder(
      session.link, session.state, streamReporter, options, store.get(), writers,
      [&progressLine](const std::string& line) { progressLine.WriteAbove([&] { Say(line); }); });
  if (alarmWatch) {
    alarmWatch->OnEvent([&recorder](const alarms::AlarmEvent& e) {
      recorder.OnEvent(e.monotonicNs, std::string("alarm ") + alarms::AlarmStateText(e.state),
                       e.name + ": " + alarms::AlarmValueText(e));
    });
  }
  RecordWatcher* watcher = alarmWatch.get();
  std::optional<DurationProgress> progressWatch;
  if (progress)
    watcher = &progressWatch.emplace(alarmWatch.get(), *o.duration, progressLine);
  const RecordResult result = recorder.Run(stopFd.Get(), watcher);
  progressLine.ClearProgress();

  Json all = Json::array();
  std::vector<StoredSession> shown;
  std::string error;
  const std::vector<StoredSession> stored =
      store && !result.sessions.empty() ? store->Sessions(error) : std::vector<StoredSession>{};
  for (const EndedSession& e : result.sessions) {
    StoredSession s;
    bool found = false;
    for (const StoredSession& candidate : stored) {
      if (candidate.id == e.storeId) {
        s = candidate;
        found = true;
      }
    }
    if (!found) {  // without a store, or when the disk took nothing more
      s.id = e.storeId;
      s.startUnixUs = e.start.wallStartNs / 1000;
      s.endUs = e.end.endNs / 1000;
      s.ended = EndReasonText(e.end.reason);
      s.serial = e.start.serial;
      s.firmware = e.start.firmware;
      s.settingsJson = e.start.settingsJson;
      s.summary = e.end.summary;
    }
    PrintSummary(s);
    all.push_back(SessionJson(s, false));
  }
  if (result.meterFound && result.sessions.empty())
    Say("no session was recorded");
  if (o.json) {
    std::printf("%s\n", all.dump().c_str());
    std::fflush(stdout);
  }
  if (result.failed)
    return kExitFailed;
  storeGuard.keep = true;
  return alarmWatch && alarmWatch->ExitRequested() ? kExitAlarm : kExitOk;
}

// Opens a store for `sessions` and `export`; the exit status on failure.
std::optional<int> OpenToRead(RecordStore& store, const std::string& path) {
  const StoreOpenResult opened = store.OpenForReading(path);
  if (opened.error == StoreError::kNone)
    return std::nullopt;
  Say(opened.message);
  return opened.error == StoreError::kUsage ? kExitUsage : kExitFailed;
}

int Sessions(const std::string& path, bool json) {
  RecordStore store;
  if (auto status = OpenToRead(store, path))
    return *status;
  std::string error;
  const std::vector<StoredSession> sessions = store.Sessions(error);
  if (!error.empty()) {
    Say(path + ": " + error);
    return kExitFailed;
  }
  const bool recording = store.BeingRecorded();
  if (json) {
    Json all = Json::array();
    for (const StoredSession& s : sessions)
      all.push_back(SessionJson(s, recording));
    std::printf("%s\n", all.dump().c_str());
    return kExitOk;
  }
  std::printf("%4s  %-27s  %12s  %-13s  %-6s  %9s  %4s  %8s  %12s  %12s  %s\n", "id", "start",
              "seconds", "ended", "serial", "samples", "gaps", "coverage", "energy Wh",
              "charge mAh", "title");
  for (const StoredSession& s : sessions) {
    const Summary& m = s.summary;
    std::printf("%4lld  %-27s  %12.3f  %-13s  %-6s  %9lld  %4lld  %7.2f%%  %12.6f  %12.4f%s\n",
                static_cast<long long>(s.id), FormatUtc(s.startUnixUs).c_str(), m.durationSeconds,
                s.ended.value_or(recording ? "(recording)" : "unfinished").c_str(),
                s.serial.c_str(), static_cast<long long>(m.samples), static_cast<long long>(m.gaps),
                100 * m.coverage, m.energyWh, m.chargeMah,
                s.title.empty() ? "" : std::string("  ").append(s.title).c_str());
  }
  return kExitOk;
}

struct ExportOptions {
  std::string path;
  std::optional<int64_t> session;
  std::string format = "csv";
  std::string from;
  std::string to;
  std::string output = "-";
};

// A bound of --from/--to: seconds since the session's start, or a UTC time in ISO 8601.
std::optional<int64_t> ParseBound(const std::string& text, int64_t startUnixUs) {
  if (const auto utc = ParseUtc(text))
    return *utc - startUnixUs;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(seconds) || std::fabs(seconds) > 1e12)
    return std::nullopt;
  return std::llround(seconds * 1e6);
}

// The session and span that --session, --from and --to of `export` and `stats` name; the exit
// status on failure.
struct ChosenSpan {
  StoredSession session;
  int64_t fromUs = INT64_MIN;
  int64_t toUs = INT64_MAX;
};

std::optional<int> ChooseSpan(const RecordStore& store, const ExportOptions& o, ChosenSpan& span) {
  std::string error;
  const std::vector<StoredSession> sessions = store.Sessions(error);
  if (!error.empty()) {
    Say(o.path + ": " + error);
    return kExitFailed;
  }
  if (sessions.empty()) {
    Say(o.path + " holds no sessions");
    return kExitFailed;
  }
  const StoredSession* session = &sessions.back();
  if (o.session) {
    session = nullptr;
    for (const StoredSession& s : sessions) {
      if (s.id == *o.session)
        session = &s;
    }
    if (!session)
      return UsageError("there is no session " + std::to_string(*o.session) + " in " + o.path);
  }
  span.session = *session;
  if (!o.from.empty()) {
    const auto v = ParseBound(o.from, session->startUnixUs);
    if (!v)
      return UsageError(
          "--from must be seconds since the start or a UTC time such as "
          "2024-05-01T12:00:00Z, not '" +
          o.from + "'");
    span.fromUs = *v;
  }
  if (!o.to.empty()) {
    const auto v = ParseBound(o.to, session->startUnixUs);
    if (!v)
      return UsageError(
          "--to must be seconds since the start or a UTC time such as "
          "2024-05-01T12:00:00Z, not '" +
          o.to + "'");
    span.toUs = *v;
  }
  if (span.fromUs > span.toUs)
    return UsageError("--from lies after --to");
  return std::nullopt;
}

// Opens the store of `export` or `stats` and chooses its span; the exit status on failure.
std::optional<int> OpenSpan(const ExportOptions& o, RecordStore& store, ChosenSpan& span) {
  if (auto status = OpenToRead(store, o.path))
    return status;
  return ChooseSpan(store, o, span);
}

int Export(const ExportOptions& o) {
  RecordStore store;
  ChosenSpan span;
  if (auto status = OpenSpan(o, store, span))
    return *status;
  const StoredSession* session = &span.session;
  const int64_t fromUs = span.fromUs, toUs = span.toUs;
  std::string error;

  std::FILE* out = stdout;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(nullptr, &std::fclose);
  if (o.output != "-") {
    file.reset(std::fopen(o.output.c_str(), "we"));
    if (!file) {
      Say("cannot write " + o.output + ": " + std::strerror(errno));
      return kExitFailed;
    }
    out = file.get();
  }
  const RowFormat format = o.format == "jsonl" ? RowFormat::kJsonl : RowFormat::kCsv;
  if (!WriteRows(store, session->id, fromUs, toUs, format, out, error)) {
    Say(error);
    return kExitFailed;
  }
  return kExitOk;
}

int Stats(const ExportOptions& o, bool json) {
  RecordStore store;
  ChosenSpan span;
  if (auto status = OpenSpan(o, store, span))
    return *status;
  SpanStats st;
  std::string error;
  if (!SpanStatistics(store, span.session.id, span.fromUs, span.toUs, st, error)) {
    Say(o.path + ": " + error);
    return kExitFailed;
  }
  if (json) {
    Json j;
    j["session"] = span.session.id;
    j["from"] = st.fromUs / 1e6;
    j["to"] = st.toUs / 1e6;
    j["fromUtc"] = FormatUtc(span.session.startUnixUs + st.fromUs);
    j["toUtc"] = FormatUtc(span.session.startUnixUs + st.toUs);
    j["spanSeconds"] = Number(st.spanSeconds);
    j["coveredSeconds"] = Number(st.coveredSeconds);
    j["coverage"] = Number(st.coverage);
    j["samples"] = st.samples;
    j["energyWh"] = Number(st.energyWh);
    j["chargeMah"] = Number(st.chargeMah);
    AddMinMaxMean(j, st.quantities);
    std::printf("%s\n", j.dump().c_str());
    return kExitOk;
  }
  std::printf("session %lld, %.6f s to %.6f s since its start (%s to %s)\n",
              static_cast<long long>(span.session.id), st.fromUs / 1e6, st.toUs / 1e6,
              FormatUtc(span.session.startUnixUs + st.fromUs).c_str(),
              FormatUtc(span.session.startUnixUs + st.toUs).c_str());
  std::printf("span      %14.6f s\n", st.spanSeconds);
  std::printf("covered   %14.6f s (%.2f%%)\n", st.coveredSeconds, 100 * st.coverage);
  std::printf("samples   %14lld\n", static_cast<long long>(st.samples));
  std::printf("energy    %14.6f Wh\n", st.energyWh);
  std::printf("charge    %14.4f mAh\n", st.chargeMah);
  std::printf("%-14s  %12s  %12s  %12s\n", "", "min", "max", "mean");
  for (size_t i = 0; i < kQuantityCount; ++i) {
    const QuantityStats& q = st.quantities[i];
    if (q.count == 0)
      continue;
    std::printf("%-14s  %12.6f  %12.6f  %12.6f\n", std::string(kQuantities[i].name).c_str(), q.min,
                q.max, q.Mean());
  }
  return kExitOk;
}

}  // namespace

void AddSessionCommands(CLI::App& app, int& status) {
  auto* record = app.add_subcommand(
      "record",
      "Record the live readings into sessions in an SQLite store until Ctrl-C, SIGTERM, a "
      "limit or a stop trigger. A session goes on across unplugs: the time without frames "
      "becomes a gap. At the end the sessions' summaries go to standard error.");
  auto r = std::make_shared<RecordOptions>();
  AddMeterOption(*record, r->meter);
  record->add_option("--db", r->db, "The store (created when missing; one recorder at a time).")
      ->type_name("FILE");
  record->add_flag("--no-store", r->noStore, "Record to --csv/--jsonl only.");
  record->add_option("--csv", r->csv, "Write each row as it is recorded, as CSV ('-': stdout).")
      ->type_name("FILE|-");
  record->add_option("--jsonl", r->jsonl, "The same as JSON lines ('-': stdout).")
      ->type_name("FILE|-");
  record
      ->add_option("--start-above", r->startAbove,
                   "Start a session when the current rises above A (ampere).")
      ->type_name("A");
  record
      ->add_option("--pre-roll", r->preRoll,
                   "With --start-above: keep S seconds from before the crossing.")
      ->check(NotNegative())
      ->type_name("S");
  record
      ->add_option("--stop-below", r->stopBelow,
                   "End a session when the current stays below A for --for seconds.")
      ->type_name("A");
  record->add_option("--for", r->stopFor, "With --stop-below: seconds below (default 10).")
      ->check(NotNegative())
      ->type_name("S");
  record->add_option("--duration", r->duration, "End the session after S seconds.")
      ->check(AboveZero())
      ->type_name("S");
  record->add_option("--max-energy", r->maxEnergy, "End the session at this energy (Wh).")
      ->check(AboveZero())
      ->type_name("WH");
  record->add_option("--max-charge", r->maxCharge, "End the session at this charge (mAh).")
      ->check(AboveZero())
      ->type_name("MAH");
  record
      ->add_option("--gap-after", r->gapAfter,
                   "Seconds without frames after which the meter counts as lost.")
      ->check(AboveZero())
      ->capture_default_str()
      ->type_name("S");
  record->add_flag("--any-meter", r->anyMeter,
                   "After an unplug, accept another meter than the one the run began with.");
  record
      ->add_option("--min-free", r->minFree,
                   "End the session cleanly as \"disk full\" below this much free space "
                   "(default 256M; 0: only when the disk is full).")
      ->transform(ByteSize())
      ->type_name("SIZE");
  record->add_flag("--json", r->json,
                   "Also print the summaries as a JSON array on standard output.");
  record->footer(
      "A limit or a stop trigger without --start-above ends the run; with --start-above a "
      "stop trigger waits for the next crossing. Exit status: 0 when stopped, at a limit or "
      "a trigger; 1 when the meter, the disk or the store failed; 2 on bad input; 3 when an "
      "alarm of --exit-on-alarm was raised (its session ends as stopped). Alarms add events "
      "to the running session in the store: 'alarm raised' and 'alarm cleared'.");
  AddAlarmOptions(*record, r->alarms);
  record->callback([&status, r] { status = Record(*r); });

  auto* sessions =
      app.add_subcommand("sessions", "List the sessions of a store with their summaries.");
  auto sPath = std::make_shared<std::string>();
  auto sJson = std::make_shared<bool>(false);
  sessions->add_option("FILE", *sPath, "The store.")->required();
  sessions->add_flag("--json", *sJson, "One JSON array instead of a table.");
  sessions->footer(
      "The column 'ended' says how a session ended (stopped, limit, trigger, interrupted, disk "
      "full, meter refused); '(recording)' while a recorder writes it, and 'unfinished' when "
      "the recorder that wrote it died (the next record on the store closes it as "
      "interrupted). The last column is the session's title, if it was given one. In JSON, "
      "'recording' is true while a recorder writes the session, and 'title' is null without "
      "one.\n"
      "Exit status: 0 success, 1 the file cannot be read, 2 it is not a store.");
  sessions->callback([&status, sPath, sJson] { status = Sessions(*sPath, *sJson); });

  auto* exporter = app.add_subcommand(
      "export",
      "Write the samples of a session, with a row of its own for each gap. t is seconds "
      "since the session's start.");
  auto e = std::make_shared<ExportOptions>();
  exporter->add_option("FILE", e->path, "The store.")->required();
  exporter->add_option("--session", e->session, "The session (default: the last).")->type_name("N");
  exporter->add_option("--format", e->format, "CSV with a header, or JSON lines.")
      ->check(CLI::IsMember({"csv", "jsonl"}))
      ->capture_default_str();
  exporter
      ->add_option("--from", e->from,
                   "From T: seconds since the session's start, or a UTC time "
                   "(2024-05-01T12:00:00Z).")
      ->type_name("T");
  exporter->add_option("--to", e->to, "Up to T, likewise.")->type_name("T");
  exporter->add_option("-o,--output", e->output, "Write to FILE instead of standard output.")
      ->type_name("FILE");
  exporter->callback([&status, e] { status = Export(*e); });

  auto* stats = app.add_subcommand(
      "stats",
      "The statistics of a span of a session: its length, covered time and coverage, min, max "
      "and mean of each quantity, and energy and charge over the covered time only.");
  auto st = std::make_shared<ExportOptions>();
  auto stJson = std::make_shared<bool>(false);
  stats->add_option("FILE", st->path, "The store.")->required();
  stats->add_option("--session", st->session, "The session (default: the last).")->type_name("N");
  stats
      ->add_option("--from", st->from,
                   "From T: seconds since the session's start, or a UTC time "
                   "(2024-05-01T12:00:00Z); default its start.")
      ->type_name("T");
  stats->add_option("--to", st->to, "Up to T, likewise; default its end.")->type_name("T");
  stats->add_flag("--json", *stJson, "One JSON object instead of a table.");
  stats->footer(
      "Only the samples within the span count; a stretch between two samples that a gap "
      "separates adds no covered time, energy or charge.\n"
      "Exit status: 0 success, 1 the file cannot be read, 2 bad input or not a store.");
  stats->callback([&status, st, stJson] { status = Stats(*st, *stJson); });
}

}  // namespace vireo::cli
