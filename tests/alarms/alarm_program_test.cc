// The program of --on-alarm, run for real: what it gets (environment, arguments, a clean signal
// state although the caller blocks the stop signals), and a program that hangs is killed with
// its own children.
#include "alarms/alarm_program.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace vireo::alarms {
namespace {

namespace fs = std::filesystem;

class AlarmProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-alarm-XXXXXX";
    folder_ = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string Script(const std::string& name, const std::string& body) {
    const fs::path path = folder_ / name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void Report(const std::string& line) {
    std::lock_guard lock(mutex_);
    reports_.push_back(line);
  }
  std::vector<std::string> Reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }

  fs::path folder_;
  std::mutex mutex_;
  std::vector<std::string> reports_;
};

TEST_F(AlarmProgramTest, GetsTheEventInItsEnvironmentAndACleanSignalState) {
  // As the commands do: the stop signals blocked, SIGPIPE ignored.
  sigset_t stop, before;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, &before);
  const auto oldPipe = signal(SIGPIPE, SIG_IGN);
  setenv("VIREO_STATE", "stale", 1);
  const std::string out = (folder_ / "out").string();
  const std::string script = Script(
      "env.sh",
      "{ env | grep ^VIREO_ | sort; echo \"args $*\"; grep -E '^Sig(Blk|Ign)' /proc/self/status; "
      "} >> '" +
          out + "'\nexit 4\n");
  std::string why;
  ASSERT_EQ(AlarmProgram::Find(script, why), script);
  {
    AlarmProgram program(script, {script, "one", "two"},
                         [this](const std::string& line) { Report(line); });
    AlarmEvent event{0,        "overvolt", AlarmState::kRaised,      "voltage", 5.3f,
                     "ABCDEF", 0,          1'714'564'800'123'456'789};
    program.Run(event);
    program.Finish();
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  signal(SIGPIPE, oldPipe);
  unsetenv("VIREO_STATE");
  EXPECT_EQ(Read(out),
            "VIREO_ALARM=overvolt\nVIREO_QUANTITY=voltage\nVIREO_SERIAL=ABCDEF\n"
            "VIREO_STATE=raised\nVIREO_TIME=2024-05-01T12:00:00.123456Z\nVIREO_VALUE=5.3\n"
            "args one two\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
  EXPECT_EQ(Reports(),
            std::vector<std::string>{"alarm program " + script + " ended with status 4"});
}

TEST_F(AlarmProgramTest, AProgramThatHangsIsKilledWithItsChildrenAndTheNextStillRuns) {
  const std::string pidFile = (folder_ / "pid").string();
  const std::string ran = (folder_ / "ran").string();
  const std::string script =
      Script("hang.sh", "if [ \"$VIREO_STATE\" = cleared ]; then echo ok > '" + ran +
                            "'; exit 0; fi\nsleep 60 &\necho $! > '" + pidFile + "'\nwait\n");
  AlarmProgram program(
      script, {"hang"}, [this](const std::string& line) { Report(line); },
      std::chrono::milliseconds(300));
  AlarmEvent event{0, "lost", AlarmState::kRaised, kMeterLostQuantity, 5, "ABCDEF", 0, 0};
  program.Run(event);
  event.state = AlarmState::kCleared;
  program.Run(event);  // runs while the first one hangs
  program.Finish();
  EXPECT_EQ(Read(ran), "ok\n");
  EXPECT_EQ(Reports(), std::vector<std::string>{"alarm program hang did not end within 0.3 s; "
                                                "killed it"});
  // The script's sleep went with it: gone, or a zombie waiting for init.
  const std::string pid = Read(pidFile);
  ASSERT_FALSE(pid.empty());
  const fs::path stat = "/proc/" + pid.substr(0, pid.find('\n')) + "/stat";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string state = Read(stat);
  while (!state.empty() && state.find(") Z ") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    state = Read(stat);
  }
  EXPECT_TRUE(state.empty() || state.find(") Z ") != std::string::npos) << state;
}

TEST_F(AlarmProgramTest, FindSearchesPathAndRefusesWhatCannotRun) {
  std::string why;
  EXPECT_EQ(AlarmProgram::Find("sh", why).value_or("").substr(0, 1), "/");
  EXPECT_FALSE(AlarmProgram::Find("no-such-program-here", why));
  EXPECT_EQ(why, "no program no-such-program-here in PATH");
  const std::string plain = Script("plain.txt", "");
  fs::permissions(plain, fs::perms::owner_read);
  EXPECT_FALSE(AlarmProgram::Find(plain, why));
  EXPECT_EQ(why, plain + " is not a program that may be run");
}

}  // namespace
}  // namespace vireo::alarms
