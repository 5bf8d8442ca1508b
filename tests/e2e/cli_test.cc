// The real vireometer-cli against the real vireometer-sim, across processes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>

#include "e2e/cli_fixture.h"
#include "meter/meter_link.h"
#include "sim/meter_emulator.h"
#include "text/text_table.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using testing::Process;

using CliTest = testing::CliFixture;

// The emulator's socket, as the cause of a refused open names it.
std::string MeterSocket(const fs::path& folder) {
  return (folder / "dev/hid-0716-5027-0100-meter.sock").string();
}

TEST_F(CliTest, InfoPrintsTheStatusFieldsOfAnIdentifiedMeter) {
  StartSim({"--serial", "ABCDEF", "--version-byte", "0x15"});
  auto cli = Cli({"info"});
  EXPECT_EQ(cli->Wait(), 0) << cli->err;
  EXPECT_EQ(cli->out, texts_[TXT_SN_LABEL] + ":FEDCBA\n" + texts_[TXT_VERSION_LABEL] + ":1.5\n");
  EXPECT_EQ(cli->err, texts_[TXT_DEVICE_CONNECTED] + "\n");
}

TEST_F(CliTest, InfoAsJson) {
  StartSim({"--serial", "XY1234", "--version-byte", "22"});
  auto cli = Cli({"info", "--json"});
  EXPECT_EQ(cli->Wait(), 0) << cli->err;
  EXPECT_EQ(nlohmann::json::parse(cli->out),
            nlohmann::json::parse(
                R"({"connected": true, "serial": "4321YX", "version": "1.6", "versionByte": 22})"));
}

TEST_F(CliTest, InfoWithoutMeterFailsAndPrintsNoFields) {
  for (const bool json : {false, true}) {
    auto cli = json ? Cli({"info", "--json"}) : Cli({"info"});
    EXPECT_EQ(cli->Wait(), 1);
    EXPECT_EQ(cli->out, "");
    EXPECT_EQ(cli->err, texts_[TXT_DEVICE_NOT_FOUND] + "\n");
  }
}

TEST_F(CliTest, InfoReportsAMeterHeldByAnotherClient) {
  StartSim();
  MeterLink holder;
  holder.Configure();
  ASSERT_TRUE(holder.Open());
  auto cli = Cli({"info"});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->err, texts_[TXT_ERR_OPEN] + "\n" + MeterSocket(folder_) +
                          " refused the open: another program holds it\n");
}

// The connected line, then the notice on lines of its own, once.
std::string OldFirmwareLog(const TextTable& texts) {
  return texts[TXT_DEVICE_CONNECTED] + "\n" + texts[TXT_FW_REQUIRED] + ":1.5\n" +
         texts[TXT_FW_TOO_OLD] + "\n";
}

TEST_F(CliTest, InfoShowsTheFirmwareNoticeOnceForOldFirmware) {
  StartSim({"--version-byte", "0x14"});
  auto cli = Cli({"info"});
  EXPECT_EQ(cli->Wait(), 0);
  EXPECT_EQ(cli->err, OldFirmwareLog(texts_));
}

TEST_F(CliTest, StreamShowsTheFirmwareNoticeOnceForOldFirmware) {
  StartSim({"--version-byte", "0x14"});
  auto cli = Cli({"stream", "--count", "5"});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->err, OldFirmwareLog(texts_));
  EXPECT_EQ(cli->out, "");
}

TEST_F(CliTest, StreamReportsAMeterHeldElsewhereInsteadOfOldFirmware) {
  StartSim();
  MeterLink holder;
  holder.Configure();
  ASSERT_TRUE(holder.Open());
  auto cli = Cli({"stream", "--count", "5"});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->err, texts_[TXT_ERR_OPEN] + "\n" + MeterSocket(folder_) +
                          " refused the open: another program holds it\n");
  EXPECT_EQ(cli->out, "");
}

