#include "meter/meter_link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "base/errno_error.h"
#include "meter/meter_devices.h"
#include "meter/product_constants.h"
#include "meter/tick.h"

namespace vireo {

namespace {

constexpr uint32_t kFlashBlockChunk = 4000;  // bytes per ReadFlashLong request
constexpr uint32_t kWriteChunk = 40;         // data bytes per WriteFlash request
constexpr int kScreenLineHeight = 12;
constexpr int kScreenLines = 33;
constexpr size_t kScreenTextMax = 38;
constexpr size_t kScreenTextField = 47;

// The refusal that an open failure of this kind stands for.
OpenRefusal RefusalOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kPermission:
      return OpenRefusal::kPermission;
    case ErrorKind::kNoDevice:
    case ErrorKind::kUnplugged:
      return OpenRefusal::kNoDevice;
    default:
      return OpenRefusal::kBusy;
  }
}

// Of several meters that would not open, the refusal that is told: lack of permission first
// (the user can mend it), then one held by another program, then one that left.
int Weight(OpenRefusal why) {
  return why == OpenRefusal::kPermission ? 2 : why == OpenRefusal::kBusy ? 1 : 0;
}

// Why hidlink could not open `path`, as it recorded it for this thread.
Error LastOpenFailure(const char* path) {
  char text[512];
  const int code = QelHidGetLastError(HIDLINK_INVALID_HANDLE, text, sizeof text);
  if (code == 0 || text[0] == '\0')
    return {ErrorKind::kIo, std::string(path) + " could not be opened"};
  return {ErrorKindOfErrno(code), text};
}

}  // namespace

void MeterLink::Configure() {
  vendorId = kMeterVendorId;
  productId = kMeterProductId;
  appStart = kAppStart;
  identityPage = kIdentityPage;
  eraseStep = kEraseStep;
  appSize = kAppSize;
  productIdentifier = kProductIdentifier;
}

bool MeterLink::Matches(const HidDeviceInfo& device) const {
  return device.VendorID == vendorId && device.ProductID == productId &&
         (!matchVersion || device.VersionNumber == versionNumber) &&
         (boundPath_.empty() || boundPath_ == device.DevicePath);
}

bool MeterLink::IsPresent() {
  DeviceScan scan;
  for (const HidDeviceInfo* d = scan.first(); d; d = d->Next) {
    if (Matches(*d))
      return true;
  }
  return false;
}

