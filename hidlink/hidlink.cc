// The exported functions: report settings, the device table of the last scan, the report
// loops, and the choice of backend per device.
#include "hidlink/hidlink.h"

#include <sys/eventfd.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/errno_error.h"
#include "hidlink/backend.h"
#include "hidlink/deadline.h"
#include "hidlink/handle_table.h"

namespace vireo::hidlink {
namespace {

constexpr size_t kMaxDevices = 256;
constexpr const char* kHidrawClassDir = "/sys/class/hidraw";
constexpr const char* kVirtualDirVariable = "HIDLINK_VIRTUAL_DIR";

constinit const HidrawBackend kHidraw;
constinit const VirtualBackend kVirtual;

// Settings for every transfer on every handle. Reads overwrite the input report ID, and reads
// and writes may run on different threads.
struct Settings {
  std::atomic<uint16_t> inputReportLength{64};
  std::atomic<uint16_t> outputReportLength{64};
  std::atomic<uint8_t> inputReportId{0};
  std::atomic<uint8_t> outputReportId{0};
};
constinit Settings settings;

struct FreeDeleter {
  void operator()(HidDeviceInfo* record) const { std::free(record); }
};
using RecordPtr = std::unique_ptr<HidDeviceInfo, FreeDeleter>;

// A record that ends with the path's NUL, as callers of the C interface expect.
RecordPtr NewRecord(const std::string& path, const DeviceIds& ids) {
  RecordPtr record(
      static_cast<HidDeviceInfo*>(std::malloc(sizeof(HidDeviceInfo) + path.size() + 1)));
  if (!record)
    return nullptr;
  record->VendorID = ids.vendorId;
  record->ProductID = ids.productId;
  record->VersionNumber = ids.versionNumber;
  record->Handle = HIDLINK_INVALID_HANDLE;
  record->Next = nullptr;
  std::memcpy(record->DevicePath, path.c_str(), path.size() + 1);
  return record;
}

// The records of the last scan, slot n-1 for the n-th device examined, plus those that
// QelHidInit let go of: a caller may still read them, so they live until the next scan or
// QelHidFreeDevicesInfo.
class DeviceTable {
 public:
  void Put(size_t slot, RecordPtr record) { slots_[slot] = std::move(record); }

  HidDeviceInfo* First() const {
    for (const RecordPtr& record : slots_) {
      if (record)
        return record.get();
    }
    return nullptr;
  }

  void Release() {
    for (RecordPtr& record : slots_) {
      if (record)
        released_.push_back(std::move(record));
    }
  }

  void FreeAll() {
    for (RecordPtr& record : slots_)
      record.reset();
    released_.clear();
  }