TEST_F(CliTest, StreamReportsASilentMeterInsteadOfOldFirmware) {
  StartSim({"--silent"});
  auto cli = Cli({"stream", "--count", "5"});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->err, "USB: " + texts_[TXT_ERR_COMM] + "\n");
}

// info and stream, run as a user who may not open the meter.
class PermissionTest : public CliTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(PermissionTest, AMeterThisUserMayNotOpenGetsTheHint) {
  constexpr const char* kSetpriv = "/usr/bin/setpriv";
  if (geteuid() != 0 || access(kSetpriv, X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to run the tool as another user";
  StartSim();
  for (const fs::path& p : {folder_, folder_ / "dev", folder_ / "work"})
    fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  // The meter's socket is root's alone, as a device node without the udev rule.
  fs::permissions(MeterSocket(folder_), fs::perms::owner_read | fs::perms::owner_write);
  std::vector<std::string> args = {kSetpriv,         "--reuid=65534", "--regid=65534",
                                   "--clear-groups", VIREO_CLI,       GetParam()};
  if (args.back() == "stream")
    args.insert(args.end(), {"--count", "3"});
  auto cli = std::make_unique<Process>(args, (folder_ / "work").string());
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->err, texts_[TXT_ERR_OPEN] + "\npermission denied on " + MeterSocket(folder_) +
                          "\n" + texts_.Extra("hint_permission") + "\n");
}

INSTANTIATE_TEST_SUITE_P(Commands, PermissionTest, ::testing::Values("info", "stream"),
                         [](const auto& p) { return std::string(p.param); });

TEST_F(CliTest, ListMarksTheMeterWithItsSerialOrBusy) {
  StartSim();
  auto cli = Cli({"list"});
  EXPECT_EQ(cli->Wait(), 0);
  const std::string line = "0716:5027 0100 " + MeterSocket(folder_) + " meter ";
  EXPECT_NE(cli->out.find(line + "FEDCBA\n"), std::string::npos) << cli->out;
  auto stream = Cli({"stream"});
  ASSERT_TRUE(stream->WaitForOutput("\n")) << stream->err;  // it holds the meter now
  auto busy = Cli({"list"});
  EXPECT_EQ(busy->Wait(), 0);
  EXPECT_NE(busy->out.find(line + "busy\n"), std::string::npos) << busy->out;
}

TEST_F(CliTest, UsageErrorsSayWhatWasWrongOnOneLineAndExitWith2) {
  // The arguments, and a part of the one line that must name the fault and where to look.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "subcommand is required (see vireometer-cli --help)"},
      {{"frobnicate"}, "no subcommand 'frobnicate' (see vireometer-cli --help)"},
      {{"--frobnicate"}, "no option '--frobnicate'"},
      {{"info", "--xml"}, "--xml (see vireometer-cli info --help)"},
      {{"list", "extra"}, "extra (see vireometer-cli list --help)"},
      {{"stream", "--count", "0"}, "--count: must be a number above 0, not '0'"},
      {{"stream", "--count", "x"}, "not 'x' (see vireometer-cli stream --help)"},
      {{"stream", "--format", "xml"}, "xml"},
      {{"stream", "--seconds"}, "--seconds"}};
  for (const auto& [args, says] : cases) {
    auto cli = Cli(args);
    EXPECT_EQ(cli->Wait(), 2) << ::testing::PrintToString(args);
    EXPECT_EQ(std::count(cli->err.begin(), cli->err.end(), '\n'), 1) << cli->err;
    EXPECT_EQ(cli->err.rfind("vireometer-cli: ", 0), 0u) << cli->err;
    EXPECT_NE(cli->err.find(says), std::string::npos) << cli->err;
    EXPECT_EQ(cli->out, "");
  }
}

