// Record files from bytes and from disk: what loads, what is refused and why, and the rows
// the tool prints and the chart exports.
#include "meter/record_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

namespace vireo {
namespace {

using Bytes = std::vector<uint8_t>;

RecordFileResult Decode(const Bytes& bytes) {
  return DecodeRecordFile(bytes);
}

TEST(RecordFileDecode, RecordBytesAreMillivoltsMilliampsAndDegrees) {
  const auto result = Decode({0x05, 0x01, 0xE8, 0x03, 0x18, 0xFC, 0x19});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.set.RecordHours, 1);
  ASSERT_EQ(result.set.count, 1u);
  EXPECT_FLOAT_EQ(result.set.points[0].voltage, 1.0f);
  EXPECT_FLOAT_EQ(result.set.points[0].current, -1.0f);
  EXPECT_EQ(result.set.points[0].temperature, 25.0f);
}

TEST(RecordFileEncode, MarkRecordHoursThenTheRecordsAsRead) {
  const Bytes records = {0xE8, 0x03, 0x18, 0xFC, 0x19, 1, 2, 3, 4, 5};
  const Bytes file = EncodeRecordFile(24, records);
  EXPECT_EQ(file, (Bytes{0x05, 24, 0xE8, 0x03, 0x18, 0xFC, 0x19, 1, 2, 3, 4, 5}));
  const auto result = Decode(file);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.set.RecordHours, 24);
  EXPECT_EQ(result.set.count, 2u);
  EXPECT_FLOAT_EQ(result.set.points[0].voltage, 1.0f);
  EXPECT_EQ(EncodeRecordFile(1, {}), (Bytes{0x05, 1}));
}

TEST(RecordFileDecode, ExtremesOfEachField) {
  const auto result =
      Decode({0x05, 0xFF, 0xFF, 0xFF, 0x00, 0x80, 0x80, 0x00, 0x00, 0xFF, 0x7F, 0x7F});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.set.RecordHours, 255);
  ASSERT_EQ(result.set.count, 2u);
  EXPECT_FLOAT_EQ(result.set.points[0].voltage, 65.535f);
  EXPECT_FLOAT_EQ(result.set.points[0].current, -32.768f);
  EXPECT_EQ(result.set.points[0].temperature, -128.0f);
  EXPECT_EQ(result.set.points[1].voltage, 0.0f);
  EXPECT_FLOAT_EQ(result.set.points[1].current, 32.767f);
  EXPECT_EQ(result.set.points[1].temperature, 127.0f);
}

struct CountCase {
  size_t length;
  uint32_t count;
};

class RecordFileLength : public ::testing::TestWithParam<CountCase> {};

TEST_P(RecordFileLength, CountsWholeRecordsAndIgnoresTrailingBytes) {
  Bytes bytes(GetParam().length, 0x11);
  bytes[0] = 0x05;
  bytes[1] = 0x01;
  const auto result = Decode(bytes);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.set.count, GetParam().count);
  EXPECT_EQ(result.set.points.size(), GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordFileLength,
                         ::testing::Values(CountCase{2, 0}, CountCase{6, 0}, CountCase{7, 1},
                                           CountCase{2 + 5 * 3 + 4, 3}, CountCase{2 + 5 * 352, 352},
                                           CountCase{2 + 5 * 500, 500}));

struct RefusalCase {
  Bytes bytes;
  RecordFileError error;
  std::string_view reason;
};

class RecordFileRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RecordFileRefusal, SaysWhichRuleFailed) {
  const auto result = Decode(GetParam().bytes);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error, GetParam().error);
  EXPECT_EQ(result.set.count, 0u);
  EXPECT_TRUE(result.set.points.empty());
  EXPECT_EQ(RecordFileErrorText(result.error), GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordFileRefusal,
    ::testing::Values(
        RefusalCase{{}, RecordFileError::kTooShort, "shorter than 2 bytes"},
        RefusalCase{{0x05}, RecordFileError::kTooShort, "shorter than 2 bytes"},
        RefusalCase{{0x04, 0x01, 1, 2, 3, 4, 5}, RecordFileError::kBadMark, "first byte is not 5"},
        RefusalCase{
            {0x05, 0x00, 1, 2, 3, 4, 5}, RecordFileError::kNoRecordHours, "RecordHours is 0"}));

