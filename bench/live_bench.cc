// Live stream benchmark: an emulated meter in this process on a virtual device, read through
// hidlink, MeterLink and PollStep. Prints frames per second, CPU time per frame of the
// reading thread, its CPU share at 1000 frames/s, and the frames lost; then what the alarm
// engine with 20 rules adds at 1000 frames/s, fed as the commands feed it.
#include <stdlib.h>
#include <time.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "acquire/frame_queue.h"
#include "acquire/live_stream.h"
#include "alarms/alarm_engine.h"
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

// Twenty rules of the kinds users write: bands with durations and clear levels on every
// quantity, a "done" rule, a probe, the meter lost; one is raised all the time.
std::vector<alarms::AlarmRule> TwentyRules() {
  const char* texts[] = {"v_hi: voltage > 5.25 for 0.5s clear < 5.2",
                         "v_lo: voltage < 4.75 for 0.5s clear > 4.8",
                         "i_hi: current > 3 for 1s clear < 2.5",
                         "done: current < 0.05 for 60s",
                         "p_hi: power > 15W for 1s",
                         "p_lo: power < 10mW for 5s",
                         "dp_hi: dplus > 3.3",
                         "dp_lo: dplus < 0.1 for 1s",
                         "dm_hi: dminus > 3.3",
                         "dm_lo: dminus < 0.1 for 1s",
                         "hot: temp_internal > 45C clear < 40C",
                         "cold: temp_internal < 0C",
                         "probe_hot: temp_external > 60 for 10s",
                         "probe_cold: temp_external < 5",
                         "vf_hi: voltage_fast > 5.5 for 20ms",
                         "vf_lo: voltage_fast < 4.5 for 20ms",
                         "if_hi: current_fast > 3.5 for 20ms",
                         "if_lo: current_fast < -0.1 for 20ms",
                         "on: voltage > 1",
                         "lost: meter lost for 5s"};
  std::vector<alarms::AlarmRule> rules;
  for (const char* text : texts)
    rules.push_back(*alarms::ParseAlarmRule(text).rule);
  return rules;
}

struct EventCount final : alarms::AlarmListener {
  void OnAlarm(const alarms::AlarmEvent&) override { ++events; }
  uint64_t events = 0;
};

// The stream at 1000 frames/s on this thread, with a FrameQueue drained on a consumer thread
// as the commands do (poll, take, then each frame to the engine and a tick); without rules the
// consumer only drains. CPU seconds are those of both threads.
Figures MeasureWithConsumer(const std::filesystem::path& folder, double seconds,
                            std::vector<alarms::AlarmRule> rules) {
  sim::EmulatorOptions options;
  options.frameIntervalUs = 1000;
  sim::VirtualMeter meter(folder, options, "bench");
  meter.Plug();
  MeterLink link;
  link.Configure();
  FrameQueue queue;
  LiveStream stream(link);
  stream.Subscribe(queue);
  EventCount heard;
  alarms::AlarmEngine engine(std::move(rules), heard);
  std::atomic<bool> stop{false};
  double consumerCpu = 0;
  Figures f;
  std::thread consumer([&] {
    std::vector<TimedReadings> frames;
    while (!stop.load()) {
      pollfd fd{queue.WakeFd(), POLLIN, 0};
      ::poll(&fd, 1, 100);
      queue.Take(frames);
      f.frames += frames.size();
      for (const TimedReadings& frame : frames)
        engine.OnFrame(frame);
      if (!engine.rules().empty())
        engine.OnTick(ClockNs(CLOCK_BOOTTIME), ClockNs(CLOCK_REALTIME));
    }
    consumerCpu = ThreadCpuSeconds();
  });
  link.Open();
  const double start = Now(), cpuStart = ThreadCpuSeconds();
  while (Now() - start < seconds)
    stream.PollStep();
  f.cpuSeconds = ThreadCpuSeconds() - cpuStart;
  f.seconds = Now() - start;
  stop = true;
  consumer.join();
  f.cpuSeconds += consumerCpu;
  f.lost = queue.dropped();
  link.Close();
  return f;
}

// The engine alone: CPU time per frame with 20 rules over frames whose values wander.
double EngineNsPerFrame(double seconds) {
  EventCount heard;
  alarms::AlarmEngine engine(TwentyRules(), heard);
  TimedReadings frame;
  frame.serial = "BENCH1";
  frame.readings.tempExternal = -60;
  uint64_t n = 0;
  const double start = Now(), cpuStart = ThreadCpuSeconds();
  while (Now() - start < seconds) {
    for (int i = 0; i < 1000; ++i, ++n) {
      const float wave = static_cast<float>((n % 4000) / 4000.0);
      frame.readings.voltage = 4.7f + 0.6f * wave;
      frame.readings.voltageFast = frame.readings.voltage;
      frame.readings.current = 3.2f * wave;
      frame.readings.currentFast = frame.readings.current;
      frame.readings.power = frame.readings.voltage * frame.readings.current;
      frame.readings.tempInternal = 30 + 20 * wave;
      frame.monotonicNs = static_cast<int64_t>(n) * 1'000'000;
      engine.OnFrame(frame);
    }
  }
  return (ThreadCpuSeconds() - cpuStart) / static_cast<double>(n) * 1e9;
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
  {
    const Figures drained = MeasureWithConsumer(folder, seconds, {});
    Print("queue", "1000/s", drained);
    const Figures alarmed = MeasureWithConsumer(folder, seconds, TwentyRules());
    Print("alarms", "1000/s", alarmed);
    const double engineNs = EngineNsPerFrame(seconds);
    std::printf(
        "alarm engine, 20 rules: %.0f ns CPU/frame, %.3f%% of a core at 1000 frames/s; "
        "stream, queue and consumer with the rules %+.2f%% of a core against without\n",
        engineNs, engineNs * 1000 / 1e9 * 100,
        100.0 * (alarmed.cpuSeconds / alarmed.seconds - drained.cpuSeconds / drained.seconds));
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