// Values are shown by their names (--count N), without the type and the checks that CLI11
// would add (N:ABOVE 0, TEXT:{csv,jsonl}, FILE TEXT REQUIRED).
TEST_F(CliTest, EverySubcommandHasItsOwnHelpWithPlainValueNames) {
  const std::map<std::string, std::vector<std::string>> options = {
      {"", {"list", "info", "stream", "--version"}},
      {"list", {}},
      {"info", {"--json"}},
      {"stream", {"--count N ", "--seconds S ", "--format csv|jsonl=csv", "temp_external"}},
      {"record", {"--duration S ", "--min-free SIZE "}},
      {"sessions", {"  FILE "}},
      {"export", {"--session N "}},
      {"image", {}},
      {"upgrade", {}},
      {"logo", {}},
      {"check-update", {}},
      {"readout", {}},
      {"records", {}},
      {"serve", {}}};
  const std::regex tag(R"(:\{|:[A-Z]+ [A-Z0-9]|\b(TEXT|INT|UINT|FLOAT|REQUIRED)\b)");
  for (const auto& [command, words] : options) {
    auto cli = Cli(command.empty() ? std::vector<std::string>{"--help"}
                                   : std::vector<std::string>{command, "--help"});
    EXPECT_EQ(cli->Wait(), 0) << command;
    EXPECT_NE(cli->out.find("Usage:"), std::string::npos) << cli->out;
    for (const std::string& word : words)
      EXPECT_NE(cli->out.find(word), std::string::npos) << command << ": " << word;
    // The options and arguments, up to their descriptions.
    std::istringstream lines(cli->out);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("  ")) {
        EXPECT_FALSE(std::regex_search(line.substr(0, line.find("  ", 2)), tag)) << line;
      }
    }
  }
}

TEST_F(CliTest, VersionPrintsTheVersion) {
  auto cli = Cli({"--version"});
  EXPECT_EQ(cli->Wait(), 0);
  ASSERT_EQ(cli->out.rfind("vireometer-cli ", 0), 0u) << cli->out;
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(cli->out[15]))) << cli->out;
  EXPECT_EQ(cli->out.back(), '\n');
}

// The rows of a stream, parsed back to floats; an empty field reads as NaN.
std::vector<std::vector<float>> ParseCsv(const std::string& text, std::string* header) {
  std::istringstream in(text);
  std::getline(in, *header);
  std::vector<std::vector<float>> rows;
  for (std::string line; std::getline(in, line);) {
    std::vector<float> row;
    std::istringstream fields(line + ",");
    for (std::string field; std::getline(fields, field, ',');)
      row.push_back(field.empty() ? NAN : std::stof(field));
    rows.push_back(row);
  }
  return rows;
}

// The floats of a row as the emulator sent them, in the order of the columns after t.
std::vector<float> Columns(const ReadingsRecord& r) {
  return {r.voltage,      r.current,      r.power,       r.dPlus,      r.dMinus,
          r.tempInternal, r.tempExternal, r.voltageFast, r.currentFast};
}

// A row shows what was sent; a temp_external below -50 (no probe) shows no number.
bool RowShows(const std::vector<float>& row, const std::vector<float>& sent) {
  if (row.size() != sent.size() + 1)
    return false;
  for (size_t i = 0; i < sent.size(); ++i) {
    const bool none = i == 6 && sent[i] < -50;
    if (none ? !std::isnan(row[i + 1]) : row[i + 1] != sent[i])
      return false;
  }
  return true;
}

// Checks that every row is exactly a frame the emulator sent, in order, and returns the frame
// numbers found.
std::vector<uint32_t> MatchFrames(const std::vector<std::vector<float>>& rows,
                                  std::optional<float> probe = std::nullopt) {
  std::vector<uint32_t> numbers;
  uint32_t next = 0;
  for (const auto& row : rows) {
    EXPECT_EQ(row.size(), 10u);
    bool found = false;
    for (uint32_t n = next; n < next + 1000 && !found; ++n) {
      if (RowShows(row, Columns(sim::ReadingsForFrame(n, probe)))) {
        numbers.push_back(n);
        next = n + 1;
        found = true;
      }
    }
    EXPECT_TRUE(found) << "a row that the emulator did not send";
    if (!found)
      break;
  }
  return numbers;
}

