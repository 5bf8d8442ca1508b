// The record read-out against an emulated meter: the counters, the exchanges, progress, the
// log, the file byte for byte, its name, and what a failure leaves behind.
#include "app/read_out_control.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "app/read_out_file.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using testing::LogEntry;
using testing::RecordingReporter;

constexpr uint8_t kReadRecordMemory = 25;

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Keeps every progress position, in order.
class ProgressReporter : public RecordingReporter {
 public:
  void SetProgress(int position) override {
    RecordingReporter::SetProgress(position);
    {
      std::lock_guard lock(mutex_);
      positions_.push_back(position);
    }
    if (onProgress)
      onProgress(position);
  }
  std::function<void(int)> onProgress;
  std::vector<int> positions() const {
    std::lock_guard lock(mutex_);
    return positions_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int> positions_;
};

// A local time as the read-out's clock gives it.
std::tm LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::tm March3rd() {
  return LocalTime(2024, 3, 3, 9, 5, 7);
}

class ReadOutTest : public testing::VirtualMeterTest {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    testing::NumberTexts(state.texts);
    program_ = folder_ / "program";
    fs::create_directory(program_);
    state.ProgramFolder = program_.string() + "/";
    state.deviceInfo.Store({{}, 0x15, true});
    link.Configure();
    control = std::make_unique<ReadOutControl>(link, state, reporter);
    control->SetClock([] { return March3rd(); });
  }
  void TearDown() override {
    control.reset();
    VirtualMeterTest::TearDown();
  }

  sim::VirtualMeter& Meter(uint32_t records, std::optional<uint32_t> a = {},
                           std::optional<uint32_t> b = {}) {
    sim::EmulatorOptions options;
    options.recordCount = records;
    options.settingsByte = 3;
    options.counterA = a;
    options.counterB = b;
    return PlugMeter(options);
  }

  // Runs one read-out to its end.
  bool Run() {
    if (!control->Request())
      return false;
    return testing::WaitFor([&] { return !control->IsRunning(); });
  }

  uint32_t Exchanges(sim::VirtualMeter& meter) {
    uint32_t n = 0;
    meter.WithEmulator([&](sim::MeterEmulator& e) { n = e.CommandCount(kReadRecordMemory); });
    return n;
  }

  // The file the read-out must write for the first `count` records of the meter.
  std::vector<uint8_t> Expected(sim::VirtualMeter& meter, uint32_t count) {
    std::vector<uint8_t> bytes;
    meter.WithEmulator([&](sim::MeterEmulator& e) {
      const auto& memory = e.recordMemory();
      bytes.push_back(0x05);
      bytes.push_back(memory[78]);
      bytes.insert(bytes.end(), memory.begin() + 256, memory.begin() + 256 + 5 * count);
    });
    return bytes;
  }

  fs::path FilePath() const { return program_ / "dat" / "20240303_090507.vat"; }

  AppState state;
  MeterLink link;
  ProgressReporter reporter;
  std::unique_ptr<ReadOutControl> control;
  fs::path program_;
};

TEST_F(ReadOutTest, EqualCountersReadThatManyRecordsInTensWithProgress) {
  auto& meter = Meter(120);
  ASSERT_TRUE(Run());
  EXPECT_EQ(Exchanges(meter), 2u + 12u);
  EXPECT_EQ(reporter.positions(),
            (std::vector<int>{0, 8, 16, 25, 33, 41, 50, 58, 66, 75, 83, 91, 100, 100}));
  const auto file = ReadFile(FilePath());
  EXPECT_EQ(file.size(), 602u);
  EXPECT_EQ(file, Expected(meter, 120));
  EXPECT_EQ(file[1], 3);
  const std::string path = FilePath().string();
  EXPECT_EQ(reporter.log(), (std::vector<LogEntry>{{"T61:" + path, 1}, {"\n", -1}}));
  EXPECT_EQ(reporter.clears(), 1);
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{true});
  EXPECT_EQ(reporter.notices(), std::vector<std::string>{testing::RecordsReadyNotice(path)});
  // The worker gives the link back and leaves it closed; the path travels in the notice only.
  EXPECT_TRUE(state.linkOwner.IsFree());
  EXPECT_FALSE(link.IsOpen());
}

struct CounterCase {
  uint32_t stored;
  uint32_t a;
  uint32_t b;
  uint32_t records;
  uint32_t exchanges;
};