TEST(RecordRows, RecordSecondsFollowTheRecordInterval) {
  EXPECT_DOUBLE_EQ(RecordSeconds(0, 1), 0.0);
  EXPECT_DOUBLE_EQ(RecordSeconds(1, 1), 3600.0 / 352);
  EXPECT_DOUBLE_EQ(RecordSeconds(352, 24), 86400.0);
}

TEST(RecordRows, CsvAtTheFileResolution) {
  const auto result =
      Decode({0x05, 0x01, 0xE8, 0x03, 0x18, 0xFC, 0x19, 0xD4, 0x13, 0x00, 0x00, 0xF6});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(RecordRowsCsv(result.set),
            "index,seconds,voltage,current,temperature\n"
            "0,0.000,1.000,-1.000,25\n"
            "1,10.227,5.076,0.000,-10\n");
}

TEST(RecordRows, LiveSamplesWithTheirTimesAndFullPrecision) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> voltage = {9.0f, 5.0f, 5.125f};
  const std::vector<float> current = {1.5f, -0.25f};
  const std::vector<float> temperature = {20.0f, nan};
  // The newest samples line up; a value that is not a number leaves its field empty.
  EXPECT_EQ(SampleRowsCsv(voltage, current, temperature, 200),
            "index,seconds,voltage,current,temperature\n"
            "0,0.000,5,1.5,20\n"
            "1,0.200,5.125,-0.25,\n");
}

class RecordFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-records-XXXXXX";
    folder_ = mkdtemp(pattern);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  std::string Write(const std::string& name, const Bytes& bytes) {
    const auto path = folder_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  std::filesystem::path folder_;
};

TEST_F(RecordFileOnDisk, ReadsAndDecodesAFile) {
  const auto result = ReadRecordFile(Write("a.vat", {0x05, 0x02, 0xE8, 0x03, 0x18, 0xFC, 0x19}));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.set.RecordHours, 2);
  EXPECT_EQ(result.set.count, 1u);
}

TEST_F(RecordFileOnDisk, AMissingFileIsUnreadableWithTheSystemsReason) {
  const auto result = ReadRecordFile((folder_ / "none.vat").string());
  EXPECT_EQ(result.error, RecordFileError::kUnreadable);
  EXPECT_EQ(result.detail, "No such file or directory");
}

TEST_F(RecordFileOnDisk, FoldersFifosAndDevicesAreRefusedWithoutWaiting) {
  const auto fifo = folder_ / "pipe.vat";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Opening the FIFO for reading would wait for a writer; the test ends instead.
  EXPECT_EQ(ReadRecordFile(fifo.string()).error, RecordFileError::kNotRegularFile);
  EXPECT_EQ(ReadRecordFile(folder_.string()).error, RecordFileError::kNotRegularFile);
  EXPECT_EQ(ReadRecordFile("/dev/zero").error, RecordFileError::kNotRegularFile);
}

TEST_F(RecordFileOnDisk, FilesAbove16MiBAreRefused) {
  const std::string path = Write("big.vat", {0x05, 0x01});
  ASSERT_EQ(truncate(path.c_str(), 16 * 1024 * 1024 + 1), 0);
  EXPECT_EQ(ReadRecordFile(path).error, RecordFileError::kTooLarge);
  EXPECT_EQ(RecordFileErrorText(RecordFileError::kTooLarge), "larger than 16 MiB");
  // 16 MiB itself still loads.
  ASSERT_EQ(truncate(path.c_str(), 16 * 1024 * 1024), 0);
  const auto result = ReadRecordFile(path);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.set.count, (16u * 1024 * 1024 - 2) / 5);
}

TEST_F(RecordFileOnDisk, AnUnreadableFileIsRefused) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root reads every file";
  }
  const std::string path = Write("locked.vat", {0x05, 0x01});
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  EXPECT_EQ(ReadRecordFile(path).error, RecordFileError::kUnreadable);
}

}  // namespace
}  // namespace vireo
