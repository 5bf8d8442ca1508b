#include "meter/frame.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace vireo {
namespace {

uint8_t SumOf(const Frame& f, int from, int to) {
  return static_cast<uint8_t>(std::accumulate(f.begin() + from, f.begin() + to + 1, 0u));
}

TEST(Frame, RequestWithoutPayloadIsZeroFromLengthOnAndCarriesBothChecksums) {
  const Frame f = BuildFrame(0x03, {}, true, 123456);
  EXPECT_EQ(f[0], 0xFF);
  EXPECT_EQ(f[1], 0x55);
  for (int i = 9; i <= 61; ++i)
    EXPECT_EQ(f[i], 0) << "byte " << i;
  EXPECT_EQ(f[8], 0x03);
  EXPECT_EQ(f[62], SumOf(f, 8, 61));
  EXPECT_EQ(f[63], SumOf(f, 0, 61));
  EXPECT_TRUE(IsValidFrame(f));
}

TEST(Frame, TickFieldsAndReplyBit) {
  // t = 123456 ms.
  const Frame asks = BuildFrame(0x0A, {}, true, 123456);
  EXPECT_EQ(asks[2], 123);                  // t / 1000
  EXPECT_EQ(asks[3], 456 % 256);            // (t mod 1000) mod 256
  EXPECT_EQ(asks[4], 0x80 | (4115 % 128));  // reply bit, (t / 30) mod 128
  EXPECT_EQ(asks[5], 1234 % 256);           // t / 100
  EXPECT_EQ(asks[6], 56);                   // t mod 100
  EXPECT_EQ(asks[7], 1543 % 256);           // t / 80
  const Frame tells = BuildFrame(0x1A, {}, false, 123456);
  EXPECT_EQ(tells[4], 4115 % 128);
}

TEST(Frame, PayloadAndLengthAreCopiedAndLongPayloadsCut) {
  std::vector<uint8_t> payload(60);
  std::iota(payload.begin(), payload.end(), 1);
  const Frame f = BuildFrame(0x09, payload, false, 0);
  EXPECT_EQ(f[9], 52);
  for (int i = 0; i < 52; ++i)
    EXPECT_EQ(f[10 + i], i + 1);
  EXPECT_TRUE(IsValidFrame(f));
}

TEST(Frame, DataChecksumWrapsToZeroAt256) {
  Frame f{};
  f[0] = 0xFF;
  f[1] = 0x55;
  f[8] = 0x80;
  f[10] = 0x80;  // bytes 8..61 sum to 256
  SealFrame(f);
  EXPECT_EQ(f[62], 0);
  EXPECT_EQ(f[63], static_cast<uint8_t>(0xFF + 0x55 + 0x80 + 0x80));
  EXPECT_TRUE(IsValidFrame(f));
}

TEST(Frame, RejectsBadStartBytesAndEitherChecksum) {
  const Frame good = BuildFrame(0x02, {}, false, 999);
  Frame wrongTotal = good;
  wrongTotal[63] ^= 1;  // byte 62 still right
  EXPECT_FALSE(IsValidFrame(wrongTotal));
  Frame wrongData = good;
  wrongData[62] ^= 1;
  EXPECT_FALSE(IsValidFrame(wrongData));
  Frame wrongStart = good;
  wrongStart[1] = 0x56;
  SealFrame(wrongStart);
  EXPECT_FALSE(IsValidFrame(wrongStart));
  Frame changedPayload = good;
  changedPayload[20] = 7;
  EXPECT_FALSE(IsValidFrame(changedPayload));
}

}  // namespace
}  // namespace vireo
