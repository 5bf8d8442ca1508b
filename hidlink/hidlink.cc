// The exported functions: report settings, the device table of the last scan, the report
// loops, and the choice of backend per device.
#include "hidlink/hidlink.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "hidlink/backend.h"
#include "hidlink/deadline.h"

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

int FdOf(QelHidHandle handle) {
  return handle >= 0 && handle <= INT_MAX ? static_cast<int>(handle) : -1;
}

// The backend of an open handle: a socket is a virtual device, a character device a hidraw
// node. Asking the descriptor itself needs no table of handles.
const Backend* BackendOf(int fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0)
    return nullptr;
  if (S_ISSOCK(st.st_mode))
    return &kVirtual;
  if (S_ISCHR(st.st_mode))
    return &kHidraw;
  return nullptr;
}

const Backend& BackendForPath(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISSOCK(st.st_mode) ? static_cast<const Backend&>(kVirtual)
                                                        : kHidraw;
}

// Waits for the descriptor and moves one report, retrying when another reader was quicker.
template <typename Move>
bool MoveReport(int fd, short events, uint32_t timeoutMs, Move move) {
  const Deadline deadline = Deadline::AfterMs(timeoutMs);
  for (;;) {
    if (WaitFor(fd, events, deadline) != WaitResult::kReady)
      return false;
    const IoStatus status = move();
    if (status != IoStatus::kAgain)
      return status == IoStatus::kDone;
  }
}

// Receives whole reports and copies no more than `length` bytes into `out`.
bool ReadReports(QelHidHandle handle, uint8_t* out, uint32_t length, uint32_t& delivered,
                 uint32_t timeoutMs) {
  if (length == 0)
    return true;
  const int fd = FdOf(handle);
  const Backend* backend = BackendOf(fd);
  const uint16_t reportLength = settings.inputReportLength;
  if (!backend || !out || reportLength == 0)
    return false;
  std::vector<uint8_t> report(reportLength + 1u);
  while (delivered < length) {
    if (!MoveReport(fd, POLLIN, timeoutMs, [&] { return backend->ReceiveReport(fd, report); }))
      return false;
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
  const int fd = FdOf(handle);
  const Backend* backend = BackendOf(fd);
  const uint16_t reportLength = settings.outputReportLength;
  if (!backend || !in || reportLength == 0)
    return false;
  std::vector<uint8_t> report(reportLength + 1u);
  report[0] = settings.outputReportId;
  while (written < length) {
    const uint32_t n = std::min<uint32_t>(reportLength, length - written);
    std::memcpy(report.data() + 1, in + written, n);
    std::memset(report.data() + 1 + n, 0, reportLength - n);
    if (!MoveReport(fd, POLLOUT, timeoutMs, [&] { return backend->SendReport(fd, report); }))
      return false;
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
  const int fd = FdOf(handle);
  const Backend* backend = BackendOf(fd);
  return backend && query(*backend, fd) ? 1 : 0;
}

}  // namespace
}  // namespace vireo::hidlink

using namespace vireo::hidlink;

