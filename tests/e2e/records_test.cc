// vireometer-cli readout against vireometer-sim, file for file with the emulator's record
// memory; vireometer-cli records on edge-case record files; the program's PNG export.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "e2e/cli_fixture.h"
#include "sim/meter_emulator.h"
#include "text/text_table.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using testing::Process;
using Bytes = std::vector<uint8_t>;

class RecordsTest : public testing::CliFixture {
 protected:
  // The record file of a read-out of `count` records from a meter built with these options:
  // 0x05, the byte at address 78, then the records exactly as the memory holds them.
  static Bytes Expected(const sim::EmulatorOptions& options, uint32_t count) {
    sim::MeterEmulator meter(options);
    const auto& memory = meter.recordMemory();
    Bytes bytes = {0x05, memory[78]};
    bytes.insert(bytes.end(), memory.begin() + 256, memory.begin() + 256 + 5 * count);
    return bytes;
  }

  // The files in work/dat.
  std::vector<fs::path> DatFiles() const {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder_ / "work/dat", ec))
      files.push_back(entry.path());
    return files;
  }

  std::string Write(const std::string& name, const Bytes& bytes) {
    const fs::path path = folder_ / "work" / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }
};

struct CounterCase {
  std::vector<std::string> simOptions;
  uint32_t stored;
  std::optional<uint32_t> a, b;
  uint32_t records;
};

class ReadOutCounters : public RecordsTest, public ::testing::WithParamInterface<CounterCase> {};

TEST_P(ReadOutCounters, TheFileHoldsTheRecordMemoryByteForByte) {
  const CounterCase& c = GetParam();
  std::vector<std::string> options = {"--record-hours", "6"};
  options.insert(options.end(), c.simOptions.begin(), c.simOptions.end());
  StartSim(options);
  auto cli = Cli({"readout"});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  const auto files = DatFiles();
  ASSERT_EQ(files.size(), 1u);
  // The last line on standard output is the file's full path.
  EXPECT_EQ(cli->out, files[0].string() + "\n");
  EXPECT_EQ(files[0].extension(), ".vat");
  EXPECT_EQ(files[0].stem().string().size(), 15u);  // YYYYMMDD_HHMMSS
  sim::EmulatorOptions emulated;
  emulated.recordCount = c.stored;
  emulated.settingsByte = 6;
  emulated.counterA = c.a;
  emulated.counterB = c.b;
  const Bytes file = testing::ReadBytes(files[0]);
  EXPECT_EQ(file.size(), 2 + 5 * c.records);
  EXPECT_EQ(file, Expected(emulated, c.records));
  EXPECT_NE(cli->err.find(texts_[TXT_SAVED] + ":" + files[0].string() + "\n"), std::string::npos)
      << cli->err;
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadOutCounters,
                         ::testing::Values(CounterCase{{"--records", "120"}, 120, {}, {}, 120},
                                           CounterCase{{"--counters", "352,5"}, 352, 352, 5, 5},
                                           CounterCase{{"--records", "13"}, 13, {}, {}, 13},
                                           CounterCase{
                                               {"--counters", "400,353"}, 352, 400, 353, 352},
                                           CounterCase{{}, 352, {}, {}, 352}));

TEST_F(RecordsTest, NoRecordsWritesNoFile) {
  StartSim({"--records", "0"});
  auto cli = Cli({"readout"});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->out, "");
  EXPECT_NE(cli->err.find(texts_[TXT_ERR_READOUT] + "\n"), std::string::npos) << cli->err;
  EXPECT_FALSE(fs::exists(folder_ / "work/dat"));
}

TEST_F(RecordsTest, AFailedBlockLogsCommThenReadOutAndWritesNoFile) {
  // The identification and the first blocks are answered, then the meter goes away.
  StartSim({"--records", "120", "--unplug-after", "8"});
  auto cli = Cli({"readout"});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->out, "");
  EXPECT_NE(cli->err.find(texts_[TXT_ERR_COMM] + texts_[TXT_ERR_READOUT] + "\n"), std::string::npos)
      << cli->err;
  EXPECT_TRUE(DatFiles().empty());
}

TEST_F(RecordsTest, ReadOutIntoAnotherFolder) {
  StartSim({"--records", "20"});
  fs::create_directory(folder_ / "elsewhere");
  auto cli = Cli({"readout", "--dir", "../elsewhere"});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  const fs::path written(cli->out.substr(0, cli->out.size() - 1));
  EXPECT_EQ(written.parent_path(), folder_ / "elsewhere/dat");
  EXPECT_EQ(testing::ReadBytes(written).size(), 102u);
}

