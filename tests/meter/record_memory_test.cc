// The meter's record memory: how many records its counters allow, where RecordHours sits in
// the settings block, and the reads that take the records ten at a time.
#include "meter/record_memory.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace vireo {
namespace {

TEST(RecordCount, SmallerCounterAtMostTheCapacity) {
  EXPECT_EQ(RecordCount(120, 120), 120u);
  EXPECT_EQ(RecordCount(352, 5), 5u);
  EXPECT_EQ(RecordCount(5, 352), 5u);
  EXPECT_EQ(RecordCount(0, 0), 0u);
  EXPECT_EQ(RecordCount(353, 400), 352u);
  EXPECT_EQ(RecordCount(0xFFFFFFFF, 0xFFFFFFFF), 352u);
}

TEST(RecordCount, CountersAreTwoLittleEndianWords) {
  EXPECT_EQ(RecordCount(std::array<uint8_t, kCountersSize>{0x78, 0, 0, 0, 0x79, 0, 0, 0}), 120u);
  EXPECT_EQ(RecordCount(std::array<uint8_t, kCountersSize>{0x60, 1, 0, 0, 5, 0, 0, 0}), 5u);
  EXPECT_EQ(RecordCount(std::array<uint8_t, kCountersSize>{5, 0, 0, 0, 0x60, 1, 0, 0}), 5u);
  // A high byte alone is far above the capacity.
  EXPECT_EQ(RecordCount(std::array<uint8_t, kCountersSize>{0, 0, 0, 1, 0, 0, 1, 0}), 352u);
}

TEST(RecordMemory, TheLayoutOfTheMeter) {
  EXPECT_EQ(kRecordCapacity, 352u);
  EXPECT_EQ(kRecordBytes, 5u);
  EXPECT_EQ(kSettingsAddress + kRecordHoursOffset, 78u);
  EXPECT_EQ(kSettingsSize, 43u);
  EXPECT_EQ(kCountersAddress, 2016u);
  EXPECT_EQ(kRecordsAddress, 256u);
  // Ten records fill the 52 payload bytes of one reply as far as whole records go.
  EXPECT_EQ(kRecordsPerExchange * kRecordBytes, 50u);
}

TEST(RecordMemory, RecordHoursIsTheSettingsByteAtOffsetTen) {
  std::array<uint8_t, kSettingsSize> settings{};
  settings.fill(0xEE);
  settings[10] = 24;
  EXPECT_EQ(SettingsRecordHours(settings), 24);
}

TEST(NextRecordRead, TenRecordsAtATimeFromAddress256) {
  std::vector<RecordRead> reads;
  for (uint32_t done = 0; done < 23;) {
    const RecordRead read = NextRecordRead(done, 23);
    ASSERT_GT(read.count, 0u);
    reads.push_back(read);
    done += read.count;
  }
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].first, 0u);
  EXPECT_EQ(reads[0].count, 10u);
  EXPECT_EQ(reads[0].address, 256u);
  EXPECT_EQ(reads[0].bytes, 50u);
  EXPECT_EQ(reads[1].first, 10u);
  EXPECT_EQ(reads[1].address, 306u);
  EXPECT_EQ(reads[2].first, 20u);
  EXPECT_EQ(reads[2].count, 3u);
  EXPECT_EQ(reads[2].address, 356u);
  EXPECT_EQ(reads[2].bytes, 15u);
}

TEST(NextRecordRead, NothingOnceAllAreRead) {
  EXPECT_EQ(NextRecordRead(5, 5).count, 0u);
  EXPECT_EQ(NextRecordRead(5, 5).bytes, 0u);
  EXPECT_EQ(NextRecordRead(0, 0).count, 0u);
  // The whole memory: the last read ends at the last record.
  const RecordRead last = NextRecordRead(350, kRecordCapacity);
  EXPECT_EQ(last.count, 2u);
  EXPECT_EQ(last.address + last.bytes, 256u + 5u * 352u);
}

}  // namespace
}  // namespace vireo
