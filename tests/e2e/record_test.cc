// `record`, `sessions` and `export` of the real vireometer-cli against the real vireometer-sim:
// unplug cycles, a kill, triggers on a charging curve, a full disk, and bad input.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/mount.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "e2e/cli_fixture.h"
#include "sim/load_profile.h"
#include "sim/meter_emulator.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using testing::Count;
using testing::Process;
using Rows = std::vector<std::vector<std::string>>;

class RecordTest : public testing::CliFixture {
 protected:
  void SetUp() override {
    CliFixture::SetUp();
    db_ = (folder_ / "work/r.db").string();
  }
  void TearDown() override {
    sim_.reset();
    if (mounted_)
      ::umount2(mounted_->c_str(), MNT_DETACH);
    CliFixture::TearDown();
  }

  // Runs a query on its own read-only connection; every column as text ("NULL" for none).
  Rows Query(const std::string& sql, const std::string& path = "") {
    sqlite3* db = nullptr;
    Rows rows;
    EXPECT_EQ(
        sqlite3_open_v2((path.empty() ? db_ : path).c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
        SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db);
    while (s && sqlite3_step(s) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(s); ++i) {
        const auto* t = sqlite3_column_text(s, i);
        row.push_back(t ? reinterpret_cast<const char*>(t) : "NULL");
      }
      rows.push_back(row);
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return rows;
  }
  std::string One(const std::string& sql) {
    const Rows rows = Query(sql);
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
  }

  nlohmann::json Sessions() {
    auto cli = Cli({"sessions", db_, "--json"});
    EXPECT_EQ(cli->Wait(), 0) << cli->err;
    return nlohmann::json::parse(cli->out, nullptr, false);
  }

  std::string db_;
  std::optional<fs::path> mounted_;
};

// A stored sample: its time and the frame it matched.
struct Matched {
  int64_t tUs;
  uint32_t n;
  bool afterGap;
};

TEST_F(RecordTest, TenUnplugCyclesAreOneSessionWithTenGapsAndTheEmulatorsEnergy) {
  constexpr double kIntervalS = 0.01;
  StartSim({"--unplug-every", "1", "--unplug-for", "0.5", "--unplug-cycles", "10"});
  auto cli = Cli({"record", "--db", db_, "--csv", "live.csv", "--jsonl", "live.jsonl", "--json"});
  ASSERT_TRUE(WaitForErr(*cli, "is back; recording again", 10)) << cli->err;
  sim_->Wait(std::chrono::milliseconds(50));                  // reads what the emulator printed
  EXPECT_EQ(Count(sim_->out, "plugged "), 20u) << sim_->out;  // 10 unplugged, 10 plugged
  // A second of frames after the last replug.
  const auto before = std::stoi(One("SELECT count(*) FROM samples"));
  for (int i = 0; i < 500 && std::stoi(One("SELECT count(*) FROM samples")) < before + 100; ++i)
    cli->Wait(std::chrono::milliseconds(20));
  cli->Signal(SIGINT);
  ASSERT_EQ(cli->Wait(), 0) << cli->err;

  const nlohmann::json printed = nlohmann::json::parse(cli->out);
  const nlohmann::json listed = Sessions();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(printed, listed);
  const nlohmann::json& s = listed[0];
  EXPECT_EQ(s["ended"], "stopped");
  EXPECT_EQ(s["serial"], "FEDCBA");
  EXPECT_EQ(s["gaps"], 10);
  EXPECT_EQ(s["framesLost"], 0);
  EXPECT_GT(s["coverage"].get<double>(), 0.4);
  EXPECT_LT(s["coverage"].get<double>(), 0.9);
  EXPECT_NEAR(s["coveredSeconds"].get<double>() + s["gapSeconds"].get<double>(),
              s["durationSeconds"].get<double>(), 1e-5);
  for (const char* key : {"voltage", "current", "power", "dplus", "dminus", "temp_internal",
                          "temp_external", "voltage_fast", "current_fast"}) {
    EXPECT_TRUE(s["min"].contains(key) && s["max"].contains(key) && s["mean"].contains(key)) << key;
  }
  EXPECT_EQ(Query("SELECT count(*) FROM gaps WHERE cause = 'meter gone' AND to_us > from_us"),
            Rows{{"10"}});

  // Every stored sample is a frame the emulator sent; recompute the energy and charge from the
  // emulator's readings, with its own clock (frame number x interval), over the stretches
  // between the gaps.
  const Rows gaps = Query("SELECT from_us FROM gaps ORDER BY from_us");
  const Rows samples = Query("SELECT t_us, voltage_uv, current_ua FROM samples ORDER BY t_us");
  ASSERT_EQ(std::to_string(samples.size()), s["samples"].dump());
  std::vector<Matched> matched;
  uint32_t next = 0;
  size_t gap = 0;
  for (const auto& row : samples) {
    const int64_t t = std::stoll(row[0]);
    bool afterGap = false;
    while (gap < gaps.size() && std::stoll(gaps[gap][0]) < t) {
      afterGap = true;
      ++gap;
    }
    bool found = false;
    for (uint32_t n = next; n < next + 200 && !found; ++n) {
      const ReadingsRecord r = sim::ReadingsForFrame(n);
      if (std::llround(r.voltage * 1e6) == std::stoll(row[1]) &&
          std::llround(r.current * 1e6) == std::stoll(row[2])) {
        matched.push_back({t, n, afterGap});
        next = n + 1;
        found = true;
      }
    }
    ASSERT_TRUE(found) << "a sample the emulator did not send, at " << t;
  }
  double energyWh = 0, chargeMah = 0;
  for (size_t i = 1; i < matched.size(); ++i) {
    if (matched[i].afterGap)
      continue;
    EXPECT_EQ(matched[i].n, matched[i - 1].n + 1) << "a frame lost within a stretch";
    const ReadingsRecord a = sim::ReadingsForFrame(matched[i - 1].n);
    const ReadingsRecord b = sim::ReadingsForFrame(matched[i].n);
    const double hours = (matched[i].n - matched[i - 1].n) * kIntervalS / 3600;
    energyWh += (double{a.power} + b.power) / 2 * hours;
    chargeMah += (double{a.current} + b.current) / 2 * hours * 1000;
  }
  EXPECT_NEAR(s["energyWh"].get<double>(), energyWh, energyWh * 0.005);
  EXPECT_NEAR(s["chargeMah"].get<double>(), chargeMah, chargeMah * 0.005);

  // The live outputs hold the rows that export gives.
  auto csv = Cli({"export", db_});
  ASSERT_EQ(csv->Wait(), 0) << csv->err;
  EXPECT_EQ(csv->out, testing::ReadText(folder_ / "work/live.csv"));
  EXPECT_EQ(Count(csv->out, ",meter gone\n"), 10u);
  auto jsonl = Cli({"export", db_, "--format", "jsonl", "--session", "1"});
  ASSERT_EQ(jsonl->Wait(), 0) << jsonl->err;
  std::string live = testing::ReadText(folder_ / "work/live.jsonl");
  ASSERT_TRUE(live.starts_with("{\"session\":"));
  EXPECT_EQ(jsonl->out, live.substr(live.find('\n') + 1));
  std::istringstream lines(jsonl->out);
  size_t gapRows = 0, rows = 0;
  for (std::string line; std::getline(lines, line); ++rows) {
    const auto j = nlohmann::json::parse(line);
    if (j.contains("gap")) {
      ++gapRows;
      EXPECT_EQ(j["gap"]["cause"], "meter gone");
      EXPECT_LT(j["gap"]["from"].get<double>(), j["gap"]["to"].get<double>());
    } else {
      EXPECT_EQ(j.size(), 10u) << line;
    }
  }
  EXPECT_EQ(gapRows, 10u);
  EXPECT_EQ(rows, samples.size() + 10);
}

TEST_F(RecordTest, AKilledRecorderLeavesAnIntactStoreThatTheNextRunCloses) {
  StartSim({"--frame-interval-ms", "1"});
  auto cli = Cli({"record", "--db", db_});
  ASSERT_TRUE(WaitForErr(*cli, "session 1 started")) << cli->err;
  for (int i = 0; i < 500 && std::stoi(One("SELECT count(*) FROM samples")) < 1000; ++i)
    cli->Wait(std::chrono::milliseconds(20));
  cli->Signal(SIGKILL);
  EXPECT_EQ(cli->Wait(), 128 + SIGKILL);

  EXPECT_EQ(One("PRAGMA integrity_check"), "ok");
  const std::string samples = One("SELECT count(*) FROM samples");
  const std::string last = One("SELECT max(t_us) FROM samples");
  EXPECT_GE(std::stoi(samples), 1000);
  const nlohmann::json left = Sessions();
  EXPECT_EQ(left[0]["ended"], nullptr);
  EXPECT_EQ(left[0]["recording"], false);
  auto table = Cli({"sessions", db_});
  EXPECT_EQ(table->Wait(), 0) << table->err;
  EXPECT_NE(table->out.find(" unfinished "), std::string::npos) << table->out;

  auto next = Cli({"record", "--db", db_, "--duration", "0.3"});
  EXPECT_EQ(next->Wait(), 0) << next->err;
  EXPECT_NE(next->err.find("session 1 was left unfinished by a recorder that stopped "
                           "unexpectedly; closed it as interrupted at its last sample"),
            std::string::npos)
      << next->err;
  const nlohmann::json sessions = Sessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0]["ended"], "interrupted");
  EXPECT_EQ(sessions[0]["samples"].dump(), samples);
  EXPECT_NEAR(sessions[0]["durationSeconds"].get<double>(), std::stoll(last) / 1e6, 1e-6);
  EXPECT_EQ(One("SELECT end_t_us FROM sessions WHERE id = 1"), last);
  EXPECT_EQ(One("SELECT count(*) FROM samples WHERE session_id = 1"), samples);
  EXPECT_EQ(sessions[1]["ended"], "limit");
  EXPECT_EQ(One("PRAGMA integrity_check"), "ok");
}

