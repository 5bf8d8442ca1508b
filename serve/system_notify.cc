#include "serve/system_notify.h"

#ifdef VIREO_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace vireo::serve {

#ifdef VIREO_HAVE_SYSTEMD

SystemNotify::SystemNotify() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0)
    aliveIntervalNs_ = static_cast<int64_t>(usec) * 1000 / 2;
}
void SystemNotify::Ready(const std::string& status) {
  sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}
void SystemNotify::Status(const std::string& status) {
  sd_notify(0, ("STATUS=" + status).c_str());
}
void SystemNotify::Stopping() {
  sd_notify(0, "STOPPING=1");
}
void SystemNotify::Alive() {
  sd_notify(0, "WATCHDOG=1");
}

#else

SystemNotify::SystemNotify() = default;
void SystemNotify::Ready(const std::string&) {}
void SystemNotify::Status(const std::string&) {}
void SystemNotify::Stopping() {}
void SystemNotify::Alive() {}

#endif

}  // namespace vireo::serve
