// The system's HID devices through hidraw: sysfs enumeration, /dev/hidrawN and its ioctls.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/errno_error.h"
#include "hidlink/backend.h"

namespace vireo::hidlink {

namespace {

constexpr std::string_view kNodePrefix = "hidraw";
constexpr size_t kSmallFileMax = 4096;

std::optional<std::string> ReadSmallFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    return std::nullopt;
  std::string text(kSmallFileMax, '\0');
  size_t used = 0;
  while (used < text.size()) {
    const ssize_t n =
        RetryOnSignal([&] { return ::read(fd.Get(), text.data() + used, text.size() - used); });
    if (n < 0)
      return std::nullopt;
    if (n == 0)
      break;
    used += static_cast<size_t>(n);
  }
  text.resize(used);
  return text;
}

// A hex number that fills the whole text but for trailing white space.
std::optional<uint32_t> ParseHex(std::string_view text, uint32_t max) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max)
    return std::nullopt;
  return value;
}

// bcdDevice of the nearest USB device above a sysfs device, 0 where there is none.
uint16_t UsbVersionNumber(const std::string& deviceLink) {
  char* real = ::realpath(deviceLink.c_str(), nullptr);
  if (!real)
    return 0;
  std::string dir(real);
  std::free(real);
  while (!dir.empty()) {
    if (const auto text = ReadSmallFile(dir + "/bcdDevice"))
      return static_cast<uint16_t>(ParseHex(*text, 0xFFFF).value_or(0));
    dir.resize(dir.rfind('/'));
  }
  return 0;
}

// Identifiers from the HID_ID line of the device's uevent: bus:vendor:product in hex. Only a
// USB device has a version number; another bus may sit below a USB adapter whose bcdDevice
// is not the device's own.
std::optional<DeviceIds> ReadIds(const std::string& deviceLink) {
  const auto uevent = ReadSmallFile(deviceLink + "/uevent");
  if (!uevent)
    return std::nullopt;
  constexpr std::string_view kKey = "HID_ID=";
  std::string_view rest(*uevent);
  while (!rest.empty()) {
    const size_t eol = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(std::min(eol + 1, rest.size()));
    if (!line.starts_with(kKey))
      continue;
    line.remove_prefix(kKey.size());
    const size_t c1 = line.find(':');
    const size_t c2 = c1 == std::string_view::npos ? c1 : line.find(':', c1 + 1);
    if (c2 == std::string_view::npos)
      return std::nullopt;
    const auto bus = ParseHex(line.substr(0, c1), 0xFFFF);
    const auto vendor = ParseHex(line.substr(c1 + 1, c2 - c1 - 1), 0xFFFF);
    const auto product = ParseHex(line.substr(c2 + 1), 0xFFFF);
    if (!bus || !vendor || !product)
      return std::nullopt;
    return DeviceIds{static_cast<uint16_t>(*vendor), static_cast<uint16_t>(*product),
                     *bus == BUS_USB ? UsbVersionNumber(deviceLink) : uint16_t{0}};
  }
  return std::nullopt;
}

// N of a "hidrawN" node name.
std::optional<unsigned long> NodeNumber(std::string_view name) {
  if (!name.starts_with(kNodePrefix) || name.size() == kNodePrefix.size())
    return std::nullopt;
  name.remove_prefix(kNodePrefix.size());
  unsigned long n = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), n);
  if (error != std::errc() || end != name.data() + name.size())
    return std::nullopt;
  return n;
}

// The size field of an ioctl request number holds 14 bits.
bool FitsIoctl(std::span<uint8_t> buffer) {
  return !buffer.empty() && buffer.size() <= _IOC_SIZEMASK;
}

// A NUL-terminated string query; fails if the string is empty or does not fit.
bool CopyString(int fd, unsigned long request, std::span<uint8_t> buffer) {
  char text[256] = {};
  const int n = ::ioctl(fd, request, text);
  if (n <= 0)
    return false;
  const size_t length = ::strnlen(text, std::min<size_t>(static_cast<size_t>(n), sizeof text - 1));
  if (length == 0 || length + 1 > buffer.size())
    return false;
  std::memcpy(buffer.data(), text, length + 1);
  return true;
}

}  // namespace

std::vector<FoundDevice> HidrawBackend::Enumerate(const std::string& root, size_t limit) const {
  std::vector<std::pair<unsigned long, std::string>> nodes;
  for (std::string& name : FolderEntries(root)) {
    if (const auto n = NodeNumber(name))
      nodes.emplace_back(*n, std::move(name));
  }
  // hidraw2 before hidraw10.
  std::sort(nodes.begin(), nodes.end());
  std::vector<FoundDevice> found;
  for (const auto& [n, name] : nodes) {
    if (found.size() == limit)
      break;
    found.push_back({"/dev/" + name, ReadIds(root + "/" + name + "/device")});
  }
  return found;
}

