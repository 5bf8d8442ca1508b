// Alarms of the real vireometer-cli against the real vireometer-sim: a charge that ends and a
// meter that is lost, in `record` with its store and --on-alarm, and a hot probe in `stream`.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <regex>

#include "e2e/cli_fixture.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;

class AlarmTest : public testing::CliFixture {};

TEST_F(AlarmTest, RecordStoresTheEventsRunsTheProgramAndEndsWithStatus3) {
  // The meter starts idle for 1 s, the current tapers below 0.05 A about 1.7 s after the first
  // frame, and the meter is unplugged after 3 s.
  StartSim({"--load", "charge:idle=1,rise=0.1,hold=0.3,taper=0.3,rest=30,repeat=0",
            "--unplug-every", "3", "--unplug-for", "1"});
  const fs::path script = folder_ / "work/alarm.sh";
  std::ofstream(script) << "#!/bin/sh\n{ env | grep '^VIREO_' | sort; printf args; "
                           "for a in \"$@\"; do printf ' [%s]' \"$a\"; done; echo; } >> events\n";
  fs::permissions(script, fs::perms::owner_all);
  auto cli = Cli({"record", "--db", "c.db", "--alarm", "done: current < 50mA for 0.5s", "--alarm",
                  "lost: meter lost for 0.3s", "--on-alarm", script.string(), "one", "two words",
                  "--exit-on-alarm", "lost"});
  ASSERT_EQ(cli->Wait(), 3) << cli->err;
  EXPECT_NE(cli->err.find("alarm done raised: current 0.02A (meter FEDCBA)"), std::string::npos)
      << cli->err;

  // The store holds the session as ever, ended as stopped, and the two raises as events.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((folder_ / "work/c.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  std::vector<std::string> events;
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT kind || '|' || detail || '|' || (t_us > 1500000) FROM events "
                     "WHERE kind LIKE 'alarm %' "
                     "UNION ALL SELECT 'ended ' || ended FROM sessions",
                     -1, &s, nullptr);
  while (s && sqlite3_step(s) == SQLITE_ROW)
    events.push_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
  sqlite3_finalize(s);
  sqlite3_close(db);
  ASSERT_EQ(events.size(), 3u) << ::testing::PrintToString(events);
  EXPECT_EQ(events[0], "alarm raised|done: current 0.02A|1");
  EXPECT_TRUE(events[1].starts_with("alarm raised|lost: no frame for 0.3")) << events[1];
  EXPECT_EQ(events[2], "ended stopped");

  // The program ran once per event, with the event in its environment only.
  const std::regex expected(
      "VIREO_ALARM=done\nVIREO_QUANTITY=current\nVIREO_SERIAL=FEDCBA\nVIREO_STATE=raised\n"
      "VIREO_TIME=20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{6}Z\n"
      "VIREO_VALUE=0\\.02\nargs \\[one\\] \\[two words\\]\n"
      "VIREO_ALARM=lost\nVIREO_QUANTITY=meter_lost\nVIREO_SERIAL=FEDCBA\nVIREO_STATE=raised\n"
      "VIREO_TIME=[-0-9T:.]+Z\nVIREO_VALUE=0\\.3[0-9]{2}\nargs \\[one\\] \\[two words\\]\n");
  const std::string written = ReadText(folder_ / "work/events");
  EXPECT_TRUE(std::regex_match(written, expected)) << written;
}

TEST_F(AlarmTest, StreamRaisesOnAHotProbeAndEndsWithStatus3AfterItsRows) {
  StartSim({"--probe", "50"});
  auto cli =
      Cli({"stream", "--alarm", "hot: temp_external > 45C for 0.2s", "--exit-on-alarm", "hot"});
  ASSERT_EQ(cli->Wait(), 3) << cli->err;
  EXPECT_TRUE(std::regex_search(
      cli->err, std::regex("\nvireometer-cli: alarm hot raised: temp_external 50\\.?[0-9]*C "
                           "\\(meter FEDCBA\\)\n")))
      << cli->err;
  // 0.2 s of rows at 10 ms a frame came first.
  EXPECT_GE(std::count(cli->out.begin(), cli->out.end(), '\n'), 21) << cli->out;
}

}  // namespace
}  // namespace vireo