TEST_F(CliTest, StreamPrintsExactlyTheFloatsTheMeterSent) {
  StartSim({"--frame-interval-ms", "2"});
  auto cli = Cli({"stream", "--count", "200"});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  std::string header;
  const auto rows = ParseCsv(cli->out, &header);
  EXPECT_EQ(header,
            "t,voltage,current,power,dplus,dminus,temp_internal,temp_external,voltage_fast,"
            "current_fast");
  ASSERT_EQ(rows.size(), 200u);
  EXPECT_EQ(MatchFrames(rows).size(), 200u);
  for (size_t i = 1; i < rows.size(); ++i)
    EXPECT_GE(rows[i][0], rows[i - 1][0]);
  // Without a probe the emulator sends -60: the field stays empty.
  EXPECT_NE(cli->out.find(",,"), std::string::npos);
  EXPECT_EQ(cli->out.find("-60"), std::string::npos);
}

TEST_F(CliTest, StreamPrintsProbeReadingsFromMinus50Up) {
  // The emulated probe wavers around -50: every row shows its reading or, below -50, none.
  StartSim({"--frame-interval-ms", "2", "--probe", "-50"});
  auto cli = Cli({"stream", "--count", "40"});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  std::string header;
  EXPECT_EQ(MatchFrames(ParseCsv(cli->out, &header), -50.0f).size(), 40u);
}

TEST_F(CliTest, StreamNeverPrintsACorruptedFrame) {
  StartSim({"--frame-interval-ms", "2", "--bad-checksum-every", "3"});
  auto cli = Cli({"stream", "--count", "200"});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  std::string header;
  const auto numbers = MatchFrames(ParseCsv(cli->out, &header));
  ASSERT_EQ(numbers.size(), 200u);
  // The emulator corrupts every third frame it sends: frames 2, 5, 8, ...
  for (uint32_t n : numbers)
    EXPECT_NE(n % 3, 2u) << n;
}

// --seconds beyond what the clock holds is no limit at all (it once ended the stream at once).
TEST_F(CliTest, StreamStopsOnSigintAndClosesTheLink) {
  StartSim({"--frame-interval-ms", "5"});
  auto cli = Cli({"stream", "--format", "jsonl", "--seconds", "1e10"});
  ASSERT_TRUE(cli->WaitForOutput("\n{\"t\"")) << cli->err;
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(), 0) << cli->err;
  EXPECT_NE(cli->out.find("\"temp_external\": null"), std::string::npos);
  // The link was closed: the meter can be opened again.
  auto info = Cli({"info"});
  EXPECT_EQ(info->Wait(), 0) << info->err;
}

// How a stream is asked to end, and whether that is a signal.
struct Ending {
  const char* name;
  int signal;  // 0: the stream ends by --count
};

void PrintTo(const Ending& ending, std::ostream* os) {
  *os << ending.name;
}

class StreamEndingTest : public CliTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(StreamEndingTest, EndsPromptlyAtTenFramesASecond) {
  // 50 frames are owed after each request; at 100 ms a frame, draining them takes 5 s.
  StartSim({"--frame-interval-ms", "100"});
  const bool byCount = GetParam().signal == 0;
  auto cli = byCount ? Cli({"stream", "--count", "3"}) : Cli({"stream"});
  if (byCount) {
    for (int line = 0; line < 4; ++line)  // the header and the three rows
      ASSERT_FALSE(cli->ReadLine().empty()) << cli->err;
  } else {
    ASSERT_TRUE(cli->WaitForOutput("\n0.")) << cli->err;
    cli->Signal(GetParam().signal);
  }
  const auto asked = std::chrono::steady_clock::now();
  const int status = cli->Wait(std::chrono::seconds(3));
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  std::printf("[ figures  ] %s: the process ended %.3f s after it was asked to\n", GetParam().name,
              took);
  EXPECT_EQ(status, 0) << cli->err;
  // The meter is free again at once.
  auto info = Cli({"info"});
  EXPECT_EQ(info->Wait(), 0) << info->err;
}

