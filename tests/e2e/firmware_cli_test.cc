// vireometer-cli image, upgrade and logo against vireometer-sim, across processes: the flash
// the emulator is left with, the commands it heard in order, its screen, each failure's log
// lines, and a second upgrade after an unplug in the middle of writing.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "e2e/cli_fixture.h"
#include "sim/test_image.h"
#include "text/text_table.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using testing::Process;

// What the emulator saved when it ended: the commands heard, its screen and its mode.
struct Trace {
  std::vector<std::pair<int, uint32_t>> commands;
  std::vector<std::string> screen;
  std::string mode;
};

Trace ReadTrace(const fs::path& path) {
  Trace trace;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    if (kind == "command") {
      int code;
      uint32_t argument;
      fields >> code >> argument;
      trace.commands.emplace_back(code, argument);
    } else if (kind == "screen") {
      size_t number;
      fields >> number;
      std::string text;
      std::getline(fields, text);
      trace.screen.resize(std::max(trace.screen.size(), number + 1));
      trace.screen[number] = text.substr(1);
    } else if (kind == "mode") {
      fields >> trace.mode;
    }
  }
  return trace;
}

// Runs of one command shown once with their count; ShowText with its line.
std::vector<std::string> Compressed(const Trace& trace) {
  std::vector<std::string> out;
  const auto& c = trace.commands;
  for (size_t i = 0; i < c.size();) {
    if (c[i].first == 21) {
      out.push_back("21 line " + std::to_string(c[i].second));
      ++i;
      continue;
    }
    size_t j = i;
    while (j < c.size() && c[j].first == c[i].first)
      ++j;
    out.push_back(std::to_string(c[i].first) + " x" + std::to_string(j - i));
    i = j;
  }
  return out;
}

std::vector<std::string> LogLines(const std::string& err) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// A 24-bit 128 × 128 bitmap of one colour (0xRRGGBB), or alternating black and white.
void WriteBmp(const fs::path& path, uint32_t colour, bool alternating = false) {
  std::vector<uint8_t> file(54 + 128 * 128 * 3, 0);
  const uint8_t head[] = {'B', 'M', 0x36, 0xC0, 0, 0, 0, 0,   0, 0, 54, 0, 0, 0,  40,
                          0,   0,   0,    128,  0, 0, 0, 128, 0, 0, 0,  1, 0, 24, 0};
  std::copy(std::begin(head), std::end(head), file.begin());
  for (int i = 0; i < 128 * 128; ++i) {
    const uint32_t c = alternating ? (i % 2 ? 0xFFFFFF : 0) : colour;
    file[54 + 3 * i] = static_cast<uint8_t>(c);
    file[55 + 3 * i] = static_cast<uint8_t>(c >> 8);
    file[56 + 3 * i] = static_cast<uint8_t>(c >> 16);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
}

class FirmwareCliTest : public testing::CliFixture {
 protected:
  void SetUp() override {
    CliFixture::SetUp();
    image_ = (folder_ / "work/fw.lrm").string();
    ASSERT_TRUE(sim::WriteTestImage(image_, options_));
  }
  void StartSim(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"--flash-file", Flash().string(), "--trace-file",
                                     (folder_ / "trace.txt").string()});
    CliFixture::StartSim(options);
  }
  // Ends the emulator, which saves its flash and trace.
  Trace StopSim() {
    sim_->Signal(SIGTERM);
    EXPECT_EQ(sim_->Wait(), 0);
    return ReadTrace(folder_ / "trace.txt");
  }
  fs::path Flash() const { return folder_ / "flash.bin"; }
  std::vector<uint8_t> Application() const {
    const auto flash = testing::ReadBytes(Flash());
    EXPECT_EQ(flash.size(), 0xD000u);
    if (flash.size() < 0x400 + 51200)
      return {};
    return {flash.begin() + 0x400, flash.begin() + 0x400 + 51200};
  }
  std::vector<uint8_t> Payload() const {
    const auto plain = sim::MakePlainImage(options_);
    return {plain.begin() + 48, plain.end()};
  }

  std::string T(TextId id) const { return texts_[id]; }

  sim::TestImageOptions options_;
  std::string image_;
};