TEST_F(RecordTest, AChargingCurveWithTriggersGivesOneSessionPerChargeWithItsPreRoll) {
  // A 6 s cycle: idle 1 s, rise to 2 A in 0.5 s, hold 1.5 s, taper to 0.02 A in 1 s, rest 2 s.
  const std::string profile = "charge:idle=1,rise=0.5,hold=1.5,taper=1,rest=2,peak=2,done=0.02";
  StartSim({"--load", profile});
  auto cli = Cli({"record", "--db", db_, "--start-above", "0.5", "--pre-roll", "0.5",
                  "--stop-below", "0.1", "--for", "0.5"});
  ASSERT_TRUE(WaitForErr(*cli, "trigger stop", 2)) << cli->err;
  cli->Signal(SIGTERM);
  ASSERT_EQ(cli->Wait(), 0) << cli->err;

  std::string why;
  const auto curve = sim::LoadProfile::Parse(profile, why);
  ASSERT_TRUE(curve) << why;
  // The crossing of 0.5 A lies 1.125 s into each cycle, the current is below 0.1 A from
  // 3.9596 s on, and the stop comes 0.5 s later.
  EXPECT_LT(curve->CurrentAt(1.12), 0.5);
  EXPECT_GT(curve->CurrentAt(1.13), 0.5);
  const nlohmann::json sessions = Sessions();
  ASSERT_EQ(sessions.size(), 2u);
  for (const auto& s : sessions) {
    SCOPED_TRACE(s.dump());
    EXPECT_EQ(s["ended"], "trigger");
    EXPECT_EQ(s["gaps"], 0);
    EXPECT_NEAR(s["durationSeconds"].get<double>(), 4.46 - 0.625, 0.05);
    EXPECT_LT(s["min"]["current"].get<double>(), 0.1);
    EXPECT_NEAR(s["max"]["current"].get<double>(), 2, 1e-3);
    const std::string id = s["id"].dump();
    const Rows events =
        Query("SELECT kind, t_us FROM events WHERE session_id = " + id + " ORDER BY t_us");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0][0], "trigger start");
    EXPECT_EQ(events[1][0], "trigger stop");
    // The pre-roll: half a second of samples below the threshold before the crossing.
    EXPECT_NEAR(std::stoll(events[0][1]) / 1e6, 0.5, 0.03);
    const Rows before =
        Query("SELECT count(*), max(current_ua) FROM samples WHERE session_id = " + id +
              " AND t_us < " + events[0][1]);
    EXPECT_NEAR(std::stoi(before[0][0]), 50, 3);
    EXPECT_LE(std::stoll(before[0][1]), 500000);
  }
  // The second session begins one cycle after the first.
  const double apart = (std::stoll(One("SELECT max(start_unix_us) - min(start_unix_us) FROM "
                                       "sessions"))) /
                       1e6;
  EXPECT_NEAR(apart, 6, 0.1);
}

