// Service benchmark: eight emulated meters in this process, each sending 1000 frames/s, served
// by the real `vireometer-cli serve` publishing to a local mosquitto, scraped ten times a
// second. Prints the frames held and lost per meter, the service's CPU share beside the floor
// (eight plain receive loops in the same run), the scrape latency (median, 99th percentile) and
// the MQTT messages per second the broker passed on. With --db the service also records every
// meter into one store: the share of the meters' worker threads (the store's batches) and the
// bytes on disk per sample are printed too.
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/floor.h"
#include "meter/meter_devices.h"
#include "serve/serve_support.h"
#include "sim/meter_emulator.h"
#include "support/process.h"

namespace vireo {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMeters = 8;
// The name serve gives each meter's worker thread (its store and alarms).
constexpr char kWorkerThread[] = "meter-work";

// One plain loop per meter, all at once: what receiving 8 x 1000 reports a second costs.
bench::FloorFigures MeasureFloors(double seconds) {
  const std::vector<MeterDevice> meters = ListMeters();
  std::vector<bench::FloorFigures> figures(meters.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < meters.size(); ++i)
    threads.emplace_back([&, i] { figures[i] = bench::MeasureFloor(seconds, meters[i].path); });
  for (std::thread& t : threads)
    t.join();
  bench::FloorFigures all;
  for (const bench::FloorFigures& f : figures) {
    all.frames += f.frames;
    all.lost += f.lost;
    all.cpuSeconds += f.cpuSeconds;
    all.seconds = std::max(all.seconds, f.seconds);
  }
  return all;
}

int Run(double seconds, double floorSeconds, bool withStore) {
  char pattern[] = "/tmp/vireo-serve-bench-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  setenv("HIDLINK_VIRTUAL_DIR", folder.c_str(), 1);
  std::vector<std::unique_ptr<sim::VirtualMeter>> meters;
  for (int i = 0; i < kMeters; ++i) {
    sim::EmulatorOptions options;
    options.frameIntervalUs = 1000;
    options.serial = std::string("BENCH").append(std::to_string(i));
    meters.push_back(std::make_unique<sim::VirtualMeter>(
        folder, options, std::string("m").append(std::to_string(i))));
    if (!meters.back()->Plug()) {
      std::fprintf(stderr, "cannot plug an emulated meter in %s\n", folder.c_str());
      return 1;
    }
  }
  const bench::FloorFigures floor = MeasureFloors(floorSeconds);

  std::unique_ptr<testing::Process> broker, subscriber;
  std::vector<std::string> serveArgs = {VIREO_CLI, "serve", "--listen", "127.0.0.1:0"};
  const std::filesystem::path store = folder / "bench.db";
  if (withStore)
    serveArgs.insert(serveArgs.end(), {"--db", store.string(), "--min-free", "0"});
  const std::string mosquitto = testing::FindProgram("mosquitto");
  const std::string sub = testing::FindProgram("mosquitto_sub");
  if (!mosquitto.empty() && !sub.empty()) {
    const std::string port = std::to_string(testing::FreePort());
    std::ofstream(folder / "mosquitto.conf")
        << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
    broker = std::make_unique<testing::Process>(
        std::vector<std::string>{mosquitto, "-c", (folder / "mosquitto.conf").string()});
    for (const auto deadline = Clock::now() + std::chrono::seconds(10);
         broker->err.find(" running") == std::string::npos && Clock::now() < deadline;)
      broker->Wait(std::chrono::milliseconds(20));
    subscriber = std::make_unique<testing::Process>(
        std::vector<std::string>{sub, "-h", "127.0.0.1", "-p", port, "-t", "vireometer/+/state"});
    serveArgs.insert(serveArgs.end(), {"--mqtt", "mqtt://127.0.0.1:" + port});
  } else {
    std::fprintf(stderr, "mosquitto is not installed: no MQTT figures\n");
  }

  std::vector<uint32_t> sentBefore(kMeters);
  for (int i = 0; i < kMeters; ++i)
    meters[i]->WithEmulator([&](sim::MeterEmulator& e) { sentBefore[i] = e.framesSent(); });
  testing::Process serve(serveArgs);
  std::string base;
  for (const auto deadline = Clock::now() + std::chrono::seconds(10);
       base.empty() && Clock::now() < deadline;) {
    serve.Wait(std::chrono::milliseconds(20));
    if (const size_t at = serve.err.find("listening on ");
        at != std::string::npos && serve.err.find('\n', at) != std::string::npos)
      base = serve.err.substr(at + 13, serve.err.find(' ', at + 13) - at - 13);
  }
  if (base.empty()) {
    std::fprintf(stderr, "serve did not start: %s\n", serve.err.c_str());
    return 1;
  }
  // Every meter streams before the clock starts.
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = serve.err.find(what); at != std::string::npos;
         at = serve.err.find(what, at + 1))
      ++n;
    return n;
  };
  while (count(" streaming\n") < kMeters)
    serve.Wait(std::chrono::milliseconds(20));
  const double cpuStart = serve.CpuSeconds();
  const double workStart = serve.ThreadCpuSeconds(kWorkerThread);
  const auto start = Clock::now();
  std::vector<double> latencies;
  for (auto next = start; Clock::now() - start < std::chrono::duration<double>(seconds);) {
    next += std::chrono::milliseconds(100);
    const auto t0 = Clock::now();
    const testing::HttpReply reply = testing::HttpGet(base + "/metrics");
    if (reply.status == 200)
      latencies.push_back(std::chrono::duration<double>(Clock::now() - t0).count() * 1e3);
    serve.Wait(std::chrono::milliseconds(1));
    if (subscriber)
      subscriber->Wait(std::chrono::milliseconds(1));
    std::this_thread::sleep_until(next);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = serve.CpuSeconds() - cpuStart;
  const double work = serve.ThreadCpuSeconds(kWorkerThread) - workStart;
  const size_t mqttLines =
      subscriber ? std::count(subscriber->out.begin(), subscriber->out.end(), '\n') : 0;
  serve.Signal(SIGTERM);
  serve.Wait();

  std::printf("serve bench: %d emulated meters at 1000 frames/s, %.0f s served, %.0f s floor\n",
              kMeters, seconds, floorSeconds);
  std::printf("%-8s %8.0f frames/s  lost %llu  CPU share %5.1f%% of one core\n", "floor",
              floor.frames / floor.seconds, static_cast<unsigned long long>(floor.lost),
              100 * floor.cpuSeconds / floor.seconds);
  std::printf("%-8s CPU share %5.1f%% of one core (%.2f x the floor)\n", "serve", 100 * cpu / wall,
              (cpu / wall) / (floor.cpuSeconds / floor.seconds));
  unsigned long long samples = 0;
  if (withStore) {
    // The samples of every session, as `sessions --json` counts them.
    testing::Process sessions({VIREO_CLI, "sessions", store.string(), "--json"});
    sessions.Wait();
    for (size_t at = sessions.out.find("\"samples\":"); at != std::string::npos;
         at = sessions.out.find("\"samples\":", at + 1))
      samples += std::stoull(sessions.out.substr(at + 10));
    std::error_code ec;
    uintmax_t bytes = 0;
    for (const char* suffix : {"", "-wal", "-shm"}) {
      const uintmax_t size = std::filesystem::file_size(store.string() + suffix, ec);
      bytes += ec ? 0 : size;
    }
    std::printf(
        "%-8s CPU share %5.1f%% of one core (%.1f%% of serve), %llu samples, %.1f bytes "
        "per sample\n",
        "store", 100 * work / wall, 100 * work / cpu, samples,
        samples ? static_cast<double>(bytes) / samples : 0.0);
  }
  for (int i = 0; i < kMeters; ++i) {
    uint32_t sent = 0;
    meters[i]->WithEmulator([&](sim::MeterEmulator& e) { sent = e.framesSent(); });
    const std::string serial = "BENCH" + std::to_string(i);
    std::string reversed(serial.rbegin(), serial.rend());
    // The meter's summary at the end: "meter SERIAL: N frames, ...".
    const std::string prefix = "meter " + reversed + ": ";
    size_t at = serve.err.find(prefix);
    while (at != std::string::npos &&
           !std::isdigit(static_cast<unsigned char>(
               serve.err[std::min(serve.err.size() - 1, at + prefix.size())])))
      at = serve.err.find(prefix, at + 1);
    const unsigned long long held =
        at == std::string::npos ? 0 : std::stoull(serve.err.substr(at + prefix.size()));
    const unsigned long long total = sent - sentBefore[i];
    std::printf("meter %s  held %llu frames  lost %lld\n", reversed.c_str(), held,
                static_cast<long long>(total) - static_cast<long long>(held));
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    std::printf("scrapes  %zu  latency median %.2f ms  p99 %.2f ms\n", latencies.size(),
                latencies[latencies.size() / 2],
                latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)]);
  }
  if (subscriber) {
    std::printf("MQTT     %.1f state messages/s received\n", mqttLines / wall);
    if (mqttLines == 0)
      std::fprintf(stderr, "%s%s", serve.err.c_str(), subscriber->err.c_str());
  }
  meters.clear();
  std::filesystem::remove_all(folder);
  return 0;
}

}  // namespace
}  // namespace vireo

int main(int argc, char** argv) {
  const bool withStore = argc > 1 && std::string(argv[1]) == "--db";
  if (withStore) {
    --argc;
    ++argv;
  }
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
  const double floorSeconds = argc > 2 ? std::atof(argv[2]) : 10.0;
  return vireo::Run(seconds > 0 ? seconds : 60.0, floorSeconds > 0 ? floorSeconds : 10.0,
                    withStore);
}