extern "C" {

int QelHidInit(void) {
  table.Release();
  return 0;
}

void QelHidFreeDevicesInfo(void) {
  table.FreeAll();
}

int QelHidScanDevices(uint32_t* count) {
  const uint32_t examined = Scan();
  if (count)
    *count = examined;
  return examined > 0 ? 1 : 0;
}

HidDeviceInfo* QelHidGetDevices(void) {
  return table.First();
}

QelHidHandle QelHidOpen(const HidDeviceInfo* device) {
  if (!device || device == reinterpret_cast<const HidDeviceInfo*>(HIDLINK_INVALID_HANDLE))
    return HIDLINK_INVALID_HANDLE;
  UniqueFd fd = BackendForPath(device->DevicePath).Open(device->DevicePath);
  return fd ? fd.Release() : HIDLINK_INVALID_HANDLE;
}

int QelHidClose(QelHidHandle handle) {
  if (handle == HIDLINK_INVALID_HANDLE)
    return 1;
  const int fd = FdOf(handle);
  return fd >= 0 && ::close(fd) == 0 ? 1 : 0;
}

uint16_t QelHidSetInpQelReportLength(uint16_t length) {
  return settings.inputReportLength = length;
}
uint16_t QelHidSetOQelpQelReportLength(uint16_t length) {
  return settings.outputReportLength = length;
}
uint8_t QelHidSetInpQelReportID(uint8_t id) {
  return settings.inputReportId = id;
}
uint8_t QelHidSetOQelpQelReportID(uint8_t id) {
  return settings.outputReportId = id;
}

int QelHidRead(QelHidHandle handle, void* buffer, uint32_t length, uint32_t* transferred,
               uint32_t timeoutMs) {
  uint32_t delivered = 0;
  const bool ok = ReadReports(handle, static_cast<uint8_t*>(buffer), length, delivered, timeoutMs);
  if (transferred)
    *transferred = delivered;
  return ok ? 1 : 0;
}

int QelHidWrite(QelHidHandle handle, const void* buffer, uint32_t length, uint32_t* transferred,
                uint32_t timeoutMs) {
  uint32_t written = 0;
  const bool ok =
      WriteReports(handle, static_cast<const uint8_t*>(buffer), length, written, timeoutMs);
  if (transferred)
    *transferred = written;
  return ok ? 1 : 0;
}

int QelHidD_GetAttributes(QelHidHandle handle, QelHidAttributes* attributes) {
  return attributes ? Ask(handle, [&](const Backend& b,
                                      int fd) { return b.GetAttributes(fd, *attributes); })
                    : 0;
}

void QelHidD_GetHidGuid(QelHidGuid* guid) {
  // The HID interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}.
  if (guid)
    *guid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

int QelHidD_FlushQueue(QelHidHandle handle) {
  return Ask(handle, [](const Backend& b, int fd) { return b.FlushQueue(fd); });
}

int QelHidD_GetFeature(QelHidHandle handle, void* report, uint32_t length) {
  return Ask(handle,
             [&](const Backend& b, int fd) { return b.GetFeature(fd, Bytes(report, length)); });
}

int QelHidD_SetFeature(QelHidHandle handle, void* report, uint32_t length) {
  return Ask(handle,
             [&](const Backend& b, int fd) { return b.SetFeature(fd, Bytes(report, length)); });
}

int QelHidD_GetInputReport(QelHidHandle handle, void* report, uint32_t length) {
  return Ask(handle,
             [&](const Backend& b, int fd) { return b.GetInputReport(fd, Bytes(report, length)); });
}

int QelHidD_SetOutputReport(QelHidHandle handle, void* report, uint32_t length) {
  return Ask(handle, [&](const Backend& b, int fd) {
    return b.SetOutputReport(fd, Bytes(report, length));
  });
}

int QelHidD_GetProductString(QelHidHandle handle, void* buffer, uint32_t length) {
  return Ask(handle, [&](const Backend& b, int fd) {
    return b.GetProductString(fd, Bytes(buffer, length));
  });
}

int QelHidD_GetSerialNumberString(QelHidHandle handle, void* buffer, uint32_t length) {
  return Ask(handle, [&](const Backend& b, int fd) {
    return b.GetSerialNumberString(fd, Bytes(buffer, length));
  });
}

// No counterpart on Linux: hidraw has no preparsed data, configuration, adjustable input
// buffer count, physical descriptor, manufacturer or indexed strings, or genre descriptor.
int QelHidD_GetPreparsedData(QelHidHandle, void**) {
  return 0;
}
int QelHidD_FreePreparsedData(void*) {
  return 0;
}
int QelHidD_GetConfiguration(QelHidHandle, void*, uint32_t) {
  return 0;
}
int QelHidD_SetConfiguration(QelHidHandle, void*, uint32_t) {
  return 0;
}
int QelHidD_GetNumInputBuffers(QelHidHandle, uint32_t*) {
  return 0;
}
int QelHidD_SetNumInputBuffers(QelHidHandle, uint32_t) {
  return 0;
}
int QelHidD_GetPhysicalDescriptor(QelHidHandle, void*, uint32_t) {
  return 0;
}
int QelHidD_GetManufacturerString(QelHidHandle, void*, uint32_t) {
  return 0;
}
int QelHidD_GetIndexedString(QelHidHandle, uint32_t, void*, uint32_t) {
  return 0;
}
int QelHidD_GetMsGenreDescriptor(QelHidHandle, void*, uint32_t) {
  return 0;
}

}  // extern "C"
