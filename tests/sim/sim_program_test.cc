// vireometer-sim as a program: its command line, its "serving" line, its socket and its exit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "meter/product_constants.h"
#include "sim/sim_args.h"
#include "sim_test_util.h"

extern char** environ;

namespace vireo::sim {
namespace {

using namespace std::chrono_literals;

// A running vireometer-sim with its stdout and stderr on pipes; killed if still running.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args, bool withVirtualDir = true) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      return;
    out_.Reset(out[0]);
    err_.Reset(err[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> argStrings = {VIREOMETER_SIM_PATH};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (withVirtualDir || std::strncmp(*e, "HIDLINK_VIRTUAL_DIR=", 20) != 0)
        env.push_back(*e);
    }
    env.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), env.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
  }
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Reads stdout until it holds a whole line, or the deadline passes.
  std::string ReadLine(std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    size_t nl;
    while ((nl = stdout_.find('\n')) == std::string::npos) {
      if (!out_ || !Pump(deadline))
        return {};
    }
    std::string line = stdout_.substr(0, nl);
    stdout_.erase(0, nl + 1);
    return line;
  }

  // Waits until the program ends (its pipes close) and returns its exit status, or -1.
  int Wait(std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (out_ || err_) {
      if (!Pump(deadline))
        return -1;
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void Signal(int signal) { ::kill(pid_, signal); }
  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  // Reads what the pipes hold once; false when the deadline passed first.
  bool Pump(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms)
      return false;
    pollfd p[2] = {{out_.Get(), POLLIN, 0}, {err_.Get(), POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(left.count())) <= 0)
      return false;
    Drain(p[0], out_, stdout_);
    Drain(p[1], err_, stderr_);
    return true;
  }
  static void Drain(const pollfd& p, hidlink::UniqueFd& fd, std::string& into) {
    if (p.revents == 0)
      return;
    char buffer[4096];
    const ssize_t n = ::read(fd.Get(), buffer, sizeof(buffer));
    if (n <= 0) {
      fd.Reset();
    } else {
      into.append(buffer, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  hidlink::UniqueFd out_, err_;
  std::string stdout_, stderr_;
};

TEST(SimProgram, ServesUntilSigtermThenRemovesItsSocketAndExitsZero) {
  test::TempDir dir;
  SimProcess sim({"--dir", dir.path().string(), "--name", "e2e", "--serial", "KQ42ZX"});
  const std::string line = sim.ReadLine();
  const std::filesystem::path socket = dir.path() / "hid-0716-5027-0100-e2e.sock";
  ASSERT_EQ(line, "serving " + socket.string());
  ASSERT_TRUE(std::filesystem::is_socket(socket));

  // The serial given on the command line is what the identity block descrambles to.
  test::Client client(socket);
  ASSERT_EQ(client.Receive(5s), std::vector<uint8_t>{0x01});
  ASSERT_TRUE(client.SendReport(test::Request(10, test::Address(0x080030DC, {36}))));
  const auto reply = client.ReceiveFrame();
  ASSERT_TRUE(reply.has_value());
  std::string serial;
  for (int i = 30; i < 36; ++i)
    serial += static_cast<char>(kIdentityTable[(*reply)[10 + i]]);
  EXPECT_EQ(serial, "KQ42ZX");

  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST(SimProgram, HelpExitsZero) {
  SimProcess sim({"--help"});
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_NE(sim.out().find("--serial"), std::string::npos);
}

class SimUsageError : public testing::TestWithParam<std::vector<std::string>> {};
TEST_P(SimUsageError, ExitsTwoWithAMessage) {
  test::TempDir dir;
  std::vector<std::string> args = {"--dir", dir.path().string()};
  args.insert(args.end(), GetParam().begin(), GetParam().end());
  SimProcess sim(args);
  EXPECT_EQ(sim.Wait(), 2);
  EXPECT_FALSE(sim.err().empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}
INSTANTIATE_TEST_SUITE_P(Args, SimUsageError,
                         testing::Values(std::vector<std::string>{"--serial", "ABCDE"},
                                         std::vector<std::string>{"--serial", "ABCDEFG"},
                                         std::vector<std::string>{"--records", "353"},
                                         std::vector<std::string>{"--version-byte", "256"},
                                         std::vector<std::string>{"--name", "../up"},
                                         std::vector<std::string>{"--unplug-after", "0"},
                                         std::vector<std::string>{"--records"},
                                         std::vector<std::string>{"--no-such-option"}));

TEST(SimProgram, WithoutAFolderItIsAUsageError) {
  SimProcess sim({}, false);
  EXPECT_EQ(sim.Wait(), 2);
}

TEST(SimArgs, ValuesReachTheOptionsAndFaults) {
  const auto parsed = ParseSimArgs(
      {"--version-byte", "0x1A", "--records=352", "--frame-interval-ms", "2.5", "--probe", "-5",
       "--upgrade-mode", "--bad-checksum-every", "4", "--unplug-after", "7"},
      "/tmp/devices");
  ASSERT_TRUE(parsed.settings.has_value()) << parsed.error;
  const SimSettings& s = *parsed.settings;
  EXPECT_EQ(s.dir, "/tmp/devices");
  EXPECT_EQ(s.options.versionByte, 0x1A);
  EXPECT_EQ(s.options.recordCount, 352u);
  EXPECT_EQ(s.options.frameIntervalUs, 2500u);
  EXPECT_EQ(s.options.probeCelsius, -5.0f);
  EXPECT_TRUE(s.options.upgradeMode);
  Faults faults;
  ApplyFaults(s, faults);
  EXPECT_EQ(faults.badChecksumEvery, 4u);
  EXPECT_EQ(faults.unplugAfterReports, 7);
  EXPECT_FALSE(faults.silent);
}

}  // namespace
}  // namespace vireo::sim
