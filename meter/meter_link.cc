#include "meter/meter_link.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "meter/product_constants.h"
#include "meter/tick.h"

namespace vireo {

namespace {

constexpr uint32_t kReportSize = 64;
constexpr uint32_t kStreamChunk = 40;        // data bytes per ReadFlashLong reply frame
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
    lastOpenRefusal_ = OpenRefusal::kBusy;
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

bool MeterLink::ReadReply(uint8_t expectedCode, Frame& reply) {
  reply.fill(0);
  return ReadReport(reply.data(), kReplyTimeoutMs) == kReportSize && IsValidFrame(reply) &&
         reply[kCommandOffset] == expectedCode;
}

bool MeterLink::Send(uint8_t command, std::span<const uint8_t> payload) {
  return WriteRequest(command, payload, false);
}

bool MeterLink::Acknowledged(uint8_t command, std::span<const uint8_t> payload) {
  Frame reply;
  return WriteRequest(command, payload, true) && ReadReply(kAcknowledge, reply);
}

bool MeterLink::SingleData(uint8_t command, std::span<const uint8_t> payload, uint8_t* destination,
                           uint32_t count) {
  if (count > kMaxPayload)
    return false;
  Frame reply;
  if (!WriteRequest(command, payload, true) || !ReadReply(command, reply))
    return false;
  std::copy_n(reply.begin() + kPayloadOffset, count, destination);
  return true;
}

bool MeterLink::DataStream(uint8_t command, std::span<const uint8_t> payload, uint8_t* destination,
                           uint32_t length) {
  if (!WriteRequest(command, payload, true))
    return false;
  bool ok = true;
  const uint32_t frames = (length + kStreamChunk - 1) / kStreamChunk;
  for (uint32_t k = 0; k < frames; ++k) {
    // A bad frame fails the read, but the rest are still read to stay in step with the meter.
    Frame reply;
    if (!ReadReply(command, reply)) {
      ok = false;
      // A meter that sent nothing for a whole time-out sends no more of this stream: waiting
      // for the rest would only hold up the failure.
      if (lastReadCount_ == 0)
        break;
      continue;
    }
    const uint32_t offset = k * kStreamChunk;
    std::copy_n(reply.begin() + kPayloadOffset, std::min(kStreamChunk, length - offset),
                destination + offset);
  }
  return ok;
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
  if (!gotReport || !IsValidFrame(frame) || frame[kCommandOffset] != kStreamReadings) {
    return false;
  }
  record = ReadingsRecord::FromBytes(frame.data() + kPayloadOffset);
  return true;
}

}  // namespace vireo
