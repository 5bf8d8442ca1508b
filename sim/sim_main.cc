// vireometer-sim: serves an emulated meter on a virtual HID device until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "sim/meter_emulator.h"
#include "sim/sim_args.h"

int main(int argc, char** argv) {
  using namespace vireo::sim;

  const SimArgsResult parsed = ParseSimArgs(std::vector<std::string>(argv + 1, argv + argc),
                                            std::getenv("HIDLINK_VIRTUAL_DIR"));
  if (!parsed.settings) {
    std::fprintf(stderr, "vireometer-sim: %s\nTry 'vireometer-sim --help'.\n",
                 parsed.error.c_str());
    return 2;
  }
  const SimSettings& settings = *parsed.settings;
  if (settings.help) {
    std::fputs(SimUsage().c_str(), stdout);
    return 0;
  }

  // Block the stop signals before the service thread starts, so only sigtimedwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  VirtualMeter meter(settings.dir, settings.options, settings.name);
  ApplyFaults(settings, meter.faults());
  if (!meter.Plug()) {
    std::fprintf(stderr, "vireometer-sim: cannot serve %s: %s\n", meter.SocketPath().c_str(),
                 meter.PlugFailureText().c_str());
    return 1;
  }
  std::printf("serving %s\n", meter.SocketPath().c_str());
  std::fflush(stdout);

  // Wait for a stop signal; tell once when the unplug fault has taken the device away.
  bool toldUnplugged = false;
  const timespec tick{0, 200'000'000};
  while (sigtimedwait(&stopSignals, nullptr, &tick) < 0) {
    if (!toldUnplugged && !meter.IsPlugged()) {
      std::printf("unplugged %s\n", meter.SocketPath().c_str());
      std::fflush(stdout);
      toldUnplugged = true;
    }
  }
  meter.Unplug();
  return 0;
}