bool LockExclusively(int fd) {
  return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

bool ShapeHidrawInput(std::span<uint8_t> report, size_t received) {
  if (report.empty())
    return false;
  if (received == report.size())
    return true;
  if (received + 1 != report.size() || received == 0)
    return false;
  std::memmove(report.data() + 1, report.data(), received);
  report[0] = 0;
  return true;
}

UniqueFd HidrawBackend::Open(const char* path, Failure& failure) const {
  UniqueFd fd(::open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    const int error = errno;
    failure = {error, ErrnoSentence(error, path)};
    return {};
  }
  // Only a hidraw node answers HIDIOCGRAWINFO; the lock keeps every other opener out.
  hidraw_devinfo info{};
  if (::ioctl(fd.Get(), HIDIOCGRAWINFO, &info) < 0) {
    const int error = errno;
    failure = {error, error == ENOTTY || error == EINVAL ? std::string(path) + " is no HID device"
                                                         : ErrnoSentence(error, path)};
    return {};
  }
  if (!LockExclusively(fd.Get())) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    failure = {error, error == EBUSY ? "the device is held by another program (" +
                                           std::string(path) + " is locked)"
                                     : ErrnoSentence(error, path)};
    return {};
  }
  return fd;
}

IoResult HidrawBackend::ReceiveReport(int fd, std::span<uint8_t> report) const {
  const ssize_t n = RetryOnSignal([&] { return ::read(fd, report.data(), report.size()); });
  if (n <= 0)
    return TransferStatus(n, report.size());
  if (!ShapeHidrawInput(report, static_cast<size_t>(n)))
    return {IoStatus::kFailed, EMSGSIZE};
  return {IoStatus::kDone};
}

IoResult HidrawBackend::SendReport(int fd, std::span<const uint8_t> report) const {
  return TransferStatus(RetryOnSignal([&] { return ::write(fd, report.data(), report.size()); }),
                        report.size());
}

bool HidrawBackend::GetAttributes(int fd, std::string_view, QelHidAttributes& attributes) const {
  hidraw_devinfo info{};
  struct stat st {};
  if (::ioctl(fd, HIDIOCGRAWINFO, &info) < 0 || ::fstat(fd, &st) != 0)
    return false;
  attributes.Size = sizeof attributes;
  attributes.VendorID = static_cast<uint16_t>(info.vendor);
  attributes.ProductID = static_cast<uint16_t>(info.product);
  attributes.VersionNumber = 0;
  if (info.bustype == BUS_USB) {
    attributes.VersionNumber =
        UsbVersionNumber("/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                         std::to_string(minor(st.st_rdev)) + "/device");
  }
  return true;
}

bool HidrawBackend::GetFeature(int fd, std::span<uint8_t> report) const {
  return FitsIoctl(report) && ::ioctl(fd, HIDIOCGFEATURE(report.size()), report.data()) >= 0;
}

bool HidrawBackend::SetFeature(int fd, std::span<uint8_t> report) const {
  return FitsIoctl(report) && ::ioctl(fd, HIDIOCSFEATURE(report.size()), report.data()) >= 0;
}

bool HidrawBackend::GetInputReport(int fd, std::span<uint8_t> report) const {
  return FitsIoctl(report) && ::ioctl(fd, HIDIOCGINPUT(report.size()), report.data()) >= 0;
}

bool HidrawBackend::SetOutputReport(int fd, std::span<uint8_t> report) const {
  return FitsIoctl(report) && ::ioctl(fd, HIDIOCSOUTPUT(report.size()), report.data()) >= 0;
}

bool HidrawBackend::GetProductString(int fd, std::span<uint8_t> buffer) const {
  return CopyString(fd, HIDIOCGRAWNAME(256), buffer);
}

bool HidrawBackend::GetSerialNumberString(int fd, std::span<uint8_t> buffer) const {
  return CopyString(fd, HIDIOCGRAWUNIQ(256), buffer);
}

bool HidrawBackend::FlushQueue(int fd) const {
  uint8_t discard[4096];
  for (;;) {
    const ssize_t n = RetryOnSignal([&] { return ::read(fd, discard, sizeof discard); });
    if (n > 0)
      continue;
    return n == 0 || errno == EAGAIN;
  }
}

}  // namespace vireo::hidlink