 private:
  std::array<RecordPtr, kMaxDevices> slots_;
  std::vector<RecordPtr> released_;
};
constinit DeviceTable table;

uint32_t Scan() {
  table.FreeAll();
  uint32_t examined = 0;
  HidDeviceInfo* last = nullptr;
  const auto take = [&](const std::vector<FoundDevice>& found) {
    for (const FoundDevice& device : found) {
      const size_t slot = examined++;
      if (!device.ids)
        continue;
      RecordPtr record = NewRecord(device.path, *device.ids);
      if (!record)
        continue;
      if (last)
        last->Next = record.get();
      last = record.get();
      table.Put(slot, std::move(record));
    }
  };
  take(kHidraw.Enumerate(kHidrawClassDir, kMaxDevices));
  if (const char* folder = std::getenv(kVirtualDirVariable); folder && *folder)
    take(kVirtual.Enumerate(folder, kMaxDevices - examined));
  return examined;
}

// Never destroyed, so a thread still in a transfer while the process exits finds it intact.
HandleTable& Handles() {
  static HandleTable* const handles = new HandleTable;
  return *handles;
}

const Backend& BackendForPath(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISSOCK(st.st_mode) ? static_cast<const Backend&>(kVirtual)
                                                        : kHidraw;
}

// Why this thread's last QelHidOpen that failed did: each thread opens on its own, so none
// sees another's.
thread_local Failure lastOpenFailure;

QelHidHandle Open(const char* path) {
  auto device = std::make_unique<OpenDevice>();
  device->backend = &BackendForPath(path);
  device->path = path;
  device->closing = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!device->closing) {
    const int error = errno;
    lastOpenFailure = {error, ErrnoSentence(error, path)};
    return HIDLINK_INVALID_HANDLE;
  }
  Failure failure;
  device->fd = device->backend->Open(path, failure);
  if (!device->fd) {
    lastOpenFailure = std::move(failure);
    return HIDLINK_INVALID_HANDLE;
  }
  return Handles().Add(std::move(device));
}

// Waits for the device and moves one report, retrying when another reader was quicker. Closing
// the handle ends the wait. 0 when the report moved, else the error number of the failure.
template <typename Move>
int MoveReport(const OpenDevice& device, short events, uint32_t timeoutMs, Move move) {
  const Deadline deadline = Deadline::AfterMs(timeoutMs);
  for (;;) {
    switch (WaitFor(device.fd.Get(), events, deadline, device.closing.Get())) {
      case WaitResult::kReady:
        break;
      case WaitResult::kTimedOut:
        return ETIMEDOUT;
      case WaitResult::kHungUp:
        return ENODEV;
      case WaitResult::kCancelled:
        return ECANCELED;
      case WaitResult::kFailed:
        return errno;
    }
    const IoResult result = move();
    if (result.status != IoStatus::kAgain)
      return result.status == IoStatus::kDone ? 0 : result.error;
  }
}

enum class Direction { kRead, kWrite };

// Records on the device why a transfer failed with `error`.
void RecordTransferFailure(const OpenDevice& device, Direction direction, int error,
                           uint32_t timeoutMs) {
  const bool reading = direction == Direction::kRead;
  const std::string& path = device.path;
  std::string text;
  switch (error) {
    case ETIMEDOUT:
      text = (reading ? "no report came from " + path : path + " took no report") + " within " +
             std::to_string(timeoutMs) + " ms";
      break;
    case ECANCELED:
      text = "the handle of " + path + " was closed during the transfer";
      break;
    case EMSGSIZE:
      text = reading ? path + " sent a report of the wrong length"
                     : path + " took only part of a report";
      break;
    case ENODEV:
    case EPIPE:
    case ECONNRESET:
      text = "the device " + path + " was unplugged";
      break;
    default:
      text = ErrnoSentence(error, path);
  }
  device.lastFailure.Set({error, std::move(text)});
}

// Room for one report with its ID byte: on the stack for the usual sizes, so a stream of
// reports allocates nothing; on the heap only for unusually long reports.
class ReportBuffer {
 public:
  explicit ReportBuffer(size_t size) : size_(size) {
    if (size_ > inline_.size())
      heap_.resize(size_);
  }
  std::span<uint8_t> Bytes() {
    return {size_ > inline_.size() ? heap_.data() : inline_.data(), size_};
  }

