// Virtual HID devices: SOCK_SEQPACKET sockets in the folder HIDLINK_VIRTUAL_DIR names. The
// device grants an open with the single byte 0x01; then every message is one report.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "base/errno_error.h"
#include "hidlink/backend.h"
#include "hidlink/deadline.h"

namespace vireo::hidlink {

namespace {

constexpr uint32_t kGrantWaitMs = 1000;
constexpr uint8_t kGrant = 0x01;

std::optional<uint16_t> ParseHex4(std::string_view digits) {
  uint16_t value = 0;
  for (const char c : digits) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    value = static_cast<uint16_t>(value << 4 | digit);
  }
  return value;
}

bool IsSocket(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

std::optional<DeviceIds> ParseVirtualName(std::string_view name) {
  // hid-VVVV-PPPP-RRRR*.sock
  constexpr std::string_view kPrefix = "hid-";
  constexpr std::string_view kSuffix = ".sock";
  constexpr size_t kIdsEnd = 18;
  if (name.size() < kIdsEnd + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix) || name[8] != '-' || name[13] != '-')
    return std::nullopt;
  const auto vendor = ParseHex4(name.substr(4, 4));
  const auto product = ParseHex4(name.substr(9, 4));
  const auto version = ParseHex4(name.substr(14, 4));
  if (!vendor || !product || !version)
    return std::nullopt;
  return DeviceIds{*vendor, *product, *version};
}

std::vector<FoundDevice> VirtualBackend::Enumerate(const std::string& root, size_t limit) const {
  std::vector<std::string> names = FolderEntries(root);
  std::erase_if(names, [](const std::string& name) { return !ParseVirtualName(name); });
  std::sort(names.begin(), names.end());  // byte order
  const std::string folder = root.ends_with('/') ? root : root + "/";
  std::vector<FoundDevice> found;
  for (const std::string& name : names) {
    if (found.size() == limit)
      break;
    std::string path = folder + name;
    if (IsSocket(path.c_str()))
      found.push_back({std::move(path), ParseVirtualName(name)});
  }
  return found;
}

UniqueFd VirtualBackend::Open(const char* path, Failure& failure) const {
  const auto fail = [&](int error, std::string text = {}) {
    failure = {error, text.empty() ? ErrnoSentence(error, path) : std::move(text)};
    return UniqueFd();
  };
  const std::optional<sockaddr_un> address = posix::UnixAddress(path);
  if (!address)
    return fail(ENAMETOOLONG, "the name " + std::string(path) + " is too long for a socket");
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd)
    return fail(errno);
  // A device whose backlog is full does not answer in time either: EAGAIN fails the open.
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    const int error = errno;
    if (error == ECONNREFUSED && IsSocket(path))
      ::unlink(path);
    return fail(error);
  }

  const Deadline deadline = Deadline::AfterMs(kGrantWaitMs);
  for (;;) {
    switch (WaitFor(fd.Get(), POLLIN, deadline)) {
      case WaitResult::kReady:
        break;
      case WaitResult::kTimedOut:
        return fail(ETIMEDOUT, std::string(path) + " gave no answer to the open within " +
                                   std::to_string(kGrantWaitMs) + " ms");
      case WaitResult::kHungUp:
      case WaitResult::kCancelled:
        return fail(ECONNRESET, std::string(path) + " hung up instead of granting the open");
      case WaitResult::kFailed:
        return fail(errno);
    }
    uint8_t answer = 0;
    const ssize_t n =
        RetryOnSignal([&] { return ::recv(fd.Get(), &answer, 1, MSG_TRUNC | MSG_DONTWAIT); });
    if (n < 0 && errno == EAGAIN)
      continue;
    if (n == 1 && answer == kGrant)
      return fd;
    if (n < 0)
      return fail(errno);
    if (n == 0)
      return fail(ECONNRESET, std::string(path) + " hung up instead of granting the open");
    return fail(EBUSY, std::string(path) + " refused the open: another program holds it");
  }
}

IoResult VirtualBackend::ReceiveReport(int fd, std::span<uint8_t> report) const {
  // MSG_TRUNC gives the message's real length, so a longer one is caught too; 0 is the
  // device's hang-up.
  return TransferStatus(RetryOnSignal([&] {
                          return ::recv(fd, report.data(), report.size(), MSG_TRUNC | MSG_DONTWAIT);
                        }),
                        report.size());
}

IoResult VirtualBackend::SendReport(int fd, std::span<const uint8_t> report) const {
  return TransferStatus(
      RetryOnSignal(
          [&] { return ::send(fd, report.data(), report.size(), MSG_NOSIGNAL | MSG_DONTWAIT); }),
      report.size());
}

bool VirtualBackend::GetAttributes(int, std::string_view path, QelHidAttributes& attributes) const {
  const size_t slash = path.rfind('/');
  const auto ids = ParseVirtualName(slash == path.npos ? path : path.substr(slash + 1));
  if (!ids)
    return false;
  attributes.Size = sizeof attributes;
  attributes.VendorID = ids->vendorId;
  attributes.ProductID = ids->productId;
  attributes.VersionNumber = ids->versionNumber;
  return true;
}

}  // namespace vireo::hidlink
