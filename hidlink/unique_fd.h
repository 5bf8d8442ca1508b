#ifndef HIDLINK_UNIQUE_FD_H
#define HIDLINK_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

namespace vireo::hidlink {

// Owns one file descriptor and closes it when it goes out of scope, so no error path leaks one.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool IsValid() const { return fd_ >= 0; }
  explicit operator bool() const { return IsValid(); }

  // Gives up ownership without closing.
  int Release() { return std::exchange(fd_, -1); }

  void Reset(int fd = -1) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace vireo::hidlink

#endif  // HIDLINK_UNIQUE_FD_H