 private:
  size_t size_;
  std::array<uint8_t, 1025> inline_{};
  std::vector<uint8_t> heap_;
};

// Receives whole reports and copies no more than `length` bytes into `out`.
bool ReadReports(QelHidHandle handle, uint8_t* out, uint32_t length, uint32_t& delivered,
                 uint32_t timeoutMs) {
  if (length == 0)
    return true;
  const HandleTable::Use device = Handles().Find(handle);
  const uint16_t reportLength = settings.inputReportLength;
  if (!device)
    return false;
  if (!out || reportLength == 0) {
    device->lastFailure.Set(
        {EINVAL, out ? "the input report length is 0" : "no buffer to read into"});
    return false;
  }
  const int fd = device->fd.Get();
  ReportBuffer buffer(reportLength + 1u);
  const std::span<uint8_t> report = buffer.Bytes();
  while (delivered < length) {
    if (const int error = MoveReport(*device, POLLIN, timeoutMs,
                                     [&] { return device->backend->ReceiveReport(fd, report); })) {
      RecordTransferFailure(*device, Direction::kRead, error, timeoutMs);
      return false;
    }
    settings.inputReportId = report[0];
    const uint32_t n = std::min<uint32_t>(reportLength, length - delivered);
    std::memcpy(out + delivered, report.data() + 1, n);
    delivered += n;
  }
  return true;
}

// Sends whole reports, the last one zero-padded rather than read past the end of `in`.
bool WriteReports(QelHidHandle handle, const uint8_t* in, uint32_t length, uint32_t& written,
                  uint32_t timeoutMs) {
  if (length == 0)
    return true;
  const HandleTable::Use device = Handles().Find(handle);
  const uint16_t reportLength = settings.outputReportLength;
  if (!device)
    return false;
  if (!in || reportLength == 0) {
    device->lastFailure.Set({EINVAL, in ? "the output report length is 0" : "no bytes to write"});
    return false;
  }
  const int fd = device->fd.Get();
  ReportBuffer buffer(reportLength + 1u);
  const std::span<uint8_t> report = buffer.Bytes();
  report[0] = settings.outputReportId;
  while (written < length) {
    const uint32_t n = std::min<uint32_t>(reportLength, length - written);
    std::memcpy(report.data() + 1, in + written, n);
    std::memset(report.data() + 1 + n, 0, reportLength - n);
    if (const int error = MoveReport(*device, POLLOUT, timeoutMs,
                                     [&] { return device->backend->SendReport(fd, report); })) {
      RecordTransferFailure(*device, Direction::kWrite, error, timeoutMs);
      return false;
    }
    written += n;
  }
  return true;
}

std::span<uint8_t> Bytes(void* buffer, uint32_t length) {
  return buffer ? std::span<uint8_t>(static_cast<uint8_t*>(buffer), length) : std::span<uint8_t>();
}

// Runs a HID query on the handle's backend; 0 for a handle that is not open.
template <typename Query>
int Ask(QelHidHandle handle, Query query) {
  const HandleTable::Use device = Handles().Find(handle);
  return device && query(*device->backend, device->fd.Get()) ? 1 : 0;
}

// Runs an export's body; an exception (a failed allocation) becomes the export's failure
// result, since none may cross the C interface.
template <typename Result, typename Body>
Result Guarded(Result failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

template <typename Body>
void Guarded(Body body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace
}  // namespace vireo::hidlink

using namespace vireo::hidlink;

extern "C" {

int QelHidInit(void) noexcept {
  Guarded([] { table.Release(); });
  return 0;
}

void QelHidFreeDevicesInfo(void) noexcept {
  table.FreeAll();
}

int QelHidScanDevices(uint32_t* count) noexcept {
  uint32_t examined = 0;
  Guarded([&] { examined = Scan(); });
  if (count)
    *count = examined;
  return examined > 0 ? 1 : 0;
}

HidDeviceInfo* QelHidGetDevices(void) noexcept {
  return table.First();
}

QelHidHandle QelHidOpen(const HidDeviceInfo* device) noexcept {
  try {
    if (!device || device == reinterpret_cast<const HidDeviceInfo*>(HIDLINK_INVALID_HANDLE)) {
      lastOpenFailure = {EINVAL, "no device was given to open"};
      return HIDLINK_INVALID_HANDLE;
    }
    return Open(device->DevicePath);
  } catch (...) {
    // Fits the string's own room, so it allocates nothing.
    lastOpenFailure.code = ENOMEM;
    lastOpenFailure.text.assign("out of memory");
    return HIDLINK_INVALID_HANDLE;
  }
}

int QelHidClose(QelHidHandle handle) noexcept {
  if (handle == HIDLINK_INVALID_HANDLE)
    return 1;
  return Guarded(0, [&] { return Handles().Remove(handle) ? 1 : 0; });
}

uint16_t QelHidSetInpQelReportLength(uint16_t length) noexcept {
  return settings.inputReportLength = length;
}
uint16_t QelHidSetOQelpQelReportLength(uint16_t length) noexcept {
  return settings.outputReportLength = length;
}
uint8_t QelHidSetInpQelReportID(uint8_t id) noexcept {
  return settings.inputReportId = id;
}
uint8_t QelHidSetOQelpQelReportID(uint8_t id) noexcept {
  return settings.outputReportId = id;
}

int QelHidRead(QelHidHandle handle, void* buffer, uint32_t length, uint32_t* transferred,
               uint32_t timeoutMs) noexcept {
  uint32_t delivered = 0;
  const bool ok = Guarded(false, [&] {
    return ReadReports(handle, static_cast<uint8_t*>(buffer), length, delivered, timeoutMs);
  });
  if (transferred)
    *transferred = delivered;
  return ok ? 1 : 0;
}

int QelHidWrite(QelHidHandle handle, const void* buffer, uint32_t length, uint32_t* transferred,
                uint32_t timeoutMs) noexcept {
  uint32_t written = 0;
  const bool ok = Guarded(false, [&] {
    return WriteReports(handle, static_cast<const uint8_t*>(buffer), length, written, timeoutMs);
  });
  if (transferred)
    *transferred = written;
  return ok ? 1 : 0;
}

int QelHidD_GetAttributes(QelHidHandle handle, QelHidAttributes* attributes) noexcept {
  if (!attributes)
    return 0;
  return Guarded(0, [&] {
    const HandleTable::Use device = Handles().Find(handle);
    return device && device->backend->GetAttributes(device->fd.Get(), device->path, *attributes)
               ? 1
               : 0;
  });
}

void QelHidD_GetHidGuid(QelHidGuid* guid) noexcept {
  // The HID interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}.
  if (guid)
    *guid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

int QelHidD_FlushQueue(QelHidHandle handle) noexcept {
  return Guarded(
      0, [&] { return Ask(handle, [](const Backend& b, int fd) { return b.FlushQueue(fd); }); });
}

int QelHidD_GetFeature(QelHidHandle handle, void* report, uint32_t length) noexcept {
  return Guarded(0, [&] {
    return Ask(handle,
               [&](const Backend& b, int fd) { return b.GetFeature(fd, Bytes(report, length)); });
  });
}

int QelHidD_SetFeature(QelHidHandle handle, void* report, uint32_t length) noexcept {
  return Guarded(0, [&] {
    return Ask(handle,
               [&](const Backend& b, int fd) { return b.SetFeature(fd, Bytes(report, length)); });
  });
}

int QelHidD_GetInputReport(QelHidHandle handle, void* report, uint32_t length) noexcept {
  return Guarded(0, [&] {
    return Ask(handle, [&](const Backend& b, int fd) {
      return b.GetInputReport(fd, Bytes(report, length));
    });
  });
}

int QelHidD_SetOutputReport(QelHidHandle handle, void* report, uint32_t length) noexcept {
  return Guarded(0, [&] {
    return Ask(handle, [&](const Backend& b, int fd) {
      return b.SetOutputReport(fd, Bytes(report, length));
    });
  });
}

int QelHidD_GetProductString(QelHidHandle handle, void* buffer, uint32_t length) noexcept {
  return Guarded(0, [&] {
    return Ask(handle, [&](const Backend& b, int fd) {
      return b.GetProductString(fd, Bytes(buffer, length));
    });
  });
}

int QelHidD_GetSerialNumberString(QelHidHandle handle, void* buffer, uint32_t length) noexcept {
  return Guarded(0, [&] {
    return Ask(handle, [&](const Backend& b, int fd) {
      return b.GetSerialNumberString(fd, Bytes(buffer, length));
    });
  });
}

int QelHidGetLastError(QelHidHandle handle, char* buffer, uint32_t length) noexcept {
  if (buffer && length > 0)
    buffer[0] = '\0';
  return Guarded(0, [&] {
    Failure failure;
    if (handle == HIDLINK_INVALID_HANDLE) {
      failure = lastOpenFailure;
    } else if (const HandleTable::Use device = Handles().Find(handle)) {
      failure = device->lastFailure.Get();
    } else {
      failure = {EBADF, "the handle is not open"};
    }
    if (buffer && length > 0) {
      // Cut to fit, at the start of a UTF-8 character.
      size_t n = std::min<size_t>(failure.text.size(), length - 1);
      while (n > 0 && n < failure.text.size() &&
             (static_cast<unsigned char>(failure.text[n]) & 0xC0) == 0x80)
        --n;
      std::memcpy(buffer, failure.text.data(), n);
      buffer[n] = '\0';
    }
    return failure.code;
  });
}

// No counterpart on Linux: hidraw has no preparsed data, configuration, adjustable input
// buffer count, physical descriptor, manufacturer or indexed strings, or genre descriptor.
int QelHidD_GetPreparsedData(QelHidHandle, void**) noexcept {
  return 0;
}
int QelHidD_FreePreparsedData(void*) noexcept {
  return 0;
}
int QelHidD_GetConfiguration(QelHidHandle, void*, uint32_t) noexcept {
  return 0;
}
int QelHidD_SetConfiguration(QelHidHandle, void*, uint32_t) noexcept {
  return 0;
}
int QelHidD_GetNumInputBuffers(QelHidHandle, uint32_t*) noexcept {
  return 0;
}
int QelHidD_SetNumInputBuffers(QelHidHandle, uint32_t) noexcept {
  return 0;
}
int QelHidD_GetPhysicalDescriptor(QelHidHandle, void*, uint32_t) noexcept {
  return 0;
}
int QelHidD_GetManufacturerString(QelHidHandle, void*, uint32_t) noexcept {
  return 0;
}
int QelHidD_GetIndexedString(QelHidHandle, uint32_t, void*, uint32_t) noexcept {
  return 0;
}
int QelHidD_GetMsGenreDescriptor(QelHidHandle, void*, uint32_t) noexcept {
  return 0;
}

}  // extern "C"
