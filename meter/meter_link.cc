#include "meter/meter_link.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "meter/product_constants.h"
#include "meter/tick.h"

namespace vireo {

namespace {

constexpr uint32_t kReportSize = 64;
constexpr uint32_t kFlashBlockChunk = 4000;  // bytes per ReadFlashLong request
constexpr uint32_t kWriteChunk = 40;         // data bytes per WriteFlash request
constexpr int kScreenLineHeight = 12;
constexpr int kScreenLines = 33;
constexpr size_t kScreenTextMax = 38;
constexpr size_t kScreenTextField = 47;

// Walks the devices of a fresh scan; the records are freed when this goes out of scope.
class DeviceScan {
 public:
  DeviceScan() {
    uint32_t count = 0;
    QelHidScanDevices(&count);
  }
  ~DeviceScan() { QelHidFreeDevicesInfo(); }
  DeviceScan(const DeviceScan&) = delete;
  DeviceScan& operator=(const DeviceScan&) = delete;
  const HidDeviceInfo* first() const { return QelHidGetDevices(); }
};

// Why hidlink could not open a device it listed. Its interface has no error codes, so the
// device's node (or socket) is asked whether this user may read and write it: if not, it is
// permission; if it is gone, the device left; else another program holds it.
OpenRefusal RefusalOf(const char* path) {
  if (::faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) == 0)
    return OpenRefusal::kBusy;
  switch (errno) {
    case EACCES:
    case EPERM:
    case EROFS:
      return OpenRefusal::kPermission;
    case ENOENT:
    case ENOTDIR:
      return OpenRefusal::kNoDevice;
    default:
      return OpenRefusal::kBusy;
  }
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
         (!matchVersion || device.VersionNumber == versionNumber);
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
  DeviceScan scan;
  lastOpenRefusal_ = OpenRefusal::kNoDevice;
  // With several meters attached, the first one that opens is kept and no other is opened.
  for (const HidDeviceInfo* d = scan.first(); d; d = d->Next) {
    if (!Matches(*d))
      continue;
    const QelHidHandle h = QelHidOpen(d);
    if (h != HIDLINK_INVALID_HANDLE) {
      Close();
      handle = h;
      lastOpenRefusal_ = OpenRefusal::kNone;
      return true;
    }
    // Of several meters, a refusal for lack of permission is told first (the user can mend
    // it), then one held by another program.
    const OpenRefusal why = RefusalOf(d->DevicePath);
    if (why == OpenRefusal::kPermission ||
        (why == OpenRefusal::kBusy && lastOpenRefusal_ == OpenRefusal::kNoDevice))
      lastOpenRefusal_ = why;
  }
  return false;
}

void MeterLink::Close() {
  QelHidClose(handle);
  handle = HIDLINK_INVALID_HANDLE;
}

uint32_t MeterLink::WriteReport(const uint8_t* buffer, uint32_t timeoutMs) {
  uint32_t count = 0;
  QelHidWrite(handle, buffer, kReportSize, &count, timeoutMs);
  return count;
}

uint32_t MeterLink::ReadReport(uint8_t* buffer, uint32_t timeoutMs) {
  uint32_t count = 0;
  QelHidRead(handle, buffer, kReportSize, &count, timeoutMs);
  lastReadCount_ = count;
  return count;
}

bool MeterLink::WriteRequest(uint8_t command, std::span<const uint8_t> payload, bool wantsReply) {
  const Frame request = BuildFrame(command, payload, wantsReply, GetTickCount());
  return WriteReport(request.data(), kWriteTimeoutMs) == kReportSize;
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
    if (left.count() <= 0 ||
        ReadReport(reply.data(), static_cast<uint32_t>(left.count())) != kReportSize) {
      replies.Missed();
      return;
    }
    if (replies.Take(reply) != ReplyVerdict::kLeftoverLive)
      return;
  }
}

bool MeterLink::Exchange(ExchangeKind kind, uint8_t command, std::span<const uint8_t> payload,
                         std::span<uint8_t> destination) {
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
  return replies.Succeeded();
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
  const bool gotReport = ReadReport(frame.data(), kLiveFrameTimeoutMs) == kReportSize;
  if (arrived)
    *arrived = gotReport;
  const LiveFrame live = ParseLiveReport(std::span(frame.data(), gotReport ? frame.size() : 0));
  if (live.report != LiveReport::kReadings)
    return false;
  record = live.readings;
  return true;
}

}  // namespace vireo
