#include "alarms/alarm_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

extern char** environ;

namespace vireo::alarms {

namespace {

constexpr std::string_view kVariables[] = {"VIREO_ALARM=",    "VIREO_STATE=",  "VIREO_VALUE=",
                                           "VIREO_QUANTITY=", "VIREO_SERIAL=", "VIREO_TIME="};

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1'000'000;
}

// "2024-05-01T12:00:00.123456Z".
std::string IsoUtc(int64_t wallNs) {
  const int64_t us = wallNs / 1000 - (wallNs % 1000 < 0);
  const time_t seconds = static_cast<time_t>(us / 1'000'000 - (us % 1'000'000 < 0));
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[48];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%06lldZ",
                static_cast<long long>(us - int64_t{seconds} * 1'000'000));
  return text;
}

std::string ValueText(const AlarmEvent& event) {
  char text[32];
  if (event.quantity == kMeterLostQuantity) {
    std::snprintf(text, sizeof text, "%.3f", event.value);
    return text;
  }
  // The readings are floats: their shortest spelling, as the meter sent them.
  const auto result = std::to_chars(text, text + sizeof text, static_cast<float>(event.value));
  return std::string(text, result.ptr);
}

bool MayRun(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// An owned posix_spawn file-actions object.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace

struct AlarmProgram::Child {
  pid_t pid = -1;
  posix::UniqueFd pidFd;
  int64_t deadlineMs = 0;
  bool killed = false;
};

std::optional<std::string> AlarmProgram::Find(const std::string& program, std::string& why) {
  if (program.empty()) {
    why = "no program given";
    return std::nullopt;
  }
  if (program.find('/') != std::string::npos) {
    if (MayRun(program))
      return program;
    why = program + " is not a program that may be run";
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::string_view folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const size_t colon = folders.find(':');
    const std::string_view folder = folders.substr(0, colon);
    const std::string candidate = (folder.empty() ? "." : std::string(folder)) + "/" + program;
    if (MayRun(candidate))
      return candidate;
    if (colon == std::string_view::npos)
      break;
    folders.remove_prefix(colon + 1);
  }
  why = "no program " + program + " in PATH";
  return std::nullopt;
}

AlarmProgram::AlarmProgram(std::string path, std::vector<std::string> argv,
                           std::function<void(const std::string&)> report,
                           std::chrono::milliseconds timeLimit)
    : path_(std::move(path)),
      argv_(std::move(argv)),
      report_(std::move(report)),
      timeLimit_(timeLimit),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  for (char** e = environ; e && *e; ++e) {
    const std::string_view entry(*e);
    if (std::none_of(std::begin(kVariables), std::end(kVariables),
                     [&](std::string_view v) { return entry.starts_with(v); }))
      environment_.emplace_back(entry);
  }
}

AlarmProgram::~AlarmProgram() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  Wake();
  if (thread_.joinable())
    thread_.join();
}

void AlarmProgram::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
}

void AlarmProgram::Run(const AlarmEvent& event) {
  std::vector<std::string> environment = {
      "VIREO_ALARM=" + event.name,       std::string("VIREO_STATE=") + AlarmStateText(event.state),
      "VIREO_VALUE=" + ValueText(event), "VIREO_QUANTITY=" + std::string(event.quantity),
      "VIREO_SERIAL=" + event.serial,    "VIREO_TIME=" + IsoUtc(event.wallNs),
  };
  {
    std::lock_guard lock(mutex_);
    if (ended_)
      return;
    if (!thread_.joinable()) {
      try {
        if (!wake_)
          throw std::system_error(errno, std::generic_category());
        thread_ = std::thread([this] { Loop(); });
      } catch (const std::system_error& e) {
        ended_ = true;
        report_(std::string("cannot run alarm programs: ") + e.what());
        return;
      }
    }
    waiting_.push_back(std::move(environment));
    ++busy_;
  }
  Wake();
}

void AlarmProgram::Finish() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return busy_ == 0; });
}