INSTANTIATE_TEST_SUITE_P(Endings, StreamEndingTest,
                         ::testing::Values(Ending{"Sigint", SIGINT}, Ending{"Sigterm", SIGTERM},
                                           Ending{"Count", 0}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(CliTest, StreamEndsWhenTheEmulatorIsKilled) {
  StartSim({"--frame-interval-ms", "5"});
  auto cli = Cli({"stream", "--count", "500"});
  ASSERT_TRUE(cli->WaitForOutput("\n0.")) << cli->err;
  sim_->Signal(SIGKILL);  // its socket file stays behind, served by nobody
  EXPECT_EQ(sim_->Wait(), 128 + SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  const double cpuBefore = cli->CpuSeconds();
  const int status = cli->Wait(std::chrono::seconds(20));
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
  std::printf("[ figures  ] killed emulator: %s after %.3f s, using %.3f s of CPU meanwhile\n",
              status < 0 ? "stream still running" : "stream ended", took,
              cli->CpuSeconds() - cpuBefore);
  EXPECT_EQ(status, 1) << cli->err;
  EXPECT_NE(cli->err.find(texts_[TXT_ERR_COMM]), std::string::npos) << cli->err;
  EXPECT_NE(cli->err.find(texts_[TXT_DEVICE_NOT_FOUND]), std::string::npos) << cli->err;
}

TEST_F(CliTest, StreamToAFullDeviceFailsWithAMessage) {
  StartSim({"--frame-interval-ms", "2"});
  auto cli = std::make_unique<Process>(
      std::vector<std::string>{VIREO_CLI, "stream", "--count", "10"}, (folder_ / "work").string(),
      std::vector<std::string>{}, "/dev/full");
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_NE(
      cli->err.find("vireometer-cli: cannot write the rows: " + std::string(strerror(ENOSPC))),
      std::string::npos)
      << cli->err;
  auto info = Cli({"info"});  // the link was closed
  EXPECT_EQ(info->Wait(), 0) << info->err;
}

TEST_F(CliTest, StreamSaysHowManyFramesWereDroppedAndWhy) {
  StartSim({"--frame-interval-ms", "2", "--bad-checksum-every", "3"});
  auto cli = Cli({"stream", "--count", "30"});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  const std::regex line(R"(vireometer-cli: (\d+) frames dropped \((\d+) bad checksum\)\n)");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(cli->err, match, line)) << cli->err;
  EXPECT_EQ(match[1], match[2]);
  EXPECT_GE(std::stoi(match[1]), 14);  // every third of the 44 and more frames read
}

TEST_F(CliTest, StreamWithNothingDroppedSaysNothingOfIt) {
  StartSim({"--frame-interval-ms", "2"});
  auto cli = Cli({"stream", "--count", "30"});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  EXPECT_EQ(cli->err, texts_[TXT_DEVICE_CONNECTED] + "\n" + texts_[TXT_STARTED] + "\n");
}

TEST_F(CliTest, StreamEndsWithStatus1WhenTheMeterGoesAway) {
  StartSim({"--frame-interval-ms", "5"});
  auto cli = Cli({"stream", "--seconds", "30"});
  ASSERT_TRUE(cli->WaitForOutput("\n0.")) << cli->err;
  sim_->Signal(SIGTERM);
  EXPECT_EQ(sim_->Wait(), 0);
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_NE(cli->err.find(texts_[TXT_ERR_COMM]), std::string::npos) << cli->err;
  EXPECT_NE(cli->err.find(texts_[TXT_DEVICE_NOT_FOUND]), std::string::npos) << cli->err;
}

TEST_F(CliTest, StreamWithoutMeterFails) {
  auto cli = Cli({"stream", "--count", "5"});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_NE(cli->err.find(texts_[TXT_ERR_NO_DEVICE]), std::string::npos) << cli->err;
  EXPECT_EQ(cli->out, "");  // not even a header
}

}  // namespace
}  // namespace vireo
