// Rows as export and the live outputs write them, and UTC times as text.
#include "record/rows.h"

#include <gtest/gtest.h>

#include <limits>

#include "base/iso_time.h"
#include "recording_sink.h"

namespace vireo::record {
namespace {

StoredValues Values(float tempExternal = -49.5f) {
  ReadingsRecord r;
  r.voltage = 5.123456f;
  r.current = -0.25f;
  r.power = 1.5f;
  r.dPlus = 0.6f;
  r.dMinus = 0;
  r.tempInternal = 30.25f;
  r.tempExternal = tempExternal;
  r.voltageFast = std::numeric_limits<float>::infinity();
  r.currentFast = 1e30f;  // does not fit the column
  return ToStored(r);
}

TEST(RowsTest, CsvHeaderNamesTheQuantitiesAsStreamDoes) {
  EXPECT_EQ(CsvHeader(),
            "t,voltage,current,power,dplus,dminus,temp_internal,temp_external,voltage_fast,"
            "current_fast,gap_until,gap_cause\n");
}

TEST(RowsTest, QuantitiesAreKeptInMicroUnitsAndMilliDegrees) {
  const StoredValues v = Values();
  EXPECT_EQ(v[0], 5123456);
  EXPECT_EQ(v[1], -250000);
  EXPECT_EQ(v[5], 30250);
  EXPECT_EQ(v[6], -49500);
  EXPECT_EQ(v[7], std::nullopt);
  EXPECT_EQ(v[8], std::nullopt);
  // Below -50 degrees the meter has no probe: no reading, as `stream` prints it.
  EXPECT_EQ(Values(-50)[6], -50000);
  EXPECT_EQ(Values(-50.5)[6], std::nullopt);
  EXPECT_EQ(Values(-60)[6], std::nullopt);
}

TEST(RowsTest, SampleRows) {
  EXPECT_EQ(SampleRow(RowFormat::kCsv, 1'500'250, Values()),
            "1.500250,5.123456,-0.25,1.5,0.6,0,30.25,-49.5,,,,\n");
  EXPECT_EQ(SampleRow(RowFormat::kJsonl, 1'500'250, Values()),
            "{\"t\": 1.500250, \"voltage\": 5.123456, \"current\": -0.25, \"power\": 1.5, "
            "\"dplus\": 0.6, \"dminus\": 0, \"temp_internal\": 30.25, \"temp_external\": -49.5, "
            "\"voltage_fast\": null, \"current_fast\": null}\n");
}

TEST(RowsTest, GapRows) {
  EXPECT_EQ(GapRow(RowFormat::kCsv, 2'000'000, 5'250'000, "meter gone"),
            "2.000000,,,,,,,,,,5.250000,meter gone\n");
  EXPECT_EQ(GapRow(RowFormat::kJsonl, 2'000'000, 5'250'000, "meter gone"),
            "{\"gap\": {\"from\": 2.000000, \"to\": 5.250000, \"cause\": \"meter gone\"}}\n");
}

TEST(RowsTest, LiveJsonLinesMarkEachSession) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  {
    LiveRowWriter writer(out, RowFormat::kJsonl);
    SessionStart start;
    start.number = 2;
    start.wallStartNs = int64_t{1'700'000'000} * 1'000'000'000;
    start.serial = "FEDCBA";
    writer.BeginSession(start);
    writer.Sample(1'000'000'000, test::Frame(0, 5, 1).readings);
    writer.GapClosed({1'000'000'000, 3'000'000'000, "meter silent"});
    EXPECT_TRUE(writer.Flush());
  }
  std::fclose(out);
  const std::string written(text, size);
  std::free(text);
  EXPECT_EQ(written,
            "{\"session\":{\"number\":2,\"start\":\"2023-11-14T22:13:20.000000Z\",\"serial\":"
            "\"FEDCBA\"}}\n"
            "{\"t\": 1.000000, \"voltage\": 5, \"current\": 1, \"power\": 5, \"dplus\": 0, "
            "\"dminus\": 0, \"temp_internal\": 0, \"temp_external\": 0, \"voltage_fast\": 0, "
            "\"current_fast\": 0}\n"
            "{\"gap\": {\"from\": 1.000000, \"to\": 3.000000, \"cause\": \"meter silent\"}}\n");
}

TEST(RowsTest, AFailedWriteIsKeptAndReported) {
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  LiveRowWriter writer(full, RowFormat::kCsv);
  writer.BeginSession({});
  for (int i = 0; i < 2000; ++i)
    writer.Sample(i * 1000, test::Frame(0, 5, 1).readings);
  EXPECT_FALSE(writer.Flush());
  EXPECT_EQ(writer.error(), ENOSPC);
  std::fclose(full);
}

struct UtcCase {
  const char* text;
  std::optional<int64_t> unixUs;
};

class ParseUtcTest : public ::testing::TestWithParam<UtcCase> {};

TEST_P(ParseUtcTest, ReadsIso8601WithItsZone) {
  EXPECT_EQ(ParseUtc(GetParam().text), GetParam().unixUs) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Times, ParseUtcTest,
    ::testing::Values(UtcCase{"1970-01-01T00:00:00Z", 0},
                      UtcCase{"2023-11-14T22:13:20Z", int64_t{1'700'000'000'000'000}},
                      UtcCase{"2023-11-14T22:13:20.5Z", int64_t{1'700'000'000'500'000}},
                      UtcCase{"2023-11-15T00:13:20+02:00", int64_t{1'700'000'000'000'000}},
                      UtcCase{"2023-11-14 22:13:20.000001Z", int64_t{1'700'000'000'000'001}},
                      UtcCase{"2024-02-29T00:00:00Z", int64_t{1'709'164'800'000'000}},
                      UtcCase{"1969-12-31T23:59:59Z", -1'000'000},
                      UtcCase{"2023-02-29T00:00:00Z", std::nullopt},
                      UtcCase{"2023-11-14T22:13:20", std::nullopt},  // no zone
                      UtcCase{"2023-11-14T25:00:00Z", std::nullopt},
                      UtcCase{"2023-11-14", std::nullopt}, UtcCase{"12.5", std::nullopt},
                      UtcCase{"2023-11-14T22:13:20Zjunk", std::nullopt}));

TEST(FormatUtcTest, WritesMicrosecondsAndRoundTrips) {
  EXPECT_EQ(FormatUtc(int64_t{1'700'000'000'000'001}), "2023-11-14T22:13:20.000001Z");
  EXPECT_EQ(FormatUtc(-1), "1969-12-31T23:59:59.999999Z");
  for (const int64_t us :
       {int64_t{0}, int64_t{951'782'400'123'456}, int64_t{4'102'444'799'999'999}})
    EXPECT_EQ(ParseUtc(FormatUtc(us)), us);
}

}  // namespace
}  // namespace vireo::record