bool MeterLink::Open() {
  const auto giveUp = std::chrono::steady_clock::now() + busyPatience_;
  while (!TryOpen()) {
    if (boundPath_.empty() || lastOpenError_.kind != ErrorKind::kBusy ||
        std::chrono::steady_clock::now() >= giveUp)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool MeterLink::TryOpen() {
  DeviceScan scan;
  std::optional<Error> refused;
  // With several meters attached, the first one that opens is kept and no other is opened.
  for (const HidDeviceInfo* d = scan.first(); d; d = d->Next) {
    if (!Matches(*d))
      continue;
    const QelHidHandle h = QelHidOpen(d);
    if (h != HIDLINK_INVALID_HANDLE) {
      Close();
      handle = h;
      lastOpenRefusal_ = OpenRefusal::kNone;
      lastOpenError_ = {};
      return true;
    }
    Error why = LastOpenFailure(d->DevicePath);
    if (!refused || Weight(RefusalOf(why.kind)) > Weight(RefusalOf(refused->kind)))
      refused = std::move(why);
  }
  if (refused) {
    lastOpenError_ = std::move(*refused);
  } else {
    lastOpenError_ = {ErrorKind::kNoDevice, boundPath_.empty()
                                                ? "no meter is connected"
                                                : "no meter is connected at " + boundPath_};
  }
  lastOpenRefusal_ = RefusalOf(lastOpenError_.kind);
  return false;
}

void MeterLink::Close() {
  QelHidClose(handle);
  handle = HIDLINK_INVALID_HANDLE;
}

uint32_t MeterLink::WriteReport(const uint8_t* buffer, uint32_t timeoutMs) {
  uint32_t count = 0;
  QelHidWrite(handle, buffer, kReportBytes, &count, timeoutMs);
  return count;
}

uint32_t MeterLink::ReadReport(uint8_t* buffer, uint32_t timeoutMs) {
  uint32_t count = 0;
  QelHidRead(handle, buffer, kReportBytes, &count, timeoutMs);
  lastReadCount_ = count;
  return count;
}

bool MeterLink::WriteRequest(uint8_t command, std::span<const uint8_t> payload, bool wantsReply) {
  const Frame request = BuildFrame(command, payload, wantsReply, GetTickCount());
  if (WriteReport(request.data(), kWriteTimeoutMs) == kReportBytes)
    return true;
  NoteTransferFailure();
  return false;
}

void MeterLink::NoteTransferFailure() {
  switch (QelHidGetLastError(handle, nullptr, 0)) {
    case ETIMEDOUT:
      Note(MeterFault::kNoAnswer);
      break;
    case EMSGSIZE:
      Note(MeterFault::kBadReply);
      break;
    default:  // gone, hung up, closed, or an error of the device itself
      Note(MeterFault::kUnplugged);
      break;
  }
}

void MeterLink::ReadReply(ExchangeReplies& replies) {
  // Live-data frames left over from a stream are skipped, but only within the reply's own
  // time-out, so a meter that keeps streaming cannot hold the exchange up.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    // A time-out of 0 would wait without limit.
    Frame reply{};
    if (left.count() <= 0) {
      Note(MeterFault::kNoAnswer);
      replies.Missed();
      return;
    }
    if (ReadReport(reply.data(), static_cast<uint32_t>(left.count())) != kReportBytes) {
      NoteTransferFailure();
      replies.Missed();
      return;
    }
    switch (replies.Take(reply)) {
      case ReplyVerdict::kLeftoverLive:
        continue;
      case ReplyVerdict::kWrong:
        // A whole frame of the request's own code where an ack was due is the meter's "no".
        Note(replies.kind() == ExchangeKind::kAcknowledged && IsValidFrame(reply) &&
                     reply[kCommandOffset] == replies.command()
                 ? MeterFault::kDeclined
                 : MeterFault::kBadReply);
        return;
      case ReplyVerdict::kAwaited:
        return;
    }
  }
}

bool MeterLink::Exchange(ExchangeKind kind, uint8_t command, std::span<const uint8_t> payload,
                         std::span<uint8_t> destination) {
  lastFault_ = MeterFault::kNone;
  ExchangeReplies replies(kind, command, destination);
  if (!WriteRequest(command, payload, kind != ExchangeKind::kSend))
    return false;
  while (replies.Waiting()) {
    ReadReply(replies);
    // A meter that sent nothing for a whole time-out sends no more of this exchange: waiting
    // for the rest of a stream would only hold the failure up.
    if (lastReadCount_ == 0)
      break;
  }
  if (replies.Succeeded())
    return true;
  Note(MeterFault::kBadReply);  // an exchange refused at the outset (a read over one frame)
  return false;
}

bool MeterLink::Send(uint8_t command, std::span<const uint8_t> payload) {
  return Exchange(ExchangeKind::kSend, command, payload, {});
}

bool MeterLink::Acknowledged(uint8_t command, std::span<const uint8_t> payload) {
  return Exchange(ExchangeKind::kAcknowledged, command, payload, {});
}

bool MeterLink::SingleData(uint8_t command, std::span<const uint8_t> payload, uint8_t* destination,
                           uint32_t count) {
  // Asking for more than one frame holds is refused before anything is sent.
  if (count > kMaxPayload)
    return false;
  return Exchange(ExchangeKind::kSingleData, command, payload, std::span(destination, count));
}

bool MeterLink::DataStream(uint8_t command, std::span<const uint8_t> payload, uint8_t* destination,
                           uint32_t length) {
  return Exchange(ExchangeKind::kDataStream, command, payload, std::span(destination, length));
}

bool MeterLink::QueryUpgradeMode() {
  return Acknowledged(kQueryUpgradeMode);
}
bool MeterLink::BeginFlashUpdate() {
  return Acknowledged(kBeginFlashUpdate);
}
bool MeterLink::EndFlashUpdate() {
  return Acknowledged(kEndFlashUpdate);
}
bool MeterLink::ClearScreen() {
  return Acknowledged(kClearScreen);
}
bool MeterLink::UpgradeComplete() {
  return Acknowledged(kUpgradeComplete);
}

bool MeterLink::ErasePage(uint32_t address) {
  uint8_t payload[4];
  PutU32(payload, address);
  return Send(kErasePage, payload);
}

bool MeterLink::ShowText(int line, std::string_view text) {
  if (line < 0 || line >= kScreenLines)
    return false;
  // The meter's screen takes single-byte characters: the first 38 characters of the UTF-8
  // text, each outside ASCII shown as "?".
  std::string screenText;
  for (size_t i = 0; i < text.size() && screenText.size() < kScreenTextMax; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      screenText += static_cast<char>(c);
    } else if ((c & 0xC0) != 0x80) {
      screenText += '?';
    }
  }
  uint8_t payload[kMaxPayload] = {};
  PutU16(payload, 0);
  PutU16(payload + 2, static_cast<uint16_t>(kScreenLineHeight * line));
  payload[4] = static_cast<uint8_t>(screenText.size());
  static_assert(5 + kScreenTextField == kMaxPayload);
  std::memcpy(payload + 5, screenText.data(), screenText.size());
  return Acknowledged(kShowText, payload);
}