class ReadOutCounters : public ReadOutTest, public ::testing::WithParamInterface<CounterCase> {};

TEST_P(ReadOutCounters, TheSmallerCounterUpToTheCapacityIsRead) {
  const CounterCase& c = GetParam();
  auto& meter = Meter(c.stored, c.a, c.b);
  ASSERT_TRUE(Run());
  EXPECT_EQ(Exchanges(meter), 2 + c.exchanges);
  EXPECT_EQ(ReadFile(FilePath()), Expected(meter, c.records));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{true});
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadOutCounters,
                         ::testing::Values(
                             // 5 records in one exchange of 25 bytes.
                             CounterCase{352, 352, 5, 5, 1},
                             // Exchanges of 50 and 15 bytes at 256 and 306.
                             CounterCase{13, 13, 13, 13, 2},
                             // Above the capacity: the whole memory.
                             CounterCase{352, 400, 353, 352, 36},
                             CounterCase{352, 0xFFFFFFFF, 0xFFFFFFFF, 352, 36}));

TEST_F(ReadOutTest, NoRecordsIsAFailureWithoutAFile) {
  Meter(0);
  ASSERT_TRUE(Run());
  EXPECT_EQ(reporter.log(), (std::vector<LogEntry>{{"T60", 3}, {"\n", -1}}));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
  EXPECT_EQ(reporter.progress(), 100);
  EXPECT_FALSE(fs::exists(program_ / "dat"));
  EXPECT_TRUE(reporter.notices().empty());
}

TEST_F(ReadOutTest, AFailedBlockLogsCommThenReadOutAndWritesNothing) {
  auto& meter = Meter(120);
  // Settings, counters and three blocks are answered; the fourth block is not.
  meter.faults().unplugAfterReports = 6;
  ASSERT_TRUE(Run());
  EXPECT_EQ(reporter.log(), (std::vector<LogEntry>{{"T29", 3}, {"T60", 3}, {"\n", -1}}));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
  EXPECT_EQ(reporter.positions(), (std::vector<int>{0, 8, 16, 25, 100}));
  EXPECT_FALSE(fs::exists(program_ / "dat"));
}

TEST_F(ReadOutTest, WithoutAMeterTheRequestLogsNoDevice) {
  EXPECT_FALSE(control->Request());
  EXPECT_EQ(reporter.log(), (std::vector<LogEntry>{{"T23", 3}, {"\n", -1}}));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
  EXPECT_TRUE(state.linkOwner.IsFree());
}

TEST_F(ReadOutTest, ReadOutsInTheSameSecondEachGetAFileOfTheirOwn) {
  auto& meter = Meter(20);
  ASSERT_TRUE(Run());
  ASSERT_TRUE(testing::WaitFor([&] { return state.linkOwner.IsFree(); }));
  meter.WithEmulator([](sim::MeterEmulator& e) { e.recordMemory()[2016] = 4; });
  ASSERT_TRUE(Run());
  const fs::path second = program_ / "dat" / "20240303_090507_2.vat";
  EXPECT_EQ(reporter.lines().back().text, "T61:" + second.string());
  EXPECT_EQ(reporter.notices().back(), testing::RecordsReadyNotice(second.string()));
  ASSERT_TRUE(testing::WaitFor([&] { return state.linkOwner.IsFree(); }));
  ASSERT_TRUE(Run());
  EXPECT_EQ(ReadFile(FilePath()).size(), 102u);
  EXPECT_EQ(ReadFile(second).size(), 22u);
  EXPECT_EQ(ReadFile(program_ / "dat" / "20240303_090507_3.vat").size(), 22u);
  // Three files, no temporary beside them.
  EXPECT_EQ(std::distance(fs::directory_iterator(program_ / "dat"), fs::directory_iterator()), 3);
}

TEST_F(ReadOutTest, AProgramFolderThatCannotBeWrittenSaysPermissionDenied) {
  if (geteuid() == 0)
    GTEST_SKIP() << "root may write anywhere";
  Meter(10);
  fs::permissions(program_, fs::perms::owner_read | fs::perms::owner_exec);
  ASSERT_TRUE(Run());
  fs::permissions(program_, fs::perms::owner_all);
  const auto lines = reporter.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "T62:" + FilePath().string() + " (permission denied on " +
                               (program_ / "dat").string() + ")");
  EXPECT_FALSE(fs::exists(program_ / "dat"));
}

