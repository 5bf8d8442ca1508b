// The desktop program as a process: without a display it says so and names the command-line
// tool, instead of ending in an abort; --help and --version need none; the stop signals close
// it as its close button does.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/process.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

TEST(Program, WithoutADisplayItSaysSoAndPointsAtTheCommandLineTool) {
  testing::Process program({VIREO_PROGRAM}, "", kNoDisplay);
  ASSERT_TRUE(program.started());
  EXPECT_EQ(program.Wait(), 1);
  EXPECT_NE(program.err.find("display"), std::string::npos) << program.err;
  EXPECT_NE(program.err.find("vireometer-cli"), std::string::npos) << program.err;
}

TEST(Program, HelpAndVersionNeedNoDisplay) {
  // Qt's own options do not keep --help from being answered.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{VIREO_PROGRAM, "--help"},
        std::vector<std::string>{VIREO_PROGRAM, "-platform", "offscreen", "--help"}}) {
    testing::Process program(args, "", kNoDisplay);
    EXPECT_EQ(program.Wait(), 0) << program.err;
    EXPECT_NE(program.out.find("--demo"), std::string::npos) << program.out;
  }
  testing::Process program({VIREO_PROGRAM, "--version"}, "", kNoDisplay);
  EXPECT_EQ(program.Wait(), 0) << program.err;
  EXPECT_EQ(program.out, "vireometer " VIREO_VERSION "\n");
}

TEST(Program, ThePlatformItIsToldToUseNeedsNoDisplay) {
  // Past the display check to the command line, whose error ends the program once Qt is up.
  testing::Process program({VIREO_PROGRAM, "-platform", "offscreen", "--no-such-option"}, "",
                           kNoDisplay);
  EXPECT_EQ(program.Wait(), 1);
  EXPECT_NE(program.err.find("no-such-option"), std::string::npos) << program.err;
  EXPECT_EQ(program.err.find("DISPLAY"), std::string::npos) << program.err;
}

// True once a socket is found under the folder, or false at the deadline.
bool SocketAppears(const fs::path& folder) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec)) {
      if (entry.is_socket(ec)) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(Program, StopSignalsCloseTheWindowAndRemoveTheDemoMeter) {
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    // The demo meter's folder goes into a private TMPDIR, and must be gone at the end.
    std::string pattern = (fs::temp_directory_path() / "vireo-program-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path tmp = pattern;
    ::setenv("TMPDIR", tmp.c_str(), 1);
    // A shell may start the tests with SIGINT ignored, which the program would keep ignoring.
    ::signal(signal, SIG_DFL);
    testing::Process program({VIREO_PROGRAM, "-platform", "offscreen", "--demo", "--press-start"});
    oldTmp ? ::setenv("TMPDIR", savedTmp.c_str(), 1) : ::unsetenv("TMPDIR");
    ASSERT_TRUE(SocketAppears(tmp)) << program.err;

    program.Signal(signal);
    EXPECT_EQ(program.Wait(), 0) << strsignal(signal) << ": " << program.err;
    for (const auto& entry : fs::directory_iterator(tmp)) {
      EXPECT_FALSE(entry.path().filename().string().starts_with("vireometer-"))
          << strsignal(signal) << ": " << entry.path();
    }
    fs::remove_all(tmp);
  }
}

}  // namespace
}  // namespace vireo