bool MeterLink::ReadFlash(uint32_t address, uint8_t* destination, uint32_t count) {
  uint8_t payload[5];
  PutU32(payload, address);
  payload[4] = static_cast<uint8_t>(count);
  return SingleData(kReadFlash, payload, destination, count);
}

bool MeterLink::ReadRecordMemory(uint32_t address, uint8_t* destination, uint32_t count) {
  uint8_t payload[5];
  PutU32(payload, address);
  payload[4] = static_cast<uint8_t>(count);
  return SingleData(kReadRecordMemory, payload, destination, count);
}

bool MeterLink::ReadFlashBlock(uint32_t address, uint8_t* destination, uint32_t length) {
  for (uint32_t done = 0; done < length;) {
    const uint32_t n = std::min(kFlashBlockChunk, length - done);
    uint8_t payload[6];
    PutU32(payload, address + done);
    PutU16(payload + 4, static_cast<uint16_t>(n));
    if (!DataStream(kReadFlashLong, payload, destination + done, n))
      return false;
    done += n;
  }
  return true;
}

bool MeterLink::WriteFlashBlock(uint32_t address, const uint8_t* source, uint32_t length) {
  for (uint32_t done = 0; done < length;) {
    const uint32_t n = std::min(kWriteChunk, length - done);
    uint8_t payload[5 + kWriteChunk];
    PutU32(payload, address + done);
    payload[4] = static_cast<uint8_t>(n);
    std::memcpy(payload + 5, source + done, n);
    if (!Send(kWriteFlash, std::span(payload, 5 + n)))
      return false;
    done += n;
  }
  return true;
}

bool MeterLink::RequestReadings() {
  const uint8_t payload[1] = {kLiveBurstFrames};
  return Send(kStreamReadings, payload);
}

bool MeterLink::ReceiveReadings(ReadingsRecord& record, bool* arrived) {
  Frame frame{};
  const bool gotReport = ReadReport(frame.data(), kLiveFrameTimeoutMs) == kReportBytes;
  if (arrived)
    *arrived = gotReport;
  const LiveFrame live = ParseLiveReport(std::span(frame.data(), gotReport ? frame.size() : 0));
  if (live.report != LiveReport::kReadings)
    return false;
  record = live.readings;
  return true;
}

}  // namespace vireo
