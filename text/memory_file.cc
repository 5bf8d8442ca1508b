#include "text/memory_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "base/posix.h"

namespace vireo {
namespace {

constexpr const char* kLoadErrorFormat = "文件复制到内存失败！ \r\n错误代码：#%d";
constexpr const char* kSaveErrorFormat = "文件保存失败！ \r\n错误代码：#%d";

// An open file, read from its current position.
class FileSource : public ByteSource {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}

  uint64_t Size() const override { return size_; }

  ssize_t Read(uint8_t* dest, std::size_t n) override {
    return posix::RetryOnSignal([&] { return ::read(fd_, dest, n); });
  }

 private:
  int fd_;
  uint64_t size_;
};

// Writes all n bytes; false with errno set on an error.
bool WriteAll(int fd, const uint8_t* data, std::size_t n) {
  while (n > 0) {
    const ssize_t put = posix::RetryOnSignal([&] { return ::write(fd, data, n); });
    if (put < 0) {
      return false;
    }
    data += put;
    n -= static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace

ssize_t MemorySource::Read(uint8_t* dest, std::size_t n) {
  const std::size_t count = std::min(n, size_ - done_);
  if (count > 0) {
    std::memcpy(dest, data_ + done_, count);
  }
  done_ += count;
  return static_cast<ssize_t>(count);
}

MemoryFile::~MemoryFile() {
  if (loaded_ == 1) {
    Free();
  }
}

bool MemoryFile::Load(const std::string& path) {
  Free();
  // Non-blocking, so that a FIFO without a writer cannot hang the open.
  posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    error_ = errno;
    return false;
  }
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) {
    return FailLoad(errno);
  }
  // Only a regular file has the length it announces: a folder, a FIFO or a device is not a
  // file to open.
  if (!S_ISREG(info.st_mode)) {
    error_ = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  FileSource source(fd.Get(), static_cast<uint64_t>(info.st_size));
  return LoadFrom(source);
}

bool MemoryFile::LoadFrom(ByteSource& source) {
  Free();
  error_ = 0;
  const uint64_t size = source.Size();
  if (size > std::numeric_limits<uint32_t>::max()) {
    return FailLoad(EFBIG);
  }
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[size]);
  if (!block) {
    return FailLoad(ENOMEM);
  }
  uint64_t done = 0;
  while (done < size) {
    const std::size_t piece = static_cast<std::size_t>(std::min<uint64_t>(size - done, kPieceSize));
    const ssize_t got = source.Read(block.get() + done, piece);
    if (got < 0) {
      return FailLoad(errno);
    }
    // The file shrank while it was read: what arrived is not the file.
    if (got == 0) {
      return FailLoad(EIO);
    }
    done += std::min<uint64_t>(static_cast<uint64_t>(got), piece);
  }
  buffer_ = std::move(block);
  length_ = static_cast<uint32_t>(size);
  loaded_ = 1;
  return true;
}

bool MemoryFile::Save(const std::string& path) {
  posix::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) {
    return false;
  }
  for (uint32_t done = 0; done < length_;) {
    const std::size_t piece = std::min<std::size_t>(length_ - done, kPieceSize);
    if (!WriteAll(fd.Get(), buffer_.get() + done, piece)) {
      Report(kSaveErrorFormat, errno);
      return false;
    }
    done += static_cast<uint32_t>(piece);
  }
  // A delayed write error (full disk on a network file system) shows only at close.
  if (::close(fd.Release()) != 0) {
    Report(kSaveErrorFormat, errno);
    return false;
  }
  return true;
}

void MemoryFile::Free() {
  buffer_.reset();
  length_ = 0;
  loaded_ = 0;
}

bool MemoryFile::FailLoad(int errorCode) {
  Free();
  error_ = errorCode;
  Report(kLoadErrorFormat, errorCode);
  return false;
}

void MemoryFile::Report(const char* format, int errorCode) const {
  if (onError_) {
    char text[128];
    std::snprintf(text, sizeof text, format, errorCode);
    onError_(text);
  }
}

}  // namespace vireo
