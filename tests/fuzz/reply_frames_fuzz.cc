// Reply frames fed from bytes: the frame check, the verdict on a reply, the readings of a live
// frame, and the four exchange kinds taking a sequence of received reports.
//
// Input: byte 0 picks the exchange kind (of four), byte 1 is the request's command code,
// bytes 2 and 3 the little-endian length asked for (single data and data stream); the rest are
// received reports of 64 bytes each, a shorter tail being a short report. When the reports run
// out while a reply is still due, it counts as missed.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "meter/exchange_replies.h"
#include "meter/frame.h"

namespace {

constexpr size_t kHeader = 4;
constexpr size_t kReport = vireo::kReportBytes;
constexpr uint32_t kMaxStreamLength = 4000;  // one ReadFlashLong request

void Check(bool condition) {
  if (!condition)
    __builtin_trap();
}

void JudgeAlone(std::span<const uint8_t> report, uint8_t code) {
  using vireo::ReplyVerdict;
  bool valid = false;
  if (report.size() == kReport) {
    vireo::Frame frame;
    std::memcpy(frame.data(), report.data(), kReport);
    valid = vireo::IsValidFrame(frame);
  }
  const ReplyVerdict verdict = vireo::JudgeReply(report, code);
  Check(verdict != ReplyVerdict::kAwaited || (valid && report[8] == code));
  Check(verdict != ReplyVerdict::kLeftoverLive || (valid && report[8] == 26 && code != 26));
  Check((vireo::ParseLiveReport(report).report == vireo::LiveReport::kReadings) ==
        (valid && report[8] == 26));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader)
    return 0;
  const auto kind = static_cast<vireo::ExchangeKind>(data[0] % 4);
  const uint8_t command = data[1];
  uint32_t length = uint32_t{data[2]} | uint32_t{data[3]} << 8;
  if (kind == vireo::ExchangeKind::kDataStream)
    length %= kMaxStreamLength + 1;
  else if (kind == vireo::ExchangeKind::kSingleData)
    length %= 64;  // past 52 too, which must fail without waiting
  else
    length = 0;

  // Guard bytes after the destination catch a copy past its end, sanitizer or not.
  std::vector<uint8_t> destination(length + 8, 0xA5);
  vireo::ExchangeReplies replies(kind, command, std::span(destination).first(length));
  const std::span<const uint8_t> reports(data + kHeader, size - kHeader);
  size_t offset = 0;
  while (replies.Waiting()) {
    if (offset >= reports.size()) {
      replies.Missed();
      continue;
    }
    const auto report = reports.subspan(offset, std::min(kReport, reports.size() - offset));
    offset += report.size();
    JudgeAlone(report, command);
    const vireo::ReplyVerdict verdict = replies.Take(report);
    if (kind == vireo::ExchangeKind::kSingleData && verdict == vireo::ReplyVerdict::kAwaited)
      Check(std::memcmp(destination.data(), report.data() + 10, length) == 0);
  }
  for (size_t i = length; i < destination.size(); ++i)
    Check(destination[i] == 0xA5);
  if (replies.Succeeded())
    Check(kind != vireo::ExchangeKind::kSingleData || length <= 52);
  return 0;
}