class FullDiskTest : public RecordTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FullDiskTest, EndsTheSessionCleanlyWithEverythingBeforeKept) {
  const fs::path disk = folder_ / "disk";
  fs::create_directory(disk);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1536k") != 0)
    GTEST_SKIP() << "cannot mount a small disk here: " << std::strerror(errno);
  mounted_ = disk;
  db_ = (disk / "r.db").string();
  StartSim({"--frame-interval-ms", "1"});
  auto cli = Cli({"record", "--db", db_, "--min-free", GetParam()});
  ASSERT_EQ(cli->Wait(std::chrono::seconds(120)), 1) << cli->err;
  EXPECT_NE(cli->err.find("; the session ends"), std::string::npos) << cli->err;
  EXPECT_EQ(cli->err.find("cannot write the end"), std::string::npos) << cli->err;
  EXPECT_EQ(One("PRAGMA integrity_check"), "ok");
  const nlohmann::json sessions = Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0]["ended"], "disk full");
  EXPECT_GT(sessions[0]["samples"].get<int>(), 1000);
  EXPECT_EQ(sessions[0]["samples"].dump(), One("SELECT count(*) FROM samples"));
  // A run refuses to start on a disk below its limit (this one is smaller), and changes
  // nothing.
  auto again = Cli({"record", "--db", db_, "--min-free", "2M"});
  EXPECT_EQ(again->Wait(), 1);
  EXPECT_EQ(Sessions(), sessions);
}

