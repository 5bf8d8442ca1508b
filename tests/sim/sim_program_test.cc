// vireometer-sim as a program: its command line, its "serving" line, its socket and its exit.
#include <gtest/gtest.h>

#include <signal.h>

#include <stdlib.h>

#include <fstream>
#include <iterator>

#include "meter/meter_link.h"
#include "meter/product_constants.h"
#include "sim/sim_args.h"
#include "sim_test_util.h"
#include "support/process.h"

namespace vireo::sim {
namespace {

using namespace std::chrono_literals;

// Runs vireometer-sim with the given arguments, optionally without HIDLINK_VIRTUAL_DIR.
std::unique_ptr<testing::Process> StartSim(const std::vector<std::string>& args,
                                           bool withVirtualDir = true) {
  std::vector<std::string> argv = {VIREOMETER_SIM_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<testing::Process>(argv, "",
                                            withVirtualDir
                                                ? std::vector<std::string>{}
                                                : std::vector<std::string>{"HIDLINK_VIRTUAL_DIR"});
}

TEST(SimProgram, ServesUntilSigtermThenRemovesItsSocketAndExitsZero) {
  test::TempDir dir;
  auto sim = StartSim({"--dir", dir.path().string(), "--name", "e2e", "--serial", "KQ42ZX"});
  const std::string line = sim->ReadLine();
  const std::filesystem::path socket = dir.path() / "hid-0716-5027-0100-e2e.sock";
  ASSERT_EQ(line, "serving " + socket.string());
  ASSERT_TRUE(std::filesystem::is_socket(socket));

  // The serial given on the command line is what the identity block descrambles to.
  test::Client client(socket);
  ASSERT_EQ(client.Receive(5s), std::vector<uint8_t>{0x01});
  ASSERT_TRUE(client.SendReport(test::Request(10, test::Address(0x080030DC, {36}))));
  const auto reply = client.ReceiveFrame();
  ASSERT_TRUE(reply.has_value());
  std::string serial;
  for (int i = 30; i < 36; ++i)
    serial += static_cast<char>(kIdentityTable[(*reply)[10 + i]]);
  EXPECT_EQ(serial, "KQ42ZX");

  sim->Signal(SIGTERM);
  EXPECT_EQ(sim->Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST(SimProgram, HelpAndVersionExitZeroWithoutAFolder) {
  auto sim = StartSim({"--help"});
  EXPECT_EQ(sim->Wait(), 0);
  EXPECT_NE(sim->out.find("--serial"), std::string::npos);
  sim = StartSim({"--version"}, false);
  EXPECT_EQ(sim->Wait(), 0) << sim->err;
  EXPECT_EQ(sim->out, "vireometer-sim " VIREO_VERSION "\n");
}

class SimUsageError : public ::testing::TestWithParam<std::vector<std::string>> {};
TEST_P(SimUsageError, ExitsTwoWithAMessage) {
  test::TempDir dir;
  std::vector<std::string> args = {"--dir", dir.path().string()};
  args.insert(args.end(), GetParam().begin(), GetParam().end());
  auto sim = StartSim(args);
  EXPECT_EQ(sim->Wait(), 2);
  EXPECT_FALSE(sim->err.empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}
INSTANTIATE_TEST_SUITE_P(Args, SimUsageError,
                         ::testing::Values(std::vector<std::string>{"--serial", "ABCDE"},
                                           std::vector<std::string>{"--serial", "ABCDEFG"},
                                           std::vector<std::string>{"--records", "353"},
                                           std::vector<std::string>{"--version-byte", "256"},
                                           std::vector<std::string>{"--name", "../up"},
                                           std::vector<std::string>{"--unplug-after", "0"},
                                           std::vector<std::string>{"--records"},
                                           std::vector<std::string>{"--image-size", "3"},
                                           std::vector<std::string>{"--image-size", "51201"},
                                           std::vector<std::string>{"--replug-after-ms", "-1"},
                                           std::vector<std::string>{"--no-such-option"}));

TEST(SimProgram, AFolderThatIsNotThereIsNamedAndNotCreated) {
  test::TempDir dir;
  const std::filesystem::path missing = dir.path() / "missing";
  auto sim = StartSim({"--dir", missing.string()});
  EXPECT_EQ(sim->Wait(), 1);
  EXPECT_EQ(sim->err, "vireometer-sim: cannot serve " +
                          (missing / "hid-0716-5027-0100-meter.sock").string() +
                          ": there is no folder " + missing.string() + "\n");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(SimProgram, WithoutAFolderItIsAUsageError) {
  auto sim = StartSim({}, false);
  EXPECT_EQ(sim->Wait(), 2);
}

TEST(SimProgram, MakesValidImagesOfTheAskedLength) {
  test::TempDir dir;
  const auto path = dir.path() / "fw.lrm";
  auto sim = StartSim({"--make-image", path.string(), "--image-size", "9300", "--image-no-logo"});
  ASSERT_EQ(sim->Wait(), 0) << sim->err;
  MeterLink link;
  link.Configure();
  const ImageCheck check = link.CheckImage(path.string());
  EXPECT_TRUE(check.valid()) << ImageRuleName(check.failed);
  EXPECT_EQ(check.payloadLength, 9300u);
  EXPECT_FALSE(check.logoMarked);
  auto logo = StartSim({"--make-image", path.string()});
  ASSERT_EQ(logo->Wait(), 0);
  EXPECT_TRUE(link.CheckImage(path.string()).logoMarked);
  auto unwritable = StartSim({"--make-image", (dir.path() / "no/such.lrm").string()});
  EXPECT_EQ(unwritable->Wait(), 1);
}

TEST(SimProgram, TheFlashFileCarriesTheFlashFromOneRunToTheNext) {
  test::TempDir dir;
  const auto flash = dir.path() / "flash.bin";
  std::vector<uint8_t> bytes(0xD000, 0x5A);
  std::ofstream(flash, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  auto sim = StartSim({"--dir", dir.path().string(), "--flash-file", flash.string(), "--trace-file",
                       (dir.path() / "trace.txt").string()});
  ASSERT_NE(sim->ReadLine().find("serving"), std::string::npos);
  MeterLink link;
  link.Configure();
  setenv("HIDLINK_VIRTUAL_DIR", dir.path().c_str(), 1);
  ASSERT_TRUE(link.Open());
  uint8_t version = 0;
  EXPECT_TRUE(link.ReadFlash(0x08003C00, &version, 1));
  EXPECT_EQ(version, 0x5A);
  link.Close();
  unsetenv("HIDLINK_VIRTUAL_DIR");
  sim->Signal(SIGTERM);
  ASSERT_EQ(sim->Wait(), 0);
  std::ifstream saved(flash, std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(saved), {}), bytes);
  std::ifstream trace(dir.path() / "trace.txt");
  const std::string text(std::istreambuf_iterator<char>(trace), {});
  EXPECT_EQ(text, "command 10 134233088\nmode normal\n");
}

TEST(SimArgs, ValuesReachTheOptionsAndFaults) {
  const auto parsed = ParseSimArgs(
      {"--version-byte", "0x1A", "--records=352", "--frame-interval-ms", "2.5", "--probe", "-5",
       "--upgrade-mode", "--bad-checksum-every", "4", "--unplug-after", "7"},
      "/tmp/devices");
  ASSERT_TRUE(parsed.settings.has_value()) << parsed.error;
  const SimSettings& s = *parsed.settings;
  EXPECT_EQ(s.dir, "/tmp/devices");
  EXPECT_EQ(s.options.versionByte, 0x1A);
  EXPECT_EQ(s.options.recordCount, 352u);
  EXPECT_EQ(s.options.frameIntervalUs, 2500u);
  EXPECT_EQ(s.options.probeCelsius, -5.0f);
  EXPECT_TRUE(s.options.upgradeMode);
  Faults faults;
  ApplyFaults(s, faults);
  EXPECT_EQ(faults.badChecksumEvery, 4u);
  EXPECT_EQ(faults.unplugAfterReports, 7);
  EXPECT_FALSE(faults.silent);
}

TEST(SimArgs, CountersTakeOneValueForBothOrTwo) {
  auto parsed = ParseSimArgs({"--counters", "400,5", "--record-hours", "3"}, "/tmp/devices");
  ASSERT_TRUE(parsed.settings.has_value()) << parsed.error;
  EXPECT_EQ(parsed.settings->options.counterA, 400u);
  EXPECT_EQ(parsed.settings->options.counterB, 5u);
  EXPECT_EQ(parsed.settings->options.settingsByte, 3);
  parsed = ParseSimArgs({"--counters=4294967295"}, "/tmp/devices");
  ASSERT_TRUE(parsed.settings.has_value()) << parsed.error;
  EXPECT_EQ(parsed.settings->options.counterA, 0xFFFFFFFFu);
  EXPECT_EQ(parsed.settings->options.counterB, 0xFFFFFFFFu);
  for (const char* bad : {"", "1,", ",1", "4294967296", "-1", "1,2,3"}) {
    EXPECT_FALSE(ParseSimArgs({"--counters", bad}, "/tmp/devices").settings.has_value()) << bad;
  }
}

}  // namespace
}  // namespace vireo::sim
