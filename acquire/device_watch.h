// DeviceWatch: tells when HID devices may have come or gone, without polling: inotify on /dev
// (hidraw nodes) and on the folder named by HIDLINK_VIRTUAL_DIR (virtual device sockets). The
// caller polls fd() with its other descriptors and calls Drain() when it is readable.
#pragma once

#include <string>
#include <vector>

#include "base/posix.h"

namespace vireo {

class DeviceWatch {
 public:
  // Watches these folders; folders that do not exist are skipped.
  explicit DeviceWatch(const std::vector<std::string>& folders);
  // /dev and $HIDLINK_VIRTUAL_DIR.
  static std::vector<std::string> DefaultFolders();

  bool IsValid() const { return fd_.IsValid(); }
  int fd() const { return fd_.Get(); }
  // Reads the waiting notifications; true if one was about a HID device.
  bool Drain();

 private:
  posix::UniqueFd fd_;
};

// Whether a file name in a watched folder is that of a HID device: a hidraw node or a virtual
// device socket.
bool IsHidDeviceName(const std::string& name);

}  // namespace vireo
