// Small POSIX helpers shared by hidlink, the text layer, the emulator and the tests: an owned
// file descriptor, retrying a call that a signal interrupted, and a Unix socket address.
#ifndef VIREO_BASE_POSIX_H
#define VIREO_BASE_POSIX_H

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

namespace vireo::posix {

// Owns one file descriptor and closes it when it goes out of scope, so no error path leaks one.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const noexcept { return fd_; }
  bool IsValid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return IsValid(); }

  // Gives up ownership without closing.
  int Release() noexcept { return std::exchange(fd_, -1); }

  void Reset(int fd = -1) noexcept {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Runs a system call again while a signal interrupts it, and returns its last result.
template <typename Call>
auto RetryOnSignal(Call call) noexcept(noexcept(call())) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

// The address of a Unix-domain socket at `path`; empty when the path does not fit.
inline std::optional<sockaddr_un> UnixAddress(std::string_view path) noexcept {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path ||
      path.find('\0') != std::string_view::npos)
    return std::nullopt;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

}  // namespace vireo::posix

#endif  // VIREO_BASE_POSIX_H