TEST_F(FirmwareCliTest, AnUpgradeFlashesThePayloadWithTheCommandsInOrder) {
  StartSim({"--upgrade-mode"});
  auto cli = Cli({"upgrade", image_});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  // Off a terminal the log is plain lines, without progress.
  std::string plain;
  for (TextId id : {TXT_DEVICE_CONNECTED, TXT_UPGRADE_MODE, TXT_UPGRADE_BEGIN, TXT_ERASING,
                    TXT_WRITING, TXT_VERIFYING, TXT_UPGRADE_DONE})
    plain.append(T(id)).append("\n");
  EXPECT_EQ(cli->err, plain);

  const Trace trace = StopSim();
  // The identification reads the identity block and the version byte first.
  EXPECT_EQ(Compressed(trace),
            (std::vector<std::string>{"10 x2", "3 x1", "22 x1", "21 line 0", "21 line 1", "5 x1",
                                      "8 x50", "4 x1", "21 line 2", "5 x1", "9 x1300", "4 x1",
                                      "21 line 3", "11 x50", "23 x1", "21 line 4"}));
  EXPECT_EQ(trace.screen,
            (std::vector<std::string>{"Start...", "Uninstall old app...", "Install new app...",
                                      "Verify new app...", "..successfully"}));
  EXPECT_EQ(trace.mode, "normal");
  EXPECT_EQ(Application(), Payload());
}

TEST_F(FirmwareCliTest, AnUpgradeWithALogoFlashesTheConvertedPicture) {
  StartSim({"--upgrade-mode"});
  const fs::path bmp = folder_ / "work/red.bmp";
  WriteBmp(bmp, 0xFF0000);
  auto cli = Cli({"upgrade", image_, "--logo", bmp.string()});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  const auto lines = LogLines(cli->err);
  // The bitmap is converted first; DFUSTART's checks then identify the meter.
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], T(TXT_BMP_ACCEPTED));
  EXPECT_EQ(lines[1], T(TXT_NOTICE) + " " + T(TXT_NOTICE_FITS));
  EXPECT_EQ(lines[2], T(TXT_DEVICE_CONNECTED));
  EXPECT_EQ(fs::file_size(bmp.string() + "_Tarndeal.bmp"), 49208u);
  StopSim();

  std::vector<uint8_t> expected = Payload();
  const uint8_t head[] = {0x80, 0x00, 0x80, 0x00, 0x11, 0x00, 0x01, 0x00, 0x00};
  std::copy(std::begin(head), std::end(head), expected.begin() + 5120);
  for (int i = 0; i < 256; ++i) {
    expected[5129 + 2 * i] = 0xE0;
    expected[5130 + 2 * i] = 0x40;
  }
  std::fill(expected.begin() + 5120 + 521, expected.begin() + 9216, 0);
  uint32_t sum = 0;
  for (size_t i = 0; i + 4 < expected.size(); ++i)
    sum += expected[i];
  for (int i = 0; i < 4; ++i)
    expected[expected.size() - 4 + i] = static_cast<uint8_t>(sum >> (8 * i));
  EXPECT_EQ(Application(), expected);
}

TEST_F(FirmwareCliTest, ALogoThatDoesNotFitStopsTheUpgradeBeforeAnyCommand) {
  StartSim({"--upgrade-mode"});
  const fs::path bmp = folder_ / "work/noise.bmp";
  WriteBmp(bmp, 0, true);
  auto cli = Cli({"upgrade", image_, "--logo", bmp.string()});
  EXPECT_EQ(cli->Wait(), 1);
  const auto lines = LogLines(cli->err);
  EXPECT_EQ(lines.back(), "bmp" + T(TXT_NOTICE_TOO_BIG) + " >4096");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), lines.back()), 1);
  EXPECT_EQ(Compressed(StopSim()), std::vector<std::string>{"10 x2"});
}