TEST_F(RecordsTest, AFileThatCannotBeSavedIsReportedWithItsPath) {
  StartSim({"--records", "20"});
  std::ofstream(folder_ / "work/dat") << "in the way";
  auto cli = Cli({"readout"});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->out, "");
  EXPECT_NE(cli->err.find(texts_[TXT_ERR_SAVE] + ":" + (folder_ / "work/dat/").string()),
            std::string::npos)
      << cli->err;
  EXPECT_TRUE(fs::is_regular_file(folder_ / "work/dat"));
}

TEST_F(RecordsTest, CtrlCEndsAReadOutAtOnceWithoutAFile) {
  // Slow replies: the read-out takes seconds.
  StartSim({"--report-delay-us", "50000"});
  auto cli = Cli({"readout"});
  ASSERT_TRUE(WaitForErr(*cli, texts_[TXT_DEVICE_CONNECTED])) << cli->err;
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->out, "");
  EXPECT_NE(cli->err.find(texts_.Extra("readout_stopped")), std::string::npos) << cli->err;
  EXPECT_TRUE(DatFiles().empty());
  EXPECT_FALSE(fs::exists(folder_ / "work/dat"));
}

TEST_F(RecordsTest, ReadOutWithoutAMeterOrWithOldFirmwareFails) {
  auto none = Cli({"readout"});
  EXPECT_EQ(none->Wait(), 1);
  EXPECT_NE(none->err.find(texts_[TXT_ERR_NO_DEVICE] + "\n"), std::string::npos) << none->err;
  StartSim({"--version-byte", "0x14"});
  auto old = Cli({"readout"});
  EXPECT_EQ(old->Wait(), 1);
  EXPECT_EQ(old->out, "");
  // The notice once, from the read-out's own check.
  const std::string notice = texts_[TXT_FW_TOO_OLD];
  const size_t at = old->err.find(notice);
  EXPECT_NE(at, std::string::npos) << old->err;
  EXPECT_EQ(old->err.find(notice, at + 1), std::string::npos) << old->err;
  EXPECT_FALSE(fs::exists(folder_ / "work/dat"));
}

TEST_F(RecordsTest, RecordsPrintsOneCsvRowPerRecord) {
  // 1 V, -1 A, 25 °C; 65.535 V, 0 A, -128 °C; then 4 trailing bytes that are ignored.
  const std::string path = Write("a.vat", {0x05, 0x02, 0xE8, 0x03, 0x18, 0xFC, 0x19, 0xFF, 0xFF,
                                           0x00, 0x00, 0x80, 1, 2, 3, 4});
  auto cli = Cli({"records", path});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  EXPECT_EQ(cli->out,
            "index,seconds,voltage,current,temperature\n"
            "0,0.000,1.000,-1.000,25\n"
            "1,20.455,65.535,0.000,-128\n");
  EXPECT_EQ(cli->err, "");
}

TEST_F(RecordsTest, RecordsAsJsonLines) {
  const std::string path =
      Write("a.vat", {0x05, 0x01, 0xE8, 0x03, 0x18, 0xFC, 0x19, 0xD4, 0x13, 0x0A, 0x00, 0xF6});
  auto cli = Cli({"records", path, "--format", "jsonl"});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  std::istringstream lines(cli->out);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(nlohmann::json::parse(line),
            nlohmann::json::parse(R"({"index": 0, "seconds": 0.0, "voltage": 1.0,
                                      "current": -1.0, "temperature": 25})"));
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(nlohmann::json::parse(line),
            nlohmann::json::parse(R"({"index": 1, "seconds": 10.227, "voltage": 5.076,
                                      "current": 0.01, "temperature": -10})"));
  EXPECT_FALSE(std::getline(lines, line));
}

TEST_F(RecordsTest, RecordsOfAFullMemoryAndOfAHeaderAlone) {
  Bytes full = {0x05, 0x01};
  for (int i = 0; i < 352; ++i)
    full.insert(full.end(), {0x88, 0x13, 0xE8, 0x03, 0x1E});
  auto cli = Cli({"records", Write("full.vat", full)});
  ASSERT_EQ(cli->Wait(), 0) << cli->err;
  EXPECT_EQ(std::count(cli->out.begin(), cli->out.end(), '\n'), 353);
  EXPECT_NE(cli->out.find("\n351,3589.773,5.000,1.000,30\n"), std::string::npos);
  auto empty = Cli({"records", Write("empty.vat", {0x05, 0x01})});
  ASSERT_EQ(empty->Wait(), 0) << empty->err;
  EXPECT_EQ(empty->out, "index,seconds,voltage,current,temperature\n");
}

