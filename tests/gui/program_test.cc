// The desktop program as a process: without a display it says so and names the command-line
// tool, instead of ending in an abort.
#include <gtest/gtest.h>

#include "support/process.h"

namespace vireo {
namespace {

const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

TEST(Program, WithoutADisplayItSaysSoAndPointsAtTheCommandLineTool) {
  testing::Process program({VIREO_PROGRAM}, "", kNoDisplay);
  ASSERT_TRUE(program.started());
  EXPECT_EQ(program.Wait(), 1);
  EXPECT_NE(program.err.find("display"), std::string::npos) << program.err;
  EXPECT_NE(program.err.find("vireometer-cli"), std::string::npos) << program.err;
}

TEST(Program, ThePlatformItIsToldToUseNeedsNoDisplay) {
  // The offscreen platform needs no display; --help ends the program once Qt is up.
  testing::Process program({VIREO_PROGRAM, "-platform", "offscreen", "--help"}, "", kNoDisplay);
  ASSERT_TRUE(program.started());
  EXPECT_EQ(program.Wait(), 0) << program.err;
  EXPECT_NE(program.out.find("--demo"), std::string::npos) << program.out;
}

}  // namespace
}  // namespace vireo
