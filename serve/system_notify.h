// SystemNotify: what a Type=notify unit tells systemd: ready, a status line, alive for the
// watchdog, stopping. Built without libsystemd, or run outside systemd, it does nothing.
#pragma once

#include <cstdint>
#include <string>

namespace vireo::serve {

class SystemNotify {
 public:
  SystemNotify();
  void Ready(const std::string& status);
  void Status(const std::string& status);
  void Stopping();
  void Alive();
  // How often Alive() is due, in nanoseconds (half the unit's WatchdogSec); 0 without watchdog.
  int64_t aliveIntervalNs() const { return aliveIntervalNs_; }

 private:
  int64_t aliveIntervalNs_ = 0;
};

}  // namespace vireo::serve
