// The real vireometer-cli against the real vireometer-sim, across processes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "meter/meter_link.h"
#include "sim/meter_emulator.h"
#include "support/process.h"
#include "text/text_table.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using testing::Process;

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-e2e-XXXXXX";
    folder_ = mkdtemp(pattern);
    fs::create_directory(folder_ / "dev");
    fs::create_directory(folder_ / "work");
    setenv("HIDLINK_VIRTUAL_DIR", (folder_ / "dev").c_str(), 1);
    fs::copy_file(fs::path(VIREO_SOURCE_DIR) / "lang/en/lang.ini", folder_ / "work/lang.ini");
    ASSERT_TRUE(texts_.LoadTexts((folder_ / "work/lang.ini").string()));
  }
  void TearDown() override {
    sim_.reset();
    unsetenv("HIDLINK_VIRTUAL_DIR");
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  void StartSim(std::vector<std::string> options = {}) {
    std::vector<std::string> argv = {VIREO_SIM, "--dir", (folder_ / "dev").string()};
    argv.insert(argv.end(), options.begin(), options.end());
    sim_ = std::make_unique<Process>(argv);
    ASSERT_TRUE(sim_->WaitForOutput("serving")) << sim_->err;
  }

  std::unique_ptr<Process> Cli(std::vector<std::string> args) {
    args.insert(args.begin(), VIREO_CLI);
    return std::make_unique<Process>(args, (folder_ / "work").string());
  }

  fs::path folder_;
  TextTable texts_;
  std::unique_ptr<Process> sim_;
};

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

TEST_F(CliTest, InfoWithoutMeterFails) {
  auto cli = Cli({"info", "--json"});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(nlohmann::json::parse(cli->out)["connected"], false);
  EXPECT_EQ(cli->err, texts_[TXT_DEVICE_NOT_FOUND] + "\n");
}

TEST_F(CliTest, InfoReportsAMeterHeldByAnotherClient) {
  StartSim();
  MeterLink holder;
  holder.Configure();
  ASSERT_TRUE(holder.Open());
  auto cli = Cli({"info"});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->err, texts_[TXT_ERR_OPEN] + "\n");
}

TEST_F(CliTest, InfoShowsTheFirmwareNoticeForOldFirmware) {
  StartSim({"--version-byte", "0x14"});
  auto cli = Cli({"info"});
  EXPECT_EQ(cli->Wait(), 0);
  EXPECT_EQ(cli->err, texts_[TXT_DEVICE_CONNECTED] + texts_[TXT_FW_REQUIRED] + ":1.5\n" +
                          texts_[TXT_FW_TOO_OLD] + "\n\n");
}

TEST_F(CliTest, ListMarksTheMeter) {
  StartSim();
  auto cli = Cli({"list"});
  EXPECT_EQ(cli->Wait(), 0);
  const std::string expected =
      "0716:5027 0100 " + (folder_ / "dev/hid-0716-5027-0100-meter.sock").string() + " meter\n";
  EXPECT_NE(cli->out.find(expected), std::string::npos) << cli->out;
}

TEST_F(CliTest, UsageErrorsExitWith2) {
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"frobnicate"},
                                                                {"info", "--xml"},
                                                                {"stream", "--count", "0"},
                                                                {"stream", "--format", "xml"},
                                                                {"stream", "--seconds"}}) {
    auto cli = Cli(args);
    EXPECT_EQ(cli->Wait(), 2) << ::testing::PrintToString(args);
  }
  auto help = Cli({"--help"});
  EXPECT_EQ(help->Wait(), 0);
  EXPECT_NE(help->out.find("stream"), std::string::npos);
}

// The rows of a stream, parsed back to floats.
std::vector<std::vector<float>> ParseCsv(const std::string& text, std::string* header) {
  std::istringstream in(text);
  std::getline(in, *header);
  std::vector<std::vector<float>> rows;
  for (std::string line; std::getline(in, line);) {
    std::vector<float> row;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, ',');)
      row.push_back(std::stof(field));
    rows.push_back(row);
  }
  return rows;
}

// The floats of a row as the emulator sent them, in the order of the columns after t.
std::vector<float> Columns(const ReadingsRecord& r) {
  return {r.voltage,      r.current,      r.power,       r.dPlus,      r.dMinus,
          r.tempInternal, r.tempExternal, r.voltageFast, r.currentFast};
}

// Checks that every row is exactly a frame the emulator sent, in order, and returns the frame
// numbers found.
std::vector<uint32_t> MatchFrames(const std::vector<std::vector<float>>& rows) {
  std::vector<uint32_t> numbers;
  uint32_t next = 0;
  for (const auto& row : rows) {
    EXPECT_EQ(row.size(), 10u);
    bool found = false;
    for (uint32_t n = next; n < next + 1000 && !found; ++n) {
      const std::vector<float> sent = Columns(sim::ReadingsForFrame(n));
      if (std::equal(sent.begin(), sent.end(), row.begin() + 1)) {
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

TEST_F(CliTest, StreamStopsOnSigintAndDrainsLikeStop) {
  StartSim({"--frame-interval-ms", "5"});
  auto cli = Cli({"stream", "--format", "jsonl"});
  ASSERT_TRUE(cli->WaitForOutput("\n{\"t\"")) << cli->err;
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(), 0) << cli->err;
  EXPECT_NE(cli->out.find("\"temp_external\": "), std::string::npos);
  // The link was closed: the meter can be opened again.
  auto info = Cli({"info"});
  EXPECT_EQ(info->Wait(), 0) << info->err;
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