// One row of the failure table: how the emulator runs, the log's last lines followed by the
// line of the cause when there is one (after the device's path when `causeOfDevice`), the
// screen.
struct FailureRow {
  const char* name;
  std::vector<std::string> simOptions;
  bool badImage;
  std::vector<TextId> lastLines;
  size_t screenLines;
  const char* cause = nullptr;
  bool causeOfDevice = false;
};

class UpgradeFailureTest : public FirmwareCliTest,
                           public ::testing::WithParamInterface<FailureRow> {};

TEST_P(UpgradeFailureTest, TheFailedStepIsLoggedAndTheScreenIsLeftAsItWas) {
  const FailureRow& row = GetParam();
  StartSim(row.simOptions);
  if (row.badImage) {
    sim::TestImageOptions options;
    options.day = 32;
    ASSERT_TRUE(sim::WriteTestImage(image_, options));
  }
  const auto before = testing::ReadBytes(Flash());
  auto cli = Cli({"upgrade", image_});
  EXPECT_EQ(cli->Wait(std::chrono::seconds(20)), 1) << cli->err;
  const auto lines = LogLines(cli->err);
  std::vector<std::string> expected;
  for (TextId id : row.lastLines)
    expected.push_back(T(id));
  if (row.cause) {
    expected.push_back(row.causeOfDevice
                           ? (folder_ / "dev/hid-0716-5027-0100-meter.sock").string() + row.cause
                           : row.cause);
  }
  ASSERT_GE(lines.size(), expected.size()) << cli->err;
  EXPECT_EQ(std::vector<std::string>(lines.end() - expected.size(), lines.end()), expected)
      << cli->err;
  const Trace trace = StopSim();
  const std::vector<std::string> all = {"Start...", "Uninstall old app...", "Install new app...",
                                        "Verify new app..."};
  EXPECT_EQ(trace.screen, std::vector<std::string>(all.begin(), all.begin() + row.screenLines));
  if (row.screenLines == 0) {
    EXPECT_EQ(std::count_if(trace.commands.begin(), trace.commands.end(),
                            [](const auto& c) { return c.first == 8 || c.first == 9; }),
              0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UpgradeFailureTest,
    ::testing::Values(
        FailureRow{"CannotOpen",
                   {"--upgrade-mode", "--refuse-opens"},
                   false,
                   {TXT_ERR_OPEN},
                   0,
                   " refused the open: another program holds it",
                   true},
        FailureRow{
            "NotInUpgradeMode", {}, false, {TXT_ERR_NOT_UPGRADE_MODE, TXT_HINT_UPGRADE_MODE}, 0},
        // Replies 0 and 1 answer the identification; the answer to the query is garbled, which
        // says nothing of the meter's mode.
        FailureRow{"QueryGarbled",
                   {"--upgrade-mode", "--bad-checksum-every", "3"},
                   false,
                   {TXT_ERR_COMM},
                   0,
                   "The meter sent bad replies"},
        FailureRow{"BadImage",
                   {"--upgrade-mode"},
                   true,
                   {TXT_UPGRADE_MODE, TXT_ERR_FIRMWARE_FILE},
                   0,
                   "The image file is invalid: day"},
        // Identification 2, query, clear, two lines: the meter goes with BeginFlashUpdate.
        FailureRow{"Erase",
                   {"--upgrade-mode", "--unplug-after", "7"},
                   false,
                   {TXT_ERASING, TXT_ERR_ERASE},
                   2,
                   "The meter was unplugged"},
        FailureRow{"Write",
                   {"--upgrade-mode", "--unplug-after", "400"},
                   false,
                   {TXT_WRITING, TXT_ERR_WRITE},
                   3,
                   "The meter was unplugged"},
        // The writes are not answered one by one; the EndFlashUpdate after them is.
        FailureRow{"SilentWhileWriting",
                   {"--upgrade-mode", "--silent-after", "400"},
                   false,
                   {TXT_WRITING, TXT_ERR_WRITE},
                   3,
                   "The meter stopped answering"},
        // Reply 19 is a read-back frame.
        FailureRow{"Verify",
                   {"--upgrade-mode", "--bad-checksum-every", "20"},
                   false,
                   {TXT_VERIFYING, TXT_ERR_VERIFY},
                   4,
                   "The meter sent bad replies"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(FirmwareCliTest, WithoutAMeterTheUpgradeSaysSoAndEnds) {
  auto cli = Cli({"upgrade", image_});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(LogLines(cli->err), std::vector<std::string>{T(TXT_ERR_NO_DEVICE)});
}

TEST_F(FirmwareCliTest, ASilentMeterFailsWithinItsTimeOuts) {
  StartSim({"--upgrade-mode", "--silent"});
  auto cli = Cli({"upgrade", image_});
  EXPECT_EQ(cli->Wait(std::chrono::seconds(15)), 1);
  const auto lines = LogLines(cli->err);
  // DFUSTART's identification fails on the first reply that does not come.
  ASSERT_EQ(lines.size(), 1u) << cli->err;
  EXPECT_NE(lines[0].find(T(TXT_ERR_COMM)), std::string::npos) << cli->err;
}

TEST_F(FirmwareCliTest, AnUnplugWhileWritingIsFollowedByASuccessfulSecondUpgrade) {
  StartSim({"--upgrade-mode", "--unplug-after", "700", "--replug-after-ms", "100"});
  auto first = Cli({"upgrade", image_});
  EXPECT_EQ(first->Wait(), 1);
  const auto lines = LogLines(first->err);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], T(TXT_ERR_WRITE));
  ASSERT_TRUE(sim_->WaitForOutput("replugged")) << sim_->out;
  EXPECT_NE(Application(), Payload());  // saved when it was unplugged: half written

  auto second = Cli({"upgrade", image_});
  EXPECT_EQ(second->Wait(), 0) << second->err;
  const Trace trace = StopSim();
  EXPECT_EQ(trace.mode, "normal");
  EXPECT_EQ(Application(), Payload());
}

TEST_F(FirmwareCliTest, CtrlCStopsAfterABlockAndLeavesTheMeterInUpgradeMode) {
  // Replies come slowly, so the verification takes seconds.
  StartSim({"--upgrade-mode", "--report-delay-us", "2000"});
  auto cli = Cli({"upgrade", image_});
  ASSERT_TRUE(WaitForErr(*cli, T(TXT_VERIFYING))) << cli->err;
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(), 1);
  const auto lines = LogLines(cli->err);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{T(TXT_ERR_VERIFY), texts_.Extra("upgrade_stopped")}));
  const Trace trace = StopSim();
  EXPECT_EQ(trace.mode, "upgrade");
  // The read-back ended at a block: each of its requests was answered in full.
  EXPECT_LT(std::count_if(trace.commands.begin(), trace.commands.end(),
                          [](const auto& c) { return c.first == 11; }),
            50);
}

