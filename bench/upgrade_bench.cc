// Upgrade benchmark: a full upgrade of the 51200-byte application area against an emulated
// meter in this process, with no delay and with 1 ms before each report the meter sends (USB
// full speed), against the floor that the reports exchanged set; and the tolerance search on
// pictures that no tolerance, or only a high one, fits.
//
// Run: build/bench/upgrade_bench [repeats]
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/upgrade_control.h"
#include "meter/logo_conversion.h"
#include "sim/meter_emulator.h"
#include "sim/test_image.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

struct Run {
  double seconds = 0;
  uint64_t hostReports = 0;
  uint64_t meterReports = 0;
  bool succeeded = false;
};

// The reports the meter sends for what it heard: one answer per acknowledged command and one
// frame per 40 bytes read back.
uint64_t MeterReports(const std::vector<sim::MeterEmulator::Command>& history) {
  uint64_t reports = 0;
  for (const auto& c : history) {
    switch (c.code) {
      case 3:
      case 4:
      case 5:
      case 21:
      case 22:
      case 23:
        ++reports;
        break;
      case 11:
        reports += (1024 + 39) / 40;
        break;
      default:
        break;
    }
  }
  return reports;
}

Run Upgrade(const fs::path& folder, const std::string& image, uint32_t delayUs) {
  sim::EmulatorOptions options;
  options.upgradeMode = true;
  sim::VirtualMeter meter(folder, options, "bench");
  meter.Plug();
  meter.faults().reportDelayUs = delayUs;
  AppState state;
  state.deviceInfo.Store(DeviceInfo{{}, 0x15, true});
  MeterLink link;
  link.Configure();
  NullReporter reporter;
  UpgradeControl control(link, state, reporter);
  UpgradeRequest request;
  request.firmwarePath = image;
  Run run;
  const auto start = Clock::now();
  if (control.Request(request))
    control.WaitIdle();
  run.seconds = Seconds(Clock::now() - start);
  run.succeeded = control.LastUpgradeSucceeded();
  meter.WithEmulator([&](sim::MeterEmulator& m) {
    run.hostReports = m.history().size();
    run.meterReports = MeterReports(m.history());
  });
  return run;
}

// The best of `repeats` runs of f, in milliseconds.
template <typename F>
double BestMs(int repeats, F f) {
  double best = 1e9;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    f();
    best = std::min(best, Seconds(Clock::now() - start) * 1000);
  }
  return best;
}

LogoPixels Checkerboard(uint8_t light) {
  LogoPixels pixels(kLogoPixelBytes, 0);
  for (int i = 0; i < 128 * 128; ++i) {
    const uint8_t v = (i + i / 128) % 2 ? light : 0;
    std::fill_n(pixels.begin() + 4 * i, 3, v);
  }
  return pixels;
}

int Main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  char pattern[] = "/tmp/vireo-upgrade-bench-XXXXXX";
  const fs::path folder = mkdtemp(pattern);
  setenv("HIDLINK_VIRTUAL_DIR", folder.c_str(), 1);
  const std::string image = (folder / "fw.lrm").string();
  sim::WriteTestImage(image);

  for (uint32_t delayUs : {0u, 1000u}) {
    Run best;
    best.seconds = 1e9;
    for (int i = 0; i < repeats; ++i) {
      const Run run = Upgrade(folder, image, delayUs);
      if (!run.succeeded)
        std::printf("upgrade failed\n");
      if (run.seconds < best.seconds)
        best = run;
    }
    std::printf(
        "upgrade, %s: %.3f s (best of %d); reports: %llu from the host, %llu from the "
        "meter\n",
        delayUs ? "1 ms per report" : "no delay", best.seconds, repeats,
        static_cast<unsigned long long>(best.hostReports),
        static_cast<unsigned long long>(best.meterReports));
    if (delayUs) {
      const double meterFloor = best.meterReports * 1e-3;
      const double bothFloor = (best.hostReports + best.meterReports) * 1e-3;
      std::printf("  floor, the meter's reports at 1 ms: %.3f s, ratio %.3f\n", meterFloor,
                  best.seconds / meterFloor);
      std::printf("  floor, every report at 1 ms:        %.3f s, ratio %.3f\n", bothFloor,
                  best.seconds / bothFloor);
    }
  }

  int found = 0;
  const LogoPixels none = Checkerboard(255);
  const double noneMs = BestMs(20, [&] { found = FindLogoTolerance(none); });
  std::printf("FindLogoTolerance, no tolerance fits (black and white): %.3f ms, result %d\n",
              noneMs, found);
  const LogoPixels high = Checkerboard(250);
  const double highMs = BestMs(20, [&] { found = FindLogoTolerance(high); });
  std::printf("FindLogoTolerance, fits only at a high tolerance:         %.3f ms, result %d\n",
              highMs, found);
  const double measureMs = BestMs(20, [&] { MeasureLogo(none, 999); });
  std::printf("MeasureLogo, 16384 runs: %.3f ms\n", measureMs);

  std::error_code ec;
  fs::remove_all(folder, ec);
  return 0;
}

}  // namespace
}  // namespace vireo

int main(int argc, char** argv) {
  return vireo::Main(argc, argv);
}