bool AlarmProgram::Spawn(const std::vector<std::string>& environment, std::vector<Child>& running) {
  if (running.size() >= kMaxRunning) {
    report_("alarm program " + argv_[0] + " not run: " + std::to_string(kMaxRunning) +
            " of them still run");
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv_)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& e : environment_)
    env.push_back(const_cast<char*>(e.c_str()));
  for (const std::string& e : environment)
    env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  SpawnActions actions;
  posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  // Standard output may carry the rows: the program's output goes to standard error.
  posix_spawn_file_actions_adddup2(actions.get(), 2, 1);
  posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
  SpawnAttributes attributes;
  sigset_t none, all;
  sigemptyset(&none);
  // Every signal back to its default; sigfillset would leave out the two that glibc keeps for
  // itself, and posix_spawn would then hand them on ignored.
  std::memset(&all, 0xFF, sizeof all);
  posix_spawnattr_setsigmask(attributes.get(), &none);
  posix_spawnattr_setsigdefault(attributes.get(), &all);
  posix_spawnattr_setpgroup(attributes.get(), 0);
  posix_spawnattr_setflags(attributes.get(),
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  Child child;
  const int error = posix_spawn(&child.pid, path_.c_str(), actions.get(), attributes.get(),
                                args.data(), env.data());
  if (error != 0) {
    report_("cannot run the alarm program " + path_ + ": " + std::strerror(error));
    return false;
  }
  child.pidFd.Reset(static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0)));
  child.deadlineMs = MonotonicMs() + timeLimit_.count();
  running.push_back(std::move(child));
  return true;
}

void AlarmProgram::Done(size_t count) {
  if (count == 0)
    return;
  std::lock_guard lock(mutex_);
  busy_ -= std::min(busy_, count);
  if (busy_ == 0)
    idle_.notify_all();
}

void AlarmProgram::Loop() {
  std::vector<Child> running;
  std::vector<std::vector<std::string>> starting;
  std::vector<pollfd> fds;
  try {
    for (;;) {
      bool stop = false;
      {
        std::lock_guard lock(mutex_);
        starting.swap(waiting_);
        stop = stop_;
      }
      size_t finished = 0;
      for (const auto& environment : starting)
        finished += Spawn(environment, running) ? 0 : 1;
      starting.clear();
      Done(finished);
      if (running.empty() && stop)
        break;
      const int64_t now = MonotonicMs();
      int64_t next = INT64_MAX;
      fds.assign(1, {wake_.Get(), POLLIN, 0});
      for (const Child& c : running) {
        fds.push_back({c.pidFd.Get(), POLLIN, 0});
        if (!c.killed)
          next = std::min(next, c.deadlineMs);
        if (!c.pidFd)  // no pidfd (an old kernel): look again soon
          next = std::min(next, now + 50);
      }
      const int timeout =
          next == INT64_MAX ? -1 : static_cast<int>(std::clamp<int64_t>(next - now, 0, 60'000));
      if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
        report_(std::string("alarm programs: cannot wait: ") + std::strerror(errno));
        break;
      }
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake_.Get(), &count, sizeof count);
      const int64_t after = MonotonicMs();
      finished = 0;
      for (auto c = running.begin(); c != running.end();) {
        int status = 0;
        const pid_t done = ::waitpid(c->pid, &status, WNOHANG);
        if (done == c->pid || (done < 0 && errno == ECHILD)) {
          if (done == c->pid && !c->killed && WIFEXITED(status) && WEXITSTATUS(status) != 0)
            report_("alarm program " + argv_[0] + " ended with status " +
                    std::to_string(WEXITSTATUS(status)));
          else if (done == c->pid && !c->killed && WIFSIGNALED(status))
            report_("alarm program " + argv_[0] + " ended by signal " +
                    std::to_string(WTERMSIG(status)));
          c = running.erase(c);
          ++finished;
          continue;
        }
        if (!c->killed && after >= c->deadlineMs) {
          // The whole process group: a script's own children go too.
          ::kill(-c->pid, SIGKILL);
          c->killed = true;
          char limit[32];
          std::snprintf(limit, sizeof limit, "%.3g", timeLimit_.count() / 1000.0);
          report_("alarm program " + argv_[0] + " did not end within " + limit + " s; killed it");
        }
        ++c;
      }
      Done(finished);
    }
  } catch (...) {
    report_("alarm programs: out of memory; no more are run");
  }
  // Whatever still runs after a failure is killed rather than left behind unreaped.
  for (Child& c : running) {
    ::kill(-c.pid, SIGKILL);
    ::waitpid(c.pid, nullptr, 0);
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  busy_ = 0;
  idle_.notify_all();
}

}  // namespace vireo::alarms
