// Several meters at once: each command takes the meter chosen by --meter and only its frames.
#include <nlohmann/json.hpp>
#include <sstream>

#include "e2e/cli_fixture.h"

namespace vireo::testing {
namespace {

class MetersTest : public CliFixture {
 protected:
  // An emulator on dev/ with its own serial and a steady load, once it serves.
  std::unique_ptr<Process> Sim(const std::string& serial, const std::string& load) {
    auto sim = std::make_unique<Process>(
        std::vector<std::string>{VIREO_SIM, "--dir", (folder_ / "dev").string(), "--serial", serial,
                                 "--name", serial, "--frame-interval-ms", "2", "--load", load});
    EXPECT_TRUE(sim->WaitForOutput("serving")) << sim->err;
    return sim;
  }
};

TEST_F(MetersTest, TwoCommandsOnTwoMetersGetOnlyTheirOwnFrames) {
  auto a = Sim("AAAAAA", "steady:5,1");
  auto b = Sim("BBBBBB", "steady:9,2");
  auto list = Cli({"list"});
  ASSERT_EQ(list->Wait(), 0) << list->err;
  EXPECT_NE(list->out.find(" meter AAAAAA"), std::string::npos) << list->out;
  EXPECT_NE(list->out.find(" meter BBBBBB"), std::string::npos) << list->out;

  // The loads set the meters apart: about 5 V on one, 9 V on the other.
  // Both start at once, so each identifies the meters while the other opens its own.
  auto record = Cli({"record", "--meter", "BBBBBB", "--db", "b.db", "--duration", "2", "--json"});
  auto stream = Cli({"stream", "--meter", "AAAAAA", "--count", "100"});
  ASSERT_EQ(stream->Wait(), 0) << stream->err;
  ASSERT_EQ(record->Wait(), 0) << record->err;

  std::istringstream rows(stream->out);
  std::string line;
  std::getline(rows, line);  // the header
  int count = 0;
  while (std::getline(rows, line)) {
    const double volts = std::stod(line.substr(line.find(',') + 1));
    ASSERT_NEAR(volts, 5, 0.5) << line;
    ++count;
  }
  EXPECT_EQ(count, 100);
  const nlohmann::json sessions = nlohmann::json::parse(record->out);
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0]["serial"], "BBBBBB");
  EXPECT_NEAR(sessions[0]["min"]["voltage"].get<double>(), 9, 0.5);
  EXPECT_NEAR(sessions[0]["max"]["voltage"].get<double>(), 9, 0.5);
}

TEST_F(MetersTest, AMeterChosenBySerialThatIsNotAttachedFailsOrIsWaitedFor) {
  auto a = Sim("AAAAAA", "steady:5,1");
  auto info = Cli({"info", "--meter", "CCCCCC"});
  EXPECT_EQ(info->Wait(), 1);
  EXPECT_EQ(info->err, "vireometer-cli: no meter with the serial CCCCCC is attached\n");

  auto record = Cli({"record", "--meter", "CCCCCC", "--db", "c.db"});
  ASSERT_TRUE(WaitForErr(*record, "waiting for meter CCCCCC")) << record->err;
  auto c = Sim("CCCCCC", "steady:7,1");
  ASSERT_TRUE(WaitForErr(*record, "recording from meter CCCCCC")) << record->err;
  record->Signal(SIGINT);
  EXPECT_EQ(record->Wait(), 0) << record->err;
}

}  // namespace
}  // namespace vireo::testing
