// Runs the real programs for end-to-end tests: spawn with arguments, environment and working
// folder, capture standard output and error, wait with a deadline.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace vireo::testing {

class Process {
 public:
  // `unset` names environment variables the child does not inherit. With `stdoutFile`, the
  // child's standard output goes to that file instead of `out`.
  Process(const std::vector<std::string>& argv, const std::string& workingFolder = "",
          const std::vector<std::string>& unset = {}, const std::string& stdoutFile = "") {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
      return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFile.empty()) {
      posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(), O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!workingFolder.empty())
      posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
    std::vector<char*> args;
    for (const std::string& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry(*e);
      const bool drop = std::any_of(unset.begin(), unset.end(), [&](const std::string& name) {
        return entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=';
      });
      if (!drop)
        env.push_back(*e);
    }
    env.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    out_ = outPipe[0];
    err_ = errPipe[0];
  }
  ~Process() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
    if (out_ >= 0)
      close(out_);
    if (err_ >= 0)
      close(err_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Reads output until the process ends or the deadline passes; returns the exit status
  // (-1 on time-out, 128 + signal when it was killed).
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (status_ < 0 && std::chrono::steady_clock::now() < deadline) {
      Pump(20);
      int status = 0;
      rusage usage{};
      if (wait4(pid_, &status, WNOHANG, &usage) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        cpuSeconds_ = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
      }
    }
    while (status_ >= 0 && Pump(0)) {
    }
    return status_;
  }

  // Reads output until stdout contains text or the deadline passes.
  bool WaitForOutput(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      Pump(20);
    }
    return true;
  }

  // Takes the first whole line of stdout, waiting for it until the deadline; empty if none.
  std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    if (!WaitForOutput("\n", timeout))
      return {};
    const size_t end = out.find('\n');
    std::string line = out.substr(0, end);
    out.erase(0, end + 1);
    return line;
  }

  void Signal(int signal) { kill(pid_, signal); }
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // CPU time (user and system) the process has used: in all once Wait has seen it end, so far
  // while it runs.
  double CpuSeconds() const {
    if (status_ >= 0)
      return cpuSeconds_;
    return StatCpuSeconds("/proc/" + std::to_string(pid_) + "/stat");
  }
  // CPU time so far of the running process's threads that carry this name.
  double ThreadCpuSeconds(const std::string& name) const {
    double seconds = 0;
    std::error_code ec;
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
      std::ifstream comm(task.path() / "comm");
      std::string taskName;
      if (std::getline(comm, taskName) && taskName == name)
        seconds += StatCpuSeconds((task.path() / "stat").string());
    }
    return seconds;
  }

  std::string out;
  std::string err;

 private:
  // User and system time of a /proc stat file.
  static double StatCpuSeconds(const std::string& path) {
    std::ifstream stat(path);
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name in parentheses: state is the 3rd, utime and stime the
    // 14th and 15th.
    std::istringstream fields(text.substr(std::min(text.size(), text.rfind(')') + 2)));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14)
        ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

  // Reads what is there; true if anything was read.
  bool Pump(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0)
      return false;
    bool any = false;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP)))
        continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? out : err).append(buffer, n);
        any = true;
      }
    }
    return any;
  }

  static double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

  pid_t pid_ = -1;
  double cpuSeconds_ = 0;
  int out_ = -1;
  int err_ = -1;
  int status_ = -1;
};

}  // namespace vireo::testing
