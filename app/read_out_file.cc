#include "app/read_out_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/errno_error.h"
#include "base/posix.h"

namespace vireo {

std::string RecordFileName(const std::string& programFolder, const std::tm& t) {
  char name[64];
  std::snprintf(name, sizeof name, "dat/%04d%02d%02d_%02d%02d%02d.vat", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return programFolder + name;
}

std::tm LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

namespace {

// NAME.EXT for n = 1, NAME_n.EXT after.
std::string NumberedName(const std::string& path, unsigned n) {
  if (n == 1)
    return path;
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const size_t end =
      dot == std::string::npos || (slash != std::string::npos && dot < slash) ? path.size() : dot;
  return std::string(path, 0, end).append("_").append(std::to_string(n)).append(path, end);
}

// Gives the finished temporary file `name` unless that is taken: 0, or the error number.
int PublishUnderNewName(const std::string& temporary, const std::string& name) {
  if (::link(temporary.c_str(), name.c_str()) == 0)
    return 0;
  const int error = errno;
  if (error != EPERM && error != ENOTSUP && error != EOPNOTSUPP && error != EMLINK)
    return error;
  // A file system without hard links: a rename that refuses to replace.
  return ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0
             ? 0
             : errno;
}

constexpr unsigned kMaxNumberedNames = 10000;

}  // namespace

Result<std::string> WriteNewFile(const std::string& path, std::span<const uint8_t> bytes) {
  static std::atomic<unsigned> serial{0};
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = path.substr(folder.size());

  std::string temporary;
  posix::UniqueFd fd;
  while (!fd) {
    temporary = folder + "." + name + "." + std::to_string(getpid()) + "-" +
                std::to_string(serial++) + ".tmp";
    fd.Reset(posix::RetryOnSignal(
        [&] { return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }));
    if (!fd && errno != EEXIST) {
      // The temporary file could not be made: the folder is missing, not ours, or full.
      return ErrorFromErrno(errno, folder.empty() ? "." : folder.substr(0, folder.size() - 1));
    }
  }
  const auto fail = [&](int error, const std::string& about) {
    ::unlink(temporary.c_str());
    return Result<std::string>(ErrorFromErrno(error, about));
  };
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = posix::RetryOnSignal(
        [&] { return ::write(fd.Get(), bytes.data() + done, bytes.size() - done); });
    if (n < 0) {
      return fail(errno, path);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd.Get()) != 0) {
    return fail(errno, path);
  }
  if (::close(fd.Release()) != 0) {
    return fail(errno, path);
  }
  std::string published;
  for (unsigned n = 1; published.empty(); ++n) {
    const std::string candidate = NumberedName(path, n);
    const int error = PublishUnderNewName(temporary, candidate);
    if (error == 0) {
      published = candidate;
    } else if (error != EEXIST || n == kMaxNumberedNames) {
      return fail(error, candidate);
    }
  }
  ::unlink(temporary.c_str());  // gone already when it was renamed
  // The new name is on disk once its folder is; a failure here loses nothing already written.
  posix::UniqueFd dir(
      ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) {
    ::fsync(dir.Get());
  }
  return published;
}

}  // namespace vireo