// Runs its arguments with standard error on a pseudo-terminal and prints what came there.
constexpr const char* kOnTerminal = R"(
import os, subprocess, sys
main, side = os.openpty()
child = subprocess.Popen(sys.argv[1:], stderr=side)
os.close(side)
seen = b""
while True:
    try:
        chunk = os.read(main, 65536)
    except OSError:
        break
    if not chunk:
        break
    seen += chunk
sys.stdout.buffer.write(seen)
sys.exit(child.wait())
)";

TEST_F(FirmwareCliTest, OnATerminalTheProgressIsOneLineRedrawnInPlace) {
  StartSim({"--upgrade-mode"});
  Process cli({VIREO_PYTHON, "-c", kOnTerminal, VIREO_CLI, "upgrade", image_},
              (folder_ / "work").string());
  ASSERT_EQ(cli.Wait(), 0) << cli.err;
  EXPECT_NE(cli.out.find(std::string("\r").append(T(TXT_WRITING)).append(" 50%")),
            std::string::npos)
      << cli.out;
  EXPECT_NE(cli.out.find("\r\033[K"), std::string::npos);
  // Seven log lines and no more, however often the progress was drawn.
  EXPECT_EQ(testing::Count(cli.out, "\n"), 7u) << cli.out;
}

TEST_F(FirmwareCliTest, ImageDescribesAValidFileAndNamesTheFirstBrokenRule) {
  auto valid = Cli({"image", image_});
  EXPECT_EQ(valid->Wait(), 0);
  EXPECT_NE(valid->out.find("date: 2024-05-17\n"), std::string::npos) << valid->out;
  EXPECT_NE(valid->out.find("payload: 51200 bytes\n"), std::string::npos);
  EXPECT_NE(valid->out.find("logo area: marked\n"), std::string::npos);
  EXPECT_TRUE(valid->out.ends_with("\nvalid\n")) << valid->out;

  sim::TestImageOptions options;
  options.month = 13;
  options.logoArea = false;
  const std::string bad = (folder_ / "work/bad.lrm").string();
  ASSERT_TRUE(sim::WriteTestImage(bad, options));
  auto invalid = Cli({"image", "--json", bad});
  EXPECT_EQ(invalid->Wait(), 1);
  const auto json = nlohmann::json::parse(invalid->out);
  EXPECT_EQ(json["valid"], false);
  EXPECT_EQ(json["failed"], "month");
  EXPECT_EQ(json["logoArea"], false);
  EXPECT_EQ(json["payloadLength"], 51200);

  auto missing = Cli({"image", (folder_ / "none.lrm").string()});
  EXPECT_EQ(missing->Wait(), 1);
  EXPECT_TRUE(missing->out.ends_with("invalid: unreadable\n")) << missing->out;
}

