// The log's colours, written out: the log view and the terminal both take them from StyleOf.
#include <gtest/gtest.h>

#include "app/reporter.h"

namespace vireo {
namespace {

struct Expected {
  int level;
  int red, green, blue;
  bool bold;
};

class LogStyles : public ::testing::TestWithParam<Expected> {};

TEST_P(LogStyles, EachLevelHasItsColourAndWeight) {
  const Expected& e = GetParam();
  const LogStyle style = StyleOf(static_cast<LogLevel>(e.level));
  EXPECT_EQ(style.red, e.red);
  EXPECT_EQ(style.green, e.green);
  EXPECT_EQ(style.blue, e.blue);
  EXPECT_EQ(style.bold, e.bold);
}

INSTANTIATE_TEST_SUITE_P(
    EveryLevel, LogStyles,
    ::testing::Values(Expected{0, 64, 131, 242, false}, Expected{1, 128, 186, 1, false},
                      Expected{2, 204, 204, 17, true}, Expected{3, 219, 6, 1, true},
                      // Any other level is shown as an error.
                      Expected{4, 219, 6, 1, true}, Expected{9, 219, 6, 1, true},
                      Expected{-1, 219, 6, 1, true}, Expected{1000, 219, 6, 1, true}),
    [](const auto& test) {
      const int level = test.param.level;
      return (level < 0 ? "minus" : "level") + std::to_string(std::abs(level));
    });

TEST(LogStyles, TheNamedLevelsAreTheNumbersOfTheLog) {
  EXPECT_EQ(static_cast<int>(LogLevel::kNormal), 0);
  EXPECT_EQ(static_cast<int>(LogLevel::kSuccess), 1);
  EXPECT_EQ(static_cast<int>(LogLevel::kWarning), 2);
  EXPECT_EQ(static_cast<int>(LogLevel::kError), 3);
}

}  // namespace
}  // namespace vireo