// Below --min-free, and on a disk that is really full.
INSTANTIATE_TEST_SUITE_P(Limits, FullDiskTest, ::testing::Values("512K", "0"));

TEST_F(RecordTest, OneRecorderAtATimeWhileSessionsAndExportRead) {
  StartSim();
  auto first = Cli({"record", "--db", db_});
  ASSERT_TRUE(WaitForErr(*first, "session 1 started")) << first->err;
  auto second = Cli({"record", "--db", db_});
  EXPECT_EQ(second->Wait(), 1);
  EXPECT_EQ(second->err, "vireometer-cli: " + db_ +
                             " is being recorded into by vireometer-cli (process " +
                             std::to_string(first->pid()) + ")\n");
  for (int i = 0; i < 500 && One("SELECT count(*) FROM samples") == "0"; ++i)
    first->Wait(std::chrono::milliseconds(20));
  const nlohmann::json sessions = Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0]["ended"], nullptr);
  EXPECT_EQ(sessions[0]["recording"], true);
  EXPECT_EQ(sessions[0]["title"], nullptr);
  auto exported = Cli({"export", db_, "--format", "jsonl"});
  EXPECT_EQ(exported->Wait(), 0) << exported->err;
  EXPECT_FALSE(exported->out.empty());
  first->Signal(SIGINT);
  EXPECT_EQ(first->Wait(), 0);
}

