// Helpers that both backends use.
#include "hidlink/backend.h"

#include <dirent.h>

#include <memory>

namespace vireo::hidlink {

IoResult TransferStatus(ssize_t n, size_t expected) {
  if (n < 0)
    return errno == EAGAIN ? IoResult{IoStatus::kAgain} : IoResult{IoStatus::kFailed, errno};
  if (static_cast<size_t>(n) == expected)
    return {IoStatus::kDone};
  return {IoStatus::kFailed, n == 0 ? ENODEV : EMSGSIZE};
}

std::vector<std::string> FolderEntries(const std::string& path) {
  struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };
  std::vector<std::string> names;
  const std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir)
    return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..")
      names.emplace_back(name);
  }
  return names;
}

}  // namespace vireo::hidlink
