// An error number of the system (errno) and the path it concerns, turned into the house Error:
// its kind and a sentence that names the cause and the path.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "base/result.h"

namespace vireo {

// The kind that code branches on for an error number; kIo for any that has none of its own.
inline ErrorKind ErrorKindOfErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrorKind::kPermission;
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
      return ErrorKind::kNoDevice;
    case EBUSY:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return ErrorKind::kBusy;
    case ENODEV:
    case ENXIO:
    case EPIPE:
    case ECONNRESET:
    case ESHUTDOWN:
      return ErrorKind::kUnplugged;
    case ETIMEDOUT:
      return ErrorKind::kTimeout;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ErrorKind::kNoSpace;
    case EINVAL:
    case EISDIR:
    case ENAMETOOLONG:
    case ENOTTY:
    case EMSGSIZE:
      return ErrorKind::kInvalid;
    default:
      return ErrorKind::kIo;
  }
}

// "permission denied on PATH", "no room left on the disk of PATH", ...: what the error number
// means for `path`. An error number without a sentence of its own gets the system's text.
inline std::string ErrnoSentence(int error, std::string_view path) {
  const std::string name(path.empty() ? "the file" : path);
  switch (error) {
    case EACCES:
    case EPERM:
      return "permission denied on " + name;
    case EROFS:
      return name + " is on a disk that may only be read";
    case ENOENT:
      return name + " does not exist";
    case ENOTDIR:
      return name + " is not a folder";
    case ECONNREFUSED:
      return name + " refused the connection: nobody serves it";
    case EBUSY:
      return name + " is in use by another program";
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return name + " is busy";
    case ENODEV:
    case ENXIO:
      return path.empty() ? "the device was unplugged" : "the device " + name + " was unplugged";
    case EPIPE:
    case ECONNRESET:
    case ESHUTDOWN:
      return "the connection to " + name + " was cut";
    case ETIMEDOUT:
      return name + " did not answer in time";
    case ENOSPC:
      return "no room left on the disk of " + name;
    case EDQUOT:
      return "the disk quota is used up, writing " + name;
    case EFBIG:
      return name + " has grown too large";
    case EISDIR:
      return name + " is a folder";
    case ENAMETOOLONG:
      return "the name " + name + " is too long";
    case EMFILE:
    case ENFILE:
      return "too many files are open to open " + name;
    case ENOMEM:
      return "out of memory, using " + name;
    default: {
      const char* text = ::strerrordesc_np(error);
      std::string sentence = text ? text : "error " + std::to_string(error);
      if (!sentence.empty() && sentence[0] >= 'A' && sentence[0] <= 'Z' &&
          (sentence.size() < 2 || !(sentence[1] >= 'A' && sentence[1] <= 'Z')))
        sentence[0] = static_cast<char>(sentence[0] - 'A' + 'a');
      return sentence + " on " + name;
    }
  }
}

// The Error for an error number that an operation on `path` failed with.
inline Error ErrorFromErrno(int error, std::string_view path) {
  return {ErrorKindOfErrno(error), ErrnoSentence(error, path)};
}

}  // namespace vireo