// A finished store is one file, read from a read-only folder by `sessions`, `export` and
// SQLite without anything written beside it. The emulator has no probe: its -60 degrees are
// no reading.
TEST_F(RecordTest, AFinishedStoreIsOneFileThatReadsFromAReadOnlyFolder) {
  StartSim();
  auto rec = Cli({"record", "--db", db_, "--duration", "0.3"});
  ASSERT_EQ(rec->Wait(), 0) << rec->err;
  const fs::path work = folder_ / "work";
  const auto beside = [&] { return fs::exists(db_ + "-wal") || fs::exists(db_ + "-shm"); };
  EXPECT_FALSE(beside());
  EXPECT_EQ(One("PRAGMA journal_mode"), "delete");
  const fs::path readOnly = folder_ / "read-only";
  fs::create_directory(readOnly);
  if (::mount(work.c_str(), readOnly.c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "cannot mount a read-only folder here: " << std::strerror(errno);
  mounted_ = readOnly;
  ASSERT_EQ(::mount(nullptr, readOnly.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
            0)
      << std::strerror(errno);
  const std::string db = (readOnly / "r.db").string();
  auto sessions = Cli({"sessions", db, "--json"});
  ASSERT_EQ(sessions->Wait(), 0) << sessions->err;
  const nlohmann::json s = nlohmann::json::parse(sessions->out);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0]["min"]["temp_external"], nullptr);
  EXPECT_NE(s[0]["min"]["temp_internal"], nullptr);
  auto exported = Cli({"export", db});
  ASSERT_EQ(exported->Wait(), 0) << exported->err;
  // Each row leaves temp_external, the eighth column, empty.
  const std::regex noProbe(R"(^([^,]*,){6}[^,]+,,)");
  size_t withoutProbe = 0;
  std::istringstream rows(exported->out);
  for (std::string row; std::getline(rows, row);)
    withoutProbe += std::regex_search(row, noProbe);
  EXPECT_EQ(withoutProbe, s[0]["samples"].get<size_t>()) << exported->out;
  EXPECT_EQ(Query("SELECT count(*) FROM readings WHERE temp_external IS NULL", db)[0][0],
            s[0]["samples"].dump());
  EXPECT_FALSE(beside());
}

TEST_F(RecordTest, NoStoreRecordsToTheLiveOutputOnly) {
  StartSim();
  auto cli = Cli({"record", "--no-store", "--jsonl", "-", "--duration", "0.5"});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  EXPECT_TRUE(cli->out.starts_with("{\"session\": {") || cli->out.starts_with("{\"session\":{"))
      << cli->out;
  EXPECT_GT(Count(cli->out, "\"voltage\""), 30u);
  EXPECT_FALSE(fs::exists(db_));
  EXPECT_NE(cli->err.find("ended: limit"), std::string::npos) << cli->err;
}

TEST_F(RecordTest, ExportTakesTimesAsSecondsOrUtc) {
  StartSim();
  auto rec = Cli({"record", "--db", db_, "--duration", "1"});
  ASSERT_EQ(rec->Wait(), 0) << rec->err;
  const std::string start = Sessions()[0]["start"];
  auto part = Cli({"export", db_, "--from", "0.25", "--to", "0.5"});
  ASSERT_EQ(part->Wait(), 0) << part->err;
  std::istringstream lines(part->out);
  std::string header, row;
  std::getline(lines, header);
  size_t n = 0;
  for (; std::getline(lines, row); ++n) {
    const double t = std::stod(row.substr(0, row.find(',')));
    EXPECT_GE(t, 0.25);
    EXPECT_LE(t, 0.5);
  }
  EXPECT_NEAR(static_cast<double>(n), 25, 3);
  auto fromUtc = Cli({"export", db_, "--from", start, "--to", "0.5"});
  ASSERT_EQ(fromUtc->Wait(), 0) << fromUtc->err;
  auto fromZero = Cli({"export", db_, "--from", "0", "--to", "0.5"});
  ASSERT_EQ(fromZero->Wait(), 0) << fromZero->err;
  EXPECT_EQ(fromUtc->out, fromZero->out);
}

struct BadInput {
  const char* name;
  std::vector<std::string> args;
  int status = 2;  // 1: a file that cannot be opened
};

class RecordBadInputTest : public RecordTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(RecordBadInputTest, IsOneLineAndItsExitStatusWithNothingChanged) {
  std::ofstream(folder_ / "work/notes.txt") << "not a database\n";
  auto cli = Cli(GetParam().args);
  EXPECT_EQ(cli->Wait(), GetParam().status) << cli->err;
  EXPECT_EQ(Count(cli->err, "\n"), 1u) << cli->err;
  EXPECT_EQ(testing::ReadText(folder_ / "work/notes.txt"), "not a database\n");
  EXPECT_FALSE(fs::exists(folder_ / "work/new.db"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordBadInputTest,
    ::testing::Values(
        BadInput{"no_db", {"record"}},
        BadInput{"no_store_without_output", {"record", "--no-store"}},
        BadInput{"store_and_no_store", {"record", "--no-store", "--db", "new.db", "--csv", "-"}},
        BadInput{"contradictory_triggers",
                 {"record", "--db", "new.db", "--start-above", "0.5", "--stop-below", "1"}},
        BadInput{"pre_roll_alone", {"record", "--db", "new.db", "--pre-roll", "2"}},
        BadInput{"for_alone", {"record", "--db", "new.db", "--for", "2"}},
        BadInput{"negative_duration", {"record", "--db", "new.db", "--duration", "-1"}},
        BadInput{"negative_pre_roll",
                 {"record", "--db", "new.db", "--start-above", "1", "--pre-roll", "-1"}},
        BadInput{"bad_size", {"record", "--db", "new.db", "--min-free", "lots"}},
        BadInput{"two_outputs_on_stdout",
                 {"record", "--db", "new.db", "--csv", "-", "--jsonl", "-"}},
        BadInput{"json_and_stdout_output", {"record", "--db", "new.db", "--csv", "-", "--json"}},
        BadInput{"duration_beyond_the_clock", {"record", "--db", "new.db", "--duration", "1e10"}},
        BadInput{"text_file_as_store", {"record", "--db", "notes.txt"}},
        BadInput{"store_in_missing_folder", {"record", "--db", "missing/new.db"}, 1},
        BadInput{
            "output_in_missing_folder", {"record", "--db", "new.db", "--csv", "missing/r.csv"}, 1},
        BadInput{
            "missing_alarms_file", {"record", "--db", "new.db", "--alarms", "missing.conf"}, 1},
        BadInput{"no_meter", {"record", "--db", "new.db"}, 1},
        BadInput{"sessions_of_text", {"sessions", "notes.txt"}},
        BadInput{"sessions_of_nothing", {"sessions", "new.db"}, 1},
        BadInput{"export_of_text", {"export", "notes.txt"}},
        BadInput{"export_of_nothing", {"export", "new.db"}, 1},
        BadInput{"stats_of_nothing", {"stats", "new.db"}, 1},
        BadInput{"export_into_missing_folder", {"export", "notes.txt", "-o", "missing/r.csv"}}),
    [](const auto& p) { return std::string(p.param.name); });

// stats over the whole session and over a span that crosses a gap and cuts buckets gives what
// SQL straight over the samples gives.
TEST_F(RecordTest, StatsOfASpanEqualSqlOverTheSamples) {
  StartSim({"--unplug-every", "1.2", "--unplug-for", "0.5", "--unplug-cycles", "1"});
  auto cli = Cli({"record", "--db", db_});
  ASSERT_TRUE(WaitForErr(*cli, "is back; recording again")) << cli->err;
  const auto before = std::stoi(One("SELECT count(*) FROM samples"));
  for (int i = 0; i < 500 && std::stoi(One("SELECT count(*) FROM samples")) < before + 100; ++i)
    cli->Wait(std::chrono::milliseconds(20));
  cli->Signal(SIGINT);
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  ASSERT_EQ(One("SELECT count(*) FROM gaps"), "1");

  const auto expectSql = [&](const nlohmann::json& j, int64_t from, int64_t to) {
    const std::string span =
        "session_id = 1 AND t_us BETWEEN " + std::to_string(from) + " AND " + std::to_string(to);
    const Rows sql = Query(
        "SELECT * FROM (SELECT count(*), min(voltage_uv) / 1e6, max(voltage_uv) / 1e6, "
        "avg(voltage_uv) / 1e6, avg(current_ua) / 1e6, max(power_uw) / 1e6 FROM samples WHERE " +
        span +
        "), (SELECT sum(t_us - pt) / 1e6, sum((power_uw + pp) / 2.0 * (t_us - pt)) / 3.6e15, "
        "sum((current_ua + pc) / 2.0 * (t_us - pt)) / 3.6e12 FROM (SELECT t_us, power_uw, "
        "current_ua, lag(power_uw) OVER w AS pp, lag(current_ua) OVER w AS pc, lag(t_us) OVER w "
        "AS pt FROM samples WHERE " +
        span +
        " WINDOW w AS (ORDER BY t_us)) WHERE pt IS NOT NULL AND NOT EXISTS (SELECT 1 FROM gaps g "
        "WHERE g.session_id = 1 AND g.from_us >= pt AND g.from_us < t_us))");
    ASSERT_EQ(sql.size(), 1u);
    const auto near = [](double got, const std::string& want) {
      EXPECT_NEAR(got, std::stod(want), std::fabs(std::stod(want)) * 1e-3) << want;
    };
    EXPECT_EQ(j["samples"].dump(), sql[0][0]);
    near(j["min"]["voltage"], sql[0][1]);
    near(j["max"]["voltage"], sql[0][2]);
    near(j["mean"]["voltage"], sql[0][3]);
    near(j["mean"]["current"], sql[0][4]);
    near(j["max"]["power"], sql[0][5]);
    near(j["coveredSeconds"], sql[0][6]);
    near(j["energyWh"], sql[0][7]);
    near(j["chargeMah"], sql[0][8]);
  };
  auto whole = Cli({"stats", db_, "--json"});
  ASSERT_EQ(whole->Wait(), 0) << whole->err;
  const auto w = nlohmann::json::parse(whole->out);
  expectSql(w, 0, INT64_MAX);
  const nlohmann::json summary = Sessions()[0];
  EXPECT_NEAR(w["energyWh"].get<double>(), summary["energyWh"].get<double>(),
              summary["energyWh"].get<double>() * 1e-3);
  EXPECT_NEAR(w["chargeMah"].get<double>(), summary["chargeMah"].get<double>(),
              summary["chargeMah"].get<double>() * 1e-3);
  EXPECT_NEAR(w["coverage"].get<double>(), summary["coverage"].get<double>(), 1e-3);

  const int64_t gapTo = std::stoll(One("SELECT to_us FROM gaps"));
  const int64_t to = gapTo + 300'000;
  auto span = Cli({"stats", db_, "--session", "1", "--from", "0.25", "--to",
                   std::to_string(to / 1e6), "--json"});
  ASSERT_EQ(span->Wait(), 0) << span->err;
  const auto j = nlohmann::json::parse(span->out);
  EXPECT_EQ(j["from"], 0.25);
  expectSql(j, 250'000,
            std::stoll(One("SELECT max(t_us) FROM samples WHERE t_us <= " +
                           std::to_string(std::llround(j["to"].get<double>() * 1e6)))));
  EXPECT_LT(j["coverage"].get<double>(), 0.9);
}

TEST_F(RecordTest, ExportRefusesAMissingSessionAndBadTimes) {
  StartSim();
  auto rec = Cli({"record", "--db", db_, "--duration", "0.2"});
  ASSERT_EQ(rec->Wait(), 0) << rec->err;
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"export", db_, "--session", "7"},
                                             {"export", db_, "--from", "yesterday"},
                                             {"export", db_, "--from", "2", "--to", "1"},
                                             {"export", db_, "--format", "xml"}}) {
    auto cli = Cli(args);
    EXPECT_EQ(cli->Wait(), 2) << ::testing::PrintToString(args);
    EXPECT_EQ(Count(cli->err, "\n"), 1u) << cli->err;
  }
}

}  // namespace
}  // namespace vireo
