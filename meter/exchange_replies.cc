#include "meter/exchange_replies.h"

#include <algorithm>
#include <cstring>

namespace vireo {

namespace {

// The report as a frame, if it is a whole one whose start bytes and checksums hold.
std::optional<Frame> ValidFrame(std::span<const uint8_t> report) {
  Frame frame;
  if (report.size() != frame.size())
    return std::nullopt;
  std::copy(report.begin(), report.end(), frame.begin());
  if (!IsValidFrame(frame))
    return std::nullopt;
  return frame;
}

}  // namespace

ReplyVerdict JudgeReply(std::span<const uint8_t> report, uint8_t awaited) {
  const std::optional<Frame> frame = ValidFrame(report);
  if (!frame)
    return ReplyVerdict::kWrong;
  const uint8_t code = (*frame)[kCommandOffset];
  if (code == awaited)
    return ReplyVerdict::kAwaited;
  return code == kStreamReadings ? ReplyVerdict::kLeftoverLive : ReplyVerdict::kWrong;
}

LiveFrame ParseLiveReport(std::span<const uint8_t> report) {
  if (report.empty())
    return {};
  if (report.size() != Frame{}.size())
    return {LiveReport::kBadLength, {}};
  const std::optional<Frame> frame = ValidFrame(report);
  if (!frame)
    return {LiveReport::kBadFrame, {}};
  if ((*frame)[kCommandOffset] != kStreamReadings)
    return {LiveReport::kWrongCode, {}};
  return {LiveReport::kReadings, ReadingsRecord::FromBytes(frame->data() + kPayloadOffset)};
}

ExchangeReplies::ExchangeReplies(ExchangeKind kind, uint8_t command, std::span<uint8_t> destination)
    : kind_(kind),
      command_(command),
      awaited_(kind == ExchangeKind::kAcknowledged ? uint8_t{kAcknowledge} : command),
      destination_(destination) {
  switch (kind) {
    case ExchangeKind::kSend:
      break;
    case ExchangeKind::kAcknowledged:
      due_ = 1;
      break;
    case ExchangeKind::kSingleData:
      // A reply carries at most 52 data bytes.
      if (destination.size() > kMaxPayload)
        ok_ = false;
      else
        due_ = 1;
      break;
    case ExchangeKind::kDataStream:
      due_ = static_cast<uint32_t>((destination.size() + kStreamChunk - 1) / kStreamChunk);
      break;
  }
}

ReplyVerdict ExchangeReplies::Take(std::span<const uint8_t> report) {
  if (!Waiting())
    return ReplyVerdict::kWrong;
  const ReplyVerdict verdict = JudgeReply(report, awaited_);
  if (verdict == ReplyVerdict::kLeftoverLive)
    return verdict;
  const bool good = verdict == ReplyVerdict::kAwaited;
  if (good) {
    const uint8_t* data = report.data() + kPayloadOffset;
    if (kind_ == ExchangeKind::kSingleData) {
      std::memcpy(destination_.data(), data, destination_.size());
    } else if (kind_ == ExchangeKind::kDataStream) {
      // Frame k supplies bytes 40k to 40k+39, the last one the remainder.
      const size_t offset = size_t{taken_} * kStreamChunk;
      std::memcpy(destination_.data() + offset, data,
                  std::min<size_t>(kStreamChunk, destination_.size() - offset));
    }
  }
  Next(good);
  return verdict;
}

void ExchangeReplies::Missed() {
  if (Waiting())
    Next(false);
}

void ExchangeReplies::Next(bool good) {
  ++taken_;
  --due_;
  if (!good) {
    ok_ = false;
    if (kind_ != ExchangeKind::kDataStream)
      due_ = 0;
  }
}

}  // namespace vireo
