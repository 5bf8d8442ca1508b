// MeterLink: the one connection to the meter. Finds and opens it through hidlink, moves
// 64-byte reports, and runs the meter's commands as exchanges of frames.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/result.h"
#include "hidlink/hidlink.h"
#include "meter/exchange_replies.h"
#include "meter/firmware_image.h"
#include "meter/frame.h"
#include "meter/readings_record.h"

namespace vireo {

inline constexpr uint16_t kMeterVendorId = 0x0716;
inline constexpr uint16_t kMeterProductId = 0x5027;
inline constexpr uint32_t kAppStart = 0x08003400;
inline constexpr uint32_t kIdentityPage = 0x08003000;
inline constexpr uint32_t kIdentityOffset = 220;
inline constexpr uint32_t kIdentitySize = 36;
inline constexpr uint32_t kVersionAddress = 0x08003C00;
inline constexpr uint32_t kAppSize = 51200;
inline constexpr uint32_t kEraseStep = 1024;
inline constexpr uint32_t kWriteTimeoutMs = 1000;
inline constexpr uint32_t kReplyTimeoutMs = 1000;
inline constexpr uint32_t kLiveFrameTimeoutMs = 100;
inline constexpr uint8_t kLiveBurstFrames = 50;

// Why the last Open() failed: no meter listed (or it left before it could be opened), the
// system refused this user access to its device node, or another program holds it (or it did
// not answer the open).
enum class OpenRefusal { kNone, kNoDevice, kPermission, kBusy };

// Why the last command or firmware step failed, as far as the host can tell.
enum class MeterFault {
  kNone,
  kUnplugged,     // the meter left (or its device failed) during the exchange
  kNoAnswer,      // a reply did not come within its time-out
  kBadReply,      // a reply was short, corrupt, or carried another command
  kDeclined,      // a whole, valid reply of the request's own code where an ack was due: "no"
  kImageChanged,  // the image file no longer reads or no longer passes the check
  kMismatch,      // the flash read back differs from the image
  kStopped,       // the stop flag was raised between two blocks
};

// Told the percentage of a long operation done, 0..100.
using ProgressCallback = std::function<void(int)>;

class MeterLink {
 public:
  MeterLink() = default;
  ~MeterLink() { Close(); }
  MeterLink(const MeterLink&) = delete;
  MeterLink& operator=(const MeterLink&) = delete;

  // Sets the meter's identifiers, flash layout and product identifier, as start-up does.
  void Configure();

  // Binds the link to the meter at `path`, a device path as ListMeters gives it: IsPresent is
  // then true only while that device is listed as a meter, and Open opens it and no other.
  // Empty, the default: the first meter that opens. Takes effect at the next IsPresent or Open.
  void BindToPath(std::string path) { boundPath_ = std::move(path); }
  const std::string& boundPath() const { return boundPath_; }
  // How long Open() keeps trying a bound meter that another program holds: another command
  // may be reading its identity for a moment to find its own meter. 0, the default, tries once.
  void SetBusyPatience(std::chrono::milliseconds patience) { busyPatience_ = patience; }

  // The link: every meter operation runs Close, IsPresent, Open, the exchange, Close.
  bool IsPresent();
  bool Open();
  void Close();
  bool IsOpen() const { return handle != HIDLINK_INVALID_HANDLE; }
  // The cause of the last failed Open(); kNone after a successful one.
  OpenRefusal lastOpenRefusal() const { return lastOpenRefusal_; }
  // The same cause as a kind and a sentence for the user ("permission denied on /dev/hidraw3");
  // an empty sentence after a successful Open().
  Error lastOpenError() const { return lastOpenError_; }
  uint32_t WriteReport(const uint8_t* buffer, uint32_t timeoutMs);
  uint32_t ReadReport(uint8_t* buffer, uint32_t timeoutMs);

  // Why the last command or firmware operation failed; kNone after one that succeeded.
  MeterFault lastFault() const { return lastFault_; }
  // When set, the erase, write and verification stop between two blocks once *stop is true,
  // with kStopped. The flag must outlive its use.
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

