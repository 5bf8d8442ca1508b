#include "acquire/device_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace vireo {

DeviceWatch::DeviceWatch(const std::vector<std::string>& folders)
    : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (!fd_)
    return;
  // IN_ATTRIB: udev sets a new node's permissions after creating it.
  for (const std::string& folder : folders)
    ::inotify_add_watch(
        fd_.Get(), folder.c_str(),
        IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_ONLYDIR);
}

std::vector<std::string> DeviceWatch::DefaultFolders() {
  std::vector<std::string> folders = {"/dev"};
  if (const char* virtualDir = std::getenv("HIDLINK_VIRTUAL_DIR"); virtualDir && *virtualDir)
    folders.emplace_back(virtualDir);
  return folders;
}

bool IsHidDeviceName(const std::string& name) {
  return name.starts_with("hidraw") || (name.starts_with("hid-") && name.ends_with(".sock"));
}

bool DeviceWatch::Drain() {
  bool relevant = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n =
        posix::RetryOnSignal([&] { return ::read(fd_.Get(), buffer, sizeof buffer); });
    if (n <= 0)
      return relevant;
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      // An overflowed queue may have lost a device change: look again to be sure.
      if ((event->mask & IN_Q_OVERFLOW) || (event->len > 0 && IsHidDeviceName(event->name)))
        relevant = true;
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace vireo
