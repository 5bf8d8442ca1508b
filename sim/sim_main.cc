// vireometer-sim: serves an emulated meter on a virtual HID device until SIGINT, SIGTERM or
// SIGHUP.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "sim/meter_emulator.h"
#include "sim/sim_args.h"
#include "sim/sim_state_files.h"
#include "sim/test_image.h"

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
  if (settings.version) {
    std::puts("vireometer-sim " VIREO_VERSION);
    return 0;
  }
  if (!settings.makeImage.empty()) {
    TestImageOptions options;
    options.payloadLength = settings.imagePayload;
    options.logoArea = !settings.imageNoLogo;
    if (!WriteTestImage(settings.makeImage.string(), options)) {
      std::fprintf(stderr, "vireometer-sim: cannot write %s\n", settings.makeImage.c_str());
      return 1;
    }
    return 0;
  }

  // Block the stop signals before the service thread starts, so only sigtimedwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  VirtualMeter meter(settings.dir, settings.options, settings.name);
  ApplyFaults(settings, meter.faults());
  if (!settings.flashFile.empty())
    meter.WithEmulator([&](MeterEmulator& m) { LoadFlashFile(settings.flashFile, m); });
  const auto saveState = [&] {
    meter.WithEmulator([&](MeterEmulator& m) { SaveStateFiles(settings, m); });
  };
  if (!meter.Plug()) {
    std::fprintf(stderr, "vireometer-sim: cannot serve %s: %s\n", meter.SocketPath().c_str(),
                 meter.PlugFailureText().c_str());
    return 1;
  }
  std::printf("serving %s\n", meter.SocketPath().c_str());
  std::fflush(stdout);

  // Wait for a stop signal; tell once when the unplug fault has taken the device away, and
  // plug it in again when asked to.
  using Clock = std::chrono::steady_clock;
  bool toldUnplugged = false;
  Clock::time_point replugAt{};
  UnplugScript script(settings.unplug);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    auto wait = std::chrono::nanoseconds(200'000'000);
    if (settings.unplug.Active()) {
      if (meter.Connections() > 0)
        script.Begin(now);
      switch (script.Step(now)) {
        case UnplugScript::Action::kUnplug:
          meter.Unplug();
          saveState();
          std::printf("unplugged %s\n", meter.SocketPath().c_str());
          std::fflush(stdout);
          break;
        case UnplugScript::Action::kPlug:
          if (meter.Plug())
            std::printf("plugged %s\n", meter.SocketPath().c_str());
          std::fflush(stdout);
          break;
        case UnplugScript::Action::kNone:
          break;
      }
      // Until the first client, look for it often; then wake for the next step.
      wait = script.Next() == std::chrono::steady_clock::time_point::max()
                 ? std::chrono::nanoseconds(meter.Connections() > 0 ? 200'000'000 : 5'000'000)
                 : std::clamp<std::chrono::nanoseconds>(script.Next() - now,
                                                        std::chrono::nanoseconds(0), wait);
    }
    // Finer steps while a replug after the unplug fault is to be timed.
    if (settings.replugAfterMs >= 0)
      wait = std::min(wait, std::chrono::nanoseconds(20'000'000));
    const timespec tick{0, static_cast<long>(wait.count())};
    if (sigtimedwait(&stopSignals, nullptr, &tick) >= 0)
      break;
    if (!settings.unplug.Active() && !toldUnplugged && !meter.IsPlugged()) {
      saveState();
      std::printf("unplugged %s\n", meter.SocketPath().c_str());
      std::fflush(stdout);
      toldUnplugged = true;
      if (settings.replugAfterMs >= 0)
        replugAt = Clock::now() + std::chrono::milliseconds(settings.replugAfterMs);
    }
    if (toldUnplugged && replugAt != Clock::time_point{} && Clock::now() >= replugAt) {
      replugAt = {};
      meter.faults().unplugAfterReports = -1;
      if (meter.Plug()) {
        toldUnplugged = false;
        std::printf("replugged %s\n", meter.SocketPath().c_str());
        std::fflush(stdout);
      }
    }
  }
  meter.Unplug();
  saveState();
  return 0;
}
