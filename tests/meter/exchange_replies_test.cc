// The reply checks of the four exchange kinds, fed with bytes.
#include "meter/exchange_replies.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "support/frame_bytes.h"

namespace vireo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Reply(uint8_t code, const Bytes& data = {}) {
  const testing::FrameBytes frame = testing::MeterFrame(code, data);
  return Bytes(frame.begin(), frame.end());
}

Bytes Counting(uint8_t first, size_t size) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

Bytes Corrupt(Bytes frame) {
  frame[63] ^= 0x01;  // byte 62 still right
  return frame;
}

Bytes Shortened(Bytes frame) {
  frame.pop_back();
  return frame;
}

struct Judged {
  const char* name;
  Bytes report;
  uint8_t awaited;
  ReplyVerdict verdict;
};

void PrintTo(const Judged& j, std::ostream* os) {
  *os << j.name;
}

class JudgeReplyTest : public ::testing::TestWithParam<Judged> {};

TEST_P(JudgeReplyTest, TellsTheAwaitedReplyALeftoverLiveFrameAndAFailure) {
  EXPECT_EQ(JudgeReply(GetParam().report, GetParam().awaited), GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, JudgeReplyTest,
    ::testing::Values(Judged{"Ack", Reply(2), 2, ReplyVerdict::kAwaited},
                      Judged{"Data", Reply(10, {0x15}), 10, ReplyVerdict::kAwaited},
                      Judged{"LiveWhileWaitingForData", Reply(26, Counting(1, 44)), 10,
                             ReplyVerdict::kLeftoverLive},
                      Judged{"LiveWhileWaitingForAck", Reply(26, Counting(1, 44)), 2,
                             ReplyVerdict::kLeftoverLive},
                      Judged{"OtherCode", Reply(3), 2, ReplyVerdict::kWrong},
                      Judged{"DataOfAnotherCommand", Reply(11, {1}), 10, ReplyVerdict::kWrong},
                      Judged{"CorruptAwaited", Corrupt(Reply(2)), 2, ReplyVerdict::kWrong},
                      Judged{"CorruptLive", Corrupt(Reply(26)), 2, ReplyVerdict::kWrong},
                      Judged{"Short", Shortened(Reply(2)), 2, ReplyVerdict::kWrong},
                      Judged{"Empty", Bytes{}, 2, ReplyVerdict::kWrong}),
    [](const ::testing::TestParamInfo<Judged>& p) { return std::string(p.param.name); });

TEST(ExchangeRepliesTest, SendWaitsForNothing) {
  const ExchangeReplies replies(ExchangeKind::kSend, 8);
  EXPECT_FALSE(replies.Waiting());
  EXPECT_TRUE(replies.Succeeded());
}

TEST(ExchangeRepliesTest, AcknowledgedSkipsLiveFramesUntilTheAck) {
  ExchangeReplies replies(ExchangeKind::kAcknowledged, 5);
  EXPECT_EQ(replies.Take(Reply(26)), ReplyVerdict::kLeftoverLive);
  EXPECT_TRUE(replies.Waiting());
  EXPECT_EQ(replies.Take(Reply(2)), ReplyVerdict::kAwaited);
  EXPECT_FALSE(replies.Waiting());
  EXPECT_TRUE(replies.Succeeded());
}

TEST(ExchangeRepliesTest, AcknowledgedFailsOnTheCommandsOwnCodeOrNoReply) {
  ExchangeReplies wrong(ExchangeKind::kAcknowledged, 3);
  EXPECT_EQ(wrong.Take(Reply(3)), ReplyVerdict::kWrong);
  EXPECT_FALSE(wrong.Waiting());
  EXPECT_FALSE(wrong.Succeeded());

  ExchangeReplies silent(ExchangeKind::kAcknowledged, 3);
  silent.Missed();
  EXPECT_FALSE(silent.Waiting());
  EXPECT_FALSE(silent.Succeeded());
}

TEST(ExchangeRepliesTest, SingleDataCopiesTheBytesAskedForAndNoMore) {
  Bytes destination(8, 0xEE);
  ExchangeReplies replies(ExchangeKind::kSingleData, 25, std::span(destination).first(5));
  EXPECT_EQ(replies.Take(Reply(25, Counting(0x40, 52))), ReplyVerdict::kAwaited);
  EXPECT_TRUE(replies.Succeeded());
  EXPECT_EQ(destination, (Bytes{0x40, 0x41, 0x42, 0x43, 0x44, 0xEE, 0xEE, 0xEE}));
}

TEST(ExchangeRepliesTest, SingleDataOfMoreThanOneFrameFailsWithoutWaiting) {
  Bytes destination(53);
  const ExchangeReplies replies(ExchangeKind::kSingleData, 10, destination);
  EXPECT_FALSE(replies.Waiting());
  EXPECT_FALSE(replies.Succeeded());
}

TEST(ExchangeRepliesTest, ACorruptReplyCopiesNothing) {
  Bytes destination(4, 0xEE);
  ExchangeReplies replies(ExchangeKind::kSingleData, 10, destination);
  EXPECT_EQ(replies.Take(Corrupt(Reply(10, Counting(1, 4)))), ReplyVerdict::kWrong);
  EXPECT_EQ(destination, Bytes(4, 0xEE));
  EXPECT_FALSE(replies.Succeeded());
}

// 1024 bytes come in 26 frames: 25 of 40 bytes and one of 24.
TEST(ExchangeRepliesTest, DataStreamAssemblesFortyBytesPerFrame) {
  Bytes destination(1024 + 16, 0xEE);
  ExchangeReplies replies(ExchangeKind::kDataStream, 11, std::span(destination).first(1024));
  int frames = 0;
  while (replies.Waiting()) {
    if (frames == 7) {
      EXPECT_EQ(replies.Take(Reply(26)), ReplyVerdict::kLeftoverLive);
    }
    EXPECT_EQ(replies.Take(Reply(11, Counting(static_cast<uint8_t>(frames), 40))),
              ReplyVerdict::kAwaited);
    ++frames;
  }
  EXPECT_EQ(frames, 26);
  EXPECT_TRUE(replies.Succeeded());
  EXPECT_EQ(destination[0], 0);
  EXPECT_EQ(destination[39], 39);
  EXPECT_EQ(destination[40], 1);
  EXPECT_EQ(destination[1023], 25 + 23);
  EXPECT_EQ(destination[1024], 0xEE);
}

TEST(ExchangeRepliesTest, ABadStreamFrameFailsTheReadButTheLaterFramesAreStillTaken) {
  Bytes destination(120, 0xEE);
  ExchangeReplies replies(ExchangeKind::kDataStream, 11, destination);
  EXPECT_EQ(replies.Take(Reply(11, Counting(1, 40))), ReplyVerdict::kAwaited);
  EXPECT_EQ(replies.Take(Corrupt(Reply(11, Counting(41, 40)))), ReplyVerdict::kWrong);
  EXPECT_TRUE(replies.Waiting());
  EXPECT_EQ(replies.Take(Reply(11, Counting(81, 40))), ReplyVerdict::kAwaited);
  EXPECT_FALSE(replies.Waiting());
  EXPECT_FALSE(replies.Succeeded());
  EXPECT_EQ(destination[40], 0xEE);  // the bad frame supplied nothing
  EXPECT_EQ(destination[80], 81);

  ExchangeReplies missing(ExchangeKind::kDataStream, 11, destination);
  missing.Missed();
  EXPECT_TRUE(missing.Waiting());
}

TEST(ParseLiveReportTest, SortsEveryReportAndDecodesOnlyAValidLiveFrame) {
  Bytes data(44, 0);
  const float volts = 5.125f;
  std::memcpy(data.data(), &volts, 4);  // the first of eleven little-endian floats
  const LiveFrame live = ParseLiveReport(Reply(26, data));
  ASSERT_EQ(live.report, LiveReport::kReadings);
  EXPECT_EQ(live.readings.voltage, 5.125f);
  EXPECT_EQ(ParseLiveReport({}).report, LiveReport::kNothing);
  EXPECT_EQ(ParseLiveReport(Bytes(63, 0)).report, LiveReport::kBadLength);
  EXPECT_EQ(ParseLiveReport(Corrupt(Reply(26, data))).report, LiveReport::kBadFrame);
  EXPECT_EQ(ParseLiveReport(Reply(10, data)).report, LiveReport::kWrongCode);
}

}  // namespace
}  // namespace vireo
