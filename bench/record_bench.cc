// Recording benchmark: vireometer-sim sends a frame every millisecond; the recorder records
// them into a store for a while. Prints the frames per second held, the frames lost, the
// recorder's CPU share (the whole process: live-poll worker and recorder) and the bytes on disk
// per sample, beside the floor measured in the same run: a loop that only receives the same
// reports.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/app_state.h"
#include "app/reporter.h"
#include "bench/floor.h"
#include "record/recorder.h"

extern char** environ;

namespace vireo {
namespace {

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// vireometer-sim on its own, so that its CPU time is not counted here; returns once it serves.
pid_t StartSim(const std::filesystem::path& folder) {
  const std::string dir = folder.string();
  const char* argv[] = {VIREO_SIM, "--dir", dir.c_str(), "--frame-interval-ms", "1", nullptr};
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0)
    return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t pid = -1;
  if (posix_spawn(&pid, VIREO_SIM, &actions, nullptr, const_cast<char**>(argv), environ) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string said;
  char buffer[256];
  for (ssize_t n; pid > 0 && said.find('\n') == std::string::npos &&
                  (n = read(out[0], buffer, sizeof buffer)) > 0;)
    said.append(buffer, n);
  close(out[0]);
  return said.starts_with("serving") ? pid : -1;
}

int Run(double seconds, double floorSeconds) {
  char pattern[] = "/tmp/vireo-record-bench-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  setenv("HIDLINK_VIRTUAL_DIR", folder.c_str(), 1);
  const pid_t sim = StartSim(folder);
  if (sim < 0) {
    std::fprintf(stderr, "cannot start %s\n", VIREO_SIM);
    return 1;
  }

  const bench::FloorFigures floor = bench::MeasureFloor(floorSeconds);

  const std::string db = (folder / "bench.db").string();
  auto store = std::make_unique<record::RecordStore>();
  if (store->OpenForRecording(db).error != record::StoreError::kNone)
    return 1;
  AppState state;
  NullReporter reporter;
  MeterLink link;
  link.Configure();
  record::RecorderOptions options;
  options.minFreeBytes = 0;
  options.watchFolders = {folder.string()};
  record::Recorder recorder(link, state, reporter, options, store.get(), {},
                            [](const std::string&) {});
  const int stop = eventfd(0, EFD_CLOEXEC);
  std::thread timer([&] {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(stop, &one, sizeof one);
  });
  const double cpuStart = ProcessCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  const record::RecordResult result = recorder.Run(stop);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = ProcessCpuSeconds() - cpuStart;
  timer.join();
  close(stop);
  store.reset();  // closes the database, which folds the journal into it

  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  if (result.sessions.empty()) {
    std::fprintf(stderr, "nothing was recorded\n");
    return 1;
  }
  const record::Summary& s = result.sessions[0].end.summary;
  const auto bytes = std::filesystem::file_size(db);
  std::printf("record bench: 1 frame per ms from vireometer-sim, %.0f s recording, %.0f s floor\n",
              seconds, floorSeconds);
  std::printf("%-9s %8.0f frames/s  lost %llu of %llu  CPU share %5.2f%% of one core\n", "floor",
              floor.frames / floor.seconds, static_cast<unsigned long long>(floor.lost),
              static_cast<unsigned long long>(floor.frames + floor.lost),
              100 * floor.cpuSeconds / floor.seconds);
  std::printf(
      "%-9s %8.0f frames/s  lost %lld of %lld  CPU share %5.2f%% of one core  %.1f bytes per "
      "sample on disk (%llu bytes, %lld samples)\n",
      "recorder", s.samples / s.durationSeconds, static_cast<long long>(s.framesLost.value_or(-1)),
      static_cast<long long>(s.samples + s.framesLost.value_or(0)), 100 * cpu / wall,
      static_cast<double>(bytes) / s.samples, static_cast<unsigned long long>(bytes),
      static_cast<long long>(s.samples));
  std::filesystem::remove_all(folder);
  return 0;
}

}  // namespace
}  // namespace vireo

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
  const double floorSeconds = argc > 2 ? std::atof(argv[2]) : 10.0;
  return vireo::Run(seconds > 0 ? seconds : 60.0, floorSeconds > 0 ? floorSeconds : 10.0);
}