TEST_F(ReadOutTest, AStopEndsTheReadOutWithoutAFile) {
  Meter(352);
  reporter.onProgress = [&](int position) {
    if (position > 0)
      control->RequestStop();
  };
  ASSERT_TRUE(Run());
  EXPECT_EQ(reporter.lines().back().text, state.texts.Extra("readout_stopped"));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
  EXPECT_FALSE(fs::exists(program_ / "dat"));
  EXPECT_TRUE(reporter.notices().empty());
}

TEST_F(ReadOutTest, ADatThatIsNotAFolderFailsToSaveWithThePath) {
  Meter(10);
  std::ofstream(program_ / "dat") << "not a folder";
  ASSERT_TRUE(Run());
  const auto lines = reporter.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "T62:" + FilePath().string() + " (" + FilePath().parent_path().string() +
                               " is not a folder)");
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
  EXPECT_TRUE(reporter.notices().empty());
  EXPECT_EQ(ReadFile(program_ / "dat"),
            (std::vector<uint8_t>{'n', 'o', 't', ' ', 'a', ' ', 'f', 'o', 'l', 'd', 'e', 'r'}));
}

TEST_F(ReadOutTest, WhileAnotherSequenceHoldsTheLinkReadOffIsBusy) {
  Meter(10);
  for (LinkUser holder : {LinkUser::kUpgrade, LinkUser::kLive, LinkUser::kReadOut}) {
    ASSERT_TRUE(state.linkOwner.TryTake(holder));
    EXPECT_FALSE(control->Request());
    EXPECT_EQ(reporter.messages().back(), "T34");
    state.linkOwner.Release(holder);
  }
  state.LiveRunning = 1;
  EXPECT_FALSE(control->Request());
  EXPECT_EQ(reporter.messages().size(), 4u);
  EXPECT_TRUE(reporter.log().empty());
}

TEST_F(ReadOutTest, OldFirmwareGetsTheNoticeAndNoReadOut) {
  auto& meter = Meter(10);
  state.deviceInfo.Store({{}, 0x14, true});
  EXPECT_FALSE(control->Request());
  EXPECT_EQ(reporter.notices(), std::vector<std::string>{testing::kFirmwareTooOldNotice});
  EXPECT_EQ(Exchanges(meter), 0u);
  EXPECT_TRUE(state.linkOwner.IsFree());
}

TEST(RecordFileName, LocalTimeNamesTheFileInTheDatFolder) {
  EXPECT_EQ(RecordFileName("/home/u/", March3rd()), "/home/u/dat/20240303_090507.vat");
  EXPECT_EQ(RecordFileName("./", LocalTime(1999, 12, 31, 23, 59, 59)), "./dat/19991231_235959.vat");
}

class AtomicWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-write-XXXXXX";
    folder_ = mkdtemp(pattern);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  size_t Entries() const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(folder_), fs::directory_iterator()));
  }
  fs::path folder_;
};

TEST_F(AtomicWrite, KeepsAnExistingFileAndTakesTheNextFreeName) {
  const fs::path path = folder_ / "a.vat";
  std::ofstream(path) << "old";
  std::ofstream(folder_ / "a_2.vat") << "older";
  const std::vector<uint8_t> bytes = {5, 1, 2, 3};
  const Result<std::string> written = WriteNewFile(path.string(), bytes);
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(written.value(), (folder_ / "a_3.vat").string());
  EXPECT_EQ(ReadFile(folder_ / "a_3.vat"), bytes);
  EXPECT_EQ(ReadFile(path), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(Entries(), 3u);
}

TEST_F(AtomicWrite, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  const fs::path path = folder_ / "a.vat";
  std::ofstream(path) << "old";
  // A file size limit makes the write fail part way, as a full disk would.
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const rlimit small{100, old.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const Result<std::string> written = WriteNewFile(path.string(), std::vector<uint8_t>(1762, 7));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, SIG_DFL);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().kind, ErrorKind::kNoSpace);
  EXPECT_EQ(ReadFile(path), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(AtomicWrite, AMissingFolderFails) {
  EXPECT_EQ(WriteNewFile((folder_ / "none" / "a.vat").string(), {}).error().message,
            (folder_ / "none").string() + " does not exist");
}

}  // namespace
}  // namespace vireo