  // Commands; each returns true on success as its exchange kind defines it.
  bool QueryUpgradeMode();
  bool BeginFlashUpdate();
  bool EndFlashUpdate();
  bool ErasePage(uint32_t address);
  bool ClearScreen();
  bool UpgradeComplete();
  bool ShowText(int line, std::string_view text);
  bool ReadFlash(uint32_t address, uint8_t* destination, uint32_t count);
  bool ReadRecordMemory(uint32_t address, uint8_t* destination, uint32_t count);
  bool ReadFlashBlock(uint32_t address, uint8_t* destination, uint32_t length);
  bool WriteFlashBlock(uint32_t address, const uint8_t* source, uint32_t length);
  bool RequestReadings();
  // arrived, when given, tells whether any report came in, valid or not.
  bool ReceiveReadings(ReadingsRecord& record, bool* arrived = nullptr);

  // The firmware transfer, run in this order while the meter is in upgrade mode. Each reads
  // the image file anew; write and verify refuse a file that no longer passes the check, and
  // patch `logo` into it when one is given. Each reports 0 first, and 100 last when it
  // succeeds; a failure leaves the progress where it stopped and lastFault() says why.
  ImageCheck CheckImage(const std::string& path) const;
  bool EraseApplication(const ProgressCallback& progress);
  bool WriteApplication(const std::string& path, const LogoPatchBytes* logo,
                        const ProgressCallback& progress);
  bool VerifyApplication(const std::string& path, const LogoPatchBytes* logo,
                         const ProgressCallback& progress);

  // Fields in the design's order.
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t versionNumber = 0;
  QelHidHandle handle = HIDLINK_INVALID_HANDLE;
  uint32_t matchVersion = 0;
  std::array<uint8_t, 16> productIdentifier{};
  uint32_t appStart = 0;
  uint32_t identityPage = 0;
  uint32_t appSize = 0;
  uint32_t eraseStep = 0;

 private:
  bool Matches(const HidDeviceInfo& device) const;
  bool Send(uint8_t command, std::span<const uint8_t> payload);
  bool Acknowledged(uint8_t command, std::span<const uint8_t> payload = {});
  bool SingleData(uint8_t command, std::span<const uint8_t> payload, uint8_t* destination,
                  uint32_t count);
  bool DataStream(uint8_t command, std::span<const uint8_t> payload, uint8_t* destination,
                  uint32_t length);
  bool WriteRequest(uint8_t command, std::span<const uint8_t> payload, bool wantsReply);
  // Writes the request and reads the replies its kind waits for.
  bool Exchange(ExchangeKind kind, uint8_t command, std::span<const uint8_t> payload,
                std::span<uint8_t> destination);
  // Reads the reply that is due, skipping left-over live frames within the reply time-out.
  void ReadReply(ExchangeReplies& replies);
  // The image for writing or verifying: checked, and patched with the logo when given.
  std::optional<std::vector<uint8_t>> LoadImageForTransfer(const std::string& path,
                                                           const LogoPatchBytes* logo) const;

  bool TryOpen();
  // Records the cause of a failed transfer from hidlink's last error on the handle.
  void NoteTransferFailure();
  // Records `fault` unless an earlier one of the same command is recorded.
  void Note(MeterFault fault) {
    if (lastFault_ == MeterFault::kNone)
      lastFault_ = fault;
  }
  // Sends EndFlashUpdate; true when it is acknowledged. Keeps the fault of the step it closes.
  bool CloseBracket();
  // Runs step(offset, size) over `length` bytes in blocks, reporting the share done after each
  // block; stops at the first block that fails or when the stop flag is raised.
  bool EachBlock(uint32_t length, uint32_t block, const ProgressCallback& progress,
                 const std::function<bool(uint32_t, uint32_t)>& step);

  std::string boundPath_;
  std::chrono::milliseconds busyPatience_{0};
  OpenRefusal lastOpenRefusal_ = OpenRefusal::kNone;
  Error lastOpenError_;
  uint32_t lastReadCount_ = 0;  // bytes the last ReadReport got
  MeterFault lastFault_ = MeterFault::kNone;
  const std::atomic<bool>* stop_ = nullptr;
};

}  // namespace vireo