struct Refusal {
  Bytes bytes;
  std::string reason;
};

class RecordsRefusal : public RecordsTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RecordsRefusal, OneLineSaysWhyAndNothingIsPrinted) {
  const std::string path = Write("bad.vat", GetParam().bytes);
  auto cli = Cli({"records", path});
  EXPECT_EQ(cli->Wait(), 1);
  EXPECT_EQ(cli->out, "");
  EXPECT_EQ(cli->err, "vireometer-cli: " + path + ": " + GetParam().reason + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordsRefusal,
    ::testing::Values(Refusal{{}, "shorter than 2 bytes"}, Refusal{{0x05}, "shorter than 2 bytes"},
                      Refusal{{0x06, 0x01}, "first byte is not 5"},
                      Refusal{{0x05, 0x00, 1, 2, 3, 4, 5}, "RecordHours is 0"}));

TEST_F(RecordsTest, RecordsOfAMissingFileOrAFolderIsRefused) {
  auto missing = Cli({"records", "none.vat"});
  EXPECT_EQ(missing->Wait(), 1);
  EXPECT_EQ(missing->err, "vireometer-cli: none.vat: not readable: No such file or directory\n");
  auto folder = Cli({"records", "."});
  EXPECT_EQ(folder->Wait(), 1);
  EXPECT_EQ(folder->err, "vireometer-cli: .: not a regular file\n");
  EXPECT_EQ(folder->out, "");
  auto usage = Cli({"records"});
  EXPECT_EQ(usage->Wait(), 2);
  auto format = Cli({"records", "a.vat", "--format", "xml"});
  EXPECT_EQ(format->Wait(), 2);
}

#ifdef VIREO_PROGRAM
// PNG files start with these 8 bytes; the picture's size follows in the IHDR chunk.
bool IsPngOfSize(const Bytes& png, uint32_t width, uint32_t height) {
  const Bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 24 || !std::equal(signature.begin(), signature.end(), png.begin()))
    return false;
  const auto u32 = [&](size_t at) {
    return uint32_t{png[at]} << 24 | uint32_t{png[at + 1]} << 16 | uint32_t{png[at + 2]} << 8 |
           png[at + 3];
  };
  return u32(16) == width && u32(20) == height;
}

TEST_F(RecordsTest, ExportPngWorksWithoutADisplay) {
  Bytes file = {0x05, 0x01};
  for (int i = 0; i < 352; ++i)
    file.insert(file.end(), {0x88, 0x13, 0xE8, 0x03, 0x1E});
  const std::string vat = Write("a.vat", file);
  for (const char* full : {"", "--full"}) {
    std::vector<std::string> args = {VIREO_PROGRAM, "--export-png", "out.png", vat};
    if (*full)
      args.push_back(full);
    Process program(args, (folder_ / "work").string(),
                    {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
    ASSERT_EQ(program.Wait(), 0) << program.err;
    // The chart control's client area.
    EXPECT_TRUE(IsPngOfSize(testing::ReadBytes(folder_ / "work/out.png"), 577, 261)) << full;
    fs::remove(folder_ / "work/out.png");
  }
}

TEST_F(RecordsTest, ExportPngOfARefusedFileWritesNothing) {
  const std::string vat = Write("bad.vat", {0x05, 0x00});
  Process program({VIREO_PROGRAM, "--export-png", "out.png", vat}, (folder_ / "work").string(),
                  {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
  EXPECT_EQ(program.Wait(), 1);
  EXPECT_NE(program.err.find("vireometer: " + vat + ": RecordHours is 0\n"), std::string::npos)
      << program.err;
  EXPECT_FALSE(fs::exists(folder_ / "work/out.png"));
  Process noFile({VIREO_PROGRAM, "--export-png", "out.png"}, (folder_ / "work").string(),
                 {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
  EXPECT_EQ(noFile.Wait(), 2);
  EXPECT_FALSE(fs::exists(folder_ / "work/out.png"));
}
#endif

}  // namespace
}  // namespace vireo
