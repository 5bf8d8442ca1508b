// Where the installed program's data (language files, skin) lives: ../share/vireometer from the
// folder of the running executable, so an install works at any prefix.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace vireo {

// The data folder beside the running program when it exists, else `fallback` (the prefix the
// build was configured for).
inline std::string InstalledDataDir(const std::string& fallback) {
  char buffer[4096];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length > 0) {
    std::string folder(buffer, static_cast<size_t>(length));
    folder.erase(folder.find_last_of('/') + 1);
    folder += "../share/vireometer";
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
      return folder;
  }
  return fallback;
}

}  // namespace vireo
