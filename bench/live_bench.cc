// Live stream benchmark: an emulated meter in this process on a virtual device, read through
// hidlink, MeterLink and PollStep. Prints frames per second, CPU time per frame of the
// reading thread, its CPU share at 1000 frames/s, and the frames lost.
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "acquire/live_stream.h"
#include "bench/floor.h"
#include "hidlink/hidlink.h"
#include "meter/meter_link.h"
#include "sim/meter_emulator.h"

namespace vireo {
namespace {

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Figures {
  uint64_t frames = 0;
  double seconds = 0;
  double cpuSeconds = 0;
  uint64_t lost = 0;
};

void Print(const char* name, const char* pace, const Figures& f) {
  std::printf(
      "%-10s %-12s %8.0f frames/s  %6.2f us CPU/frame  CPU share %5.1f%%  lost %llu of %llu\n",
      name, pace, f.frames / f.seconds, f.frames ? f.cpuSeconds / f.frames * 1e6 : 0.0,
      100.0 * f.cpuSeconds / f.seconds, static_cast<unsigned long long>(f.lost),
      static_cast<unsigned long long>(f.frames + f.lost));
}

// Runs one way of reading for a while against a fresh meter and counts what arrived. The
// reader returns the frame number (spare1) of a frame it received, or -1.
Figures Measure(const std::filesystem::path& folder, uint32_t intervalUs, double seconds,
                const std::function<long(MeterLink&)>& readOne, bool keepRequesting) {
  sim::EmulatorOptions options;
  options.frameIntervalUs = intervalUs;
  sim::VirtualMeter meter(folder, options, "bench");
  meter.Plug();
  MeterLink link;
  link.Configure();
  link.Open();
  Figures f;
  long expected = 0;
  int sinceRequest = 0;
  if (keepRequesting)
    link.RequestReadings();
  const double start = Now(), cpuStart = ThreadCpuSeconds();
  while (Now() - start < seconds) {
    // Ask for more before the meter runs out, as the live stream does every 20 frames.
    if (keepRequesting && ++sinceRequest == 20) {
      sinceRequest = 0;
      link.RequestReadings();
    }
    const long n = readOne(link);
    if (n < 0)
      continue;
    if (n > expected)
      f.lost += n - expected;
    expected = n + 1;
    ++f.frames;
  }
  f.cpuSeconds = ThreadCpuSeconds() - cpuStart;
  f.seconds = Now() - start;
  link.Close();
  return f;
}

int Run(double seconds) {
  char pattern[] = "/tmp/vireo-bench-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  setenv("HIDLINK_VIRTUAL_DIR", folder.c_str(), 1);

  const auto viaHidlink = [](MeterLink& link) -> long {
    uint8_t report[64];
    uint32_t count = 0;
    if (!QelHidRead(link.handle, report, 64, &count, 100))
      return -1;
    return static_cast<long>(ReadingsRecord::FromBytes(report + 10).spare1);
  };
  const auto viaMeterLink = [](MeterLink& link) -> long {
    ReadingsRecord r;
    return link.ReceiveReadings(r) ? static_cast<long>(r.spare1) : -1;
  };

  std::printf("live stream, %.0f s per figure\n", seconds);
  for (const uint32_t interval : {0u, 1000u}) {
    const char* pace = interval ? "1000/s" : "fastest";
    Print("hidlink", pace, Measure(folder, interval, seconds, viaHidlink, true));
    Print("MeterLink", pace, Measure(folder, interval, seconds, viaMeterLink, true));

    // PollStep as the stream's thread runs it, including its requests, with one subscriber.
    Figures f;
    long expected = 0;
    {
      sim::EmulatorOptions options;
      options.frameIntervalUs = interval;
      sim::VirtualMeter meter(folder, options, "bench");
      meter.Plug();
      MeterLink link;
      link.Configure();
      struct Counter final : FrameSubscriber {
        Figures& f;
        long& expected;
        Counter(Figures& figures, long& next) : f(figures), expected(next) {}
        void OnFrame(const TimedReadings& frame) noexcept override {
          const long n = static_cast<long>(frame.readings.spare1);
          if (n > expected)
            f.lost += n - expected;
          expected = n + 1;
          ++f.frames;
        }
      } counter(f, expected);
      LiveStream stream(link);
      stream.Subscribe(counter);
      link.Open();
      const double start = Now(), cpuStart = ThreadCpuSeconds();
      while (Now() - start < seconds)
        stream.PollStep();
      f.cpuSeconds = ThreadCpuSeconds() - cpuStart;
      f.seconds = Now() - start;
      link.Close();
    }
    Print("PollStep", pace, f);
  }
  {
    // The floor: only receiving the same reports, at 1000/s.
    sim::EmulatorOptions options;
    options.frameIntervalUs = 1000;
    sim::VirtualMeter meter(folder, options, "bench");
    meter.Plug();
    const bench::FloorFigures floor = bench::MeasureFloor(seconds);
    Print("floor", "1000/s", {floor.frames, floor.seconds, floor.cpuSeconds, floor.lost});
  }
  std::filesystem::remove_all(folder);
  return 0;
}

}  // namespace
}  // namespace vireo

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  return vireo::Run(seconds > 0 ? seconds : 3.0);
}
