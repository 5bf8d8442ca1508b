#ifndef HIDLINK_BACKEND_H
#define HIDLINK_BACKEND_H

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/posix.h"
#include "hidlink/hidlink.h"

namespace vireo::hidlink {

using posix::RetryOnSignal;
using posix::UniqueFd;

// Identifiers of a device as a scan reports them.
struct DeviceIds {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t versionNumber = 0;
  bool operator==(const DeviceIds&) const = default;
};

// One device that a scan examined; ids is empty when they could not be read, and such a
// device gets no record.
struct FoundDevice {
  std::string path;
  std::optional<DeviceIds> ids;
};

// Why an open or a transfer failed, as QelHidGetLastError hands it out: an error number from
// <errno.h> and a sentence that names the cause and the device.
struct Failure {
  int code = 0;
  std::string text;
};

// Outcome of one attempt to move a report on a non-blocking descriptor.
enum class IoStatus { kDone, kAgain, kFailed };

// The outcome with, for kFailed, its error number: the system's, EMSGSIZE for a report of
// another length, ENODEV for a device that hung up.
struct IoResult {
  IoStatus status = IoStatus::kDone;
  int error = 0;
};

// The outcome of a transfer that returned n (errno set when it is negative) and should have
// moved `expected` bytes; 0 bytes is the device's hang-up.
IoResult TransferStatus(ssize_t n, size_t expected);

// One kind of HID device: how to list, open and talk to it. The report loops, settings and
// device table are shared; a backend moves single reports on descriptors that are opened
// non-blocking, after the caller has waited for them to be ready. The HID queries that a
// backend has no counterpart for answer false.
class Backend {
 public:
  virtual ~Backend() = default;

  // Lists at most `limit` devices below `root`, in the order a scan reports them.
  virtual std::vector<FoundDevice> Enumerate(const std::string& root, size_t limit) const = 0;
  // Opens the device exclusively; an invalid fd, and `failure` filled in, if it cannot be had.
  virtual UniqueFd Open(const char* path, Failure& failure) const = 0;
  // Receives one input report into `report` (ID byte + report length bytes) and leaves it
  // there in that form.
  virtual IoResult ReceiveReport(int fd, std::span<uint8_t> report) const = 0;
  // Sends one output report (ID byte + report length bytes) in one piece.
  virtual IoResult SendReport(int fd, std::span<const uint8_t> report) const = 0;
  // `path` is the one the device was opened on.
  virtual bool GetAttributes(int fd, std::string_view path, QelHidAttributes& attributes) const = 0;

  virtual bool GetFeature(int, std::span<uint8_t>) const { return false; }
  virtual bool SetFeature(int, std::span<uint8_t>) const { return false; }
  virtual bool GetInputReport(int, std::span<uint8_t>) const { return false; }
  virtual bool SetOutputReport(int, std::span<uint8_t>) const { return false; }
  virtual bool GetProductString(int, std::span<uint8_t>) const { return false; }
  virtual bool GetSerialNumberString(int, std::span<uint8_t>) const { return false; }
  virtual bool FlushQueue(int) const { return false; }
};

// The system's devices: /sys/class/hidraw and /dev/hidrawN.
class HidrawBackend final : public Backend {
 public:
  std::vector<FoundDevice> Enumerate(const std::string& root, size_t limit) const override;
  UniqueFd Open(const char* path, Failure& failure) const override;
  IoResult ReceiveReport(int fd, std::span<uint8_t> report) const override;
  IoResult SendReport(int fd, std::span<const uint8_t> report) const override;
  bool GetAttributes(int fd, std::string_view path, QelHidAttributes& attributes) const override;
  bool GetFeature(int fd, std::span<uint8_t> report) const override;
  bool SetFeature(int fd, std::span<uint8_t> report) const override;
  bool GetInputReport(int fd, std::span<uint8_t> report) const override;
  bool SetOutputReport(int fd, std::span<uint8_t> report) const override;
  bool GetProductString(int fd, std::span<uint8_t> buffer) const override;
  bool GetSerialNumberString(int fd, std::span<uint8_t> buffer) const override;
  bool FlushQueue(int fd) const override;
};

// Takes the exclusive advisory lock that keeps every other opener of the device out, this
// process's included (each open has its own lock); false if someone holds it.
bool LockExclusively(int fd);

// Brings an input report that read(2) left in `report` (`received` bytes) into the form ID
// byte + report length bytes. A device with numbered reports delivers exactly that; one
// without delivers the data alone, which is report ID 0. False for any other length.
bool ShapeHidrawInput(std::span<uint8_t> report, size_t received);

// Virtual devices: SOCK_SEQPACKET sockets named hid-VVVV-PPPP-RRRR*.sock in a folder, one
// message per report, served by the emulator or by tests. A socket file that refuses the
// connection has nobody serving it (its emulator died): the open removes it, so that later
// scans no longer list it.
class VirtualBackend final : public Backend {
 public:
  std::vector<FoundDevice> Enumerate(const std::string& root, size_t limit) const override;
  UniqueFd Open(const char* path, Failure& failure) const override;
  IoResult ReceiveReport(int fd, std::span<uint8_t> report) const override;
  IoResult SendReport(int fd, std::span<const uint8_t> report) const override;
  bool GetAttributes(int fd, std::string_view path, QelHidAttributes& attributes) const override;
};

// Names in a folder, in no particular order; none if it cannot be read.
std::vector<std::string> FolderEntries(const std::string& path);

// The identifiers a virtual device's socket name carries, if it is one.
std::optional<DeviceIds> ParseVirtualName(std::string_view name);

}  // namespace vireo::hidlink

#endif  // HIDLINK_BACKEND_H