TEST_F(FirmwareCliTest, LogoPrintsToleranceAndSizeAndWritesPreviewAndPatch) {
  const fs::path bmp = folder_ / "work/red.bmp";
  WriteBmp(bmp, 0xFF0000);
  const fs::path patch = folder_ / "work/logo.bin";
  auto cli = Cli({"logo", bmp.string(), "--patch", patch.string()});
  EXPECT_EQ(cli->Wait(), 0) << cli->err;
  EXPECT_EQ(cli->out, "tolerance: 0\nsize: 521\n");
  const auto bytes = testing::ReadBytes(patch);
  ASSERT_EQ(bytes.size(), 4096u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 11),
            (std::vector<uint8_t>{0x80, 0, 0x80, 0, 0x11, 0, 1, 0, 0, 0xE0, 0x40}));
  EXPECT_TRUE(fs::exists(bmp.string() + "_Tarndeal.bmp"));

  auto given = Cli({"logo", bmp.string(), "--tolerance", "500"});
  EXPECT_EQ(given->Wait(), 0);
  EXPECT_EQ(given->out, "tolerance: 500\nsize: 521\n");
}

TEST_F(FirmwareCliTest, LogoRefusesBitmapsThatAreWrongOrTooBigAndWritesNothing) {
  const fs::path noise = folder_ / "work/noise.bmp";
  WriteBmp(noise, 0, true);
  const fs::path patch = folder_ / "work/logo.bin";
  auto big = Cli({"logo", noise.string(), "--patch", patch.string()});
  EXPECT_EQ(big->Wait(), 1);
  EXPECT_EQ(big->out, "tolerance: 0\nsize: 32777\n");
  EXPECT_NE(big->err.find(T(TXT_ERR_BMP_LIMIT)), std::string::npos);
  EXPECT_FALSE(fs::exists(patch));
  EXPECT_FALSE(fs::exists(noise.string() + "_Tarndeal.bmp"));

  const fs::path text = folder_ / "work/text.bmp";
  std::ofstream(text) << "not a bitmap";
  auto refused = Cli({"logo", text.string()});
  EXPECT_EQ(refused->Wait(), 1);
  EXPECT_EQ(refused->out, "");
  EXPECT_EQ(refused->err, T(TXT_ERR_BMP) + "\n");

  for (const auto& args :
       std::vector<std::vector<std::string>>{{"logo", noise.string(), "--tolerance", "1000"},
                                             {"logo"},
                                             {"upgrade", image_, "--tolerance", "5"},
                                             {"image"}}) {
    auto usage = Cli(args);
    EXPECT_EQ(usage->Wait(), 2) << ::testing::PrintToString(args);
  }
}

}  // namespace
}  // namespace vireo
