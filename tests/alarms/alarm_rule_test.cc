// The rule text form: what it means, how it is written back, and where an error points.
#include "alarms/alarm_rule.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace vireo::alarms {
namespace {

struct Written {
  const char* text;
  const char* canonical;
};

class RuleText : public ::testing::TestWithParam<Written> {};

TEST_P(RuleText, MeansWhatItsCanonicalFormSaysAndParsesBackEqual) {
  const RuleParse parsed = ParseAlarmRule(GetParam().text);
  ASSERT_TRUE(parsed.rule) << parsed.error;
  EXPECT_EQ(parsed.rule->Text(), GetParam().canonical);
  const RuleParse again = ParseAlarmRule(parsed.rule->Text());
  ASSERT_TRUE(again.rule) << again.error;
  EXPECT_EQ(*again.rule, *parsed.rule);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RuleText,
    ::testing::Values(Written{"overvolt: voltage > 5.25 for 0.5s clear < 5.20",
                              "overvolt: voltage > 5.25V for 0.5s clear < 5.2V"},
                      Written{"  hot:temp_internal>45C  ", "hot: temp_internal > 45C"},
                      Written{"done: current < 50mA for 1min", "done: current < 0.05A for 60s"},
                      Written{"lost: meter lost for 250ms", "lost: meter lost for 0.25s"},
                      Written{"probe: temp_external <= -5\u00B0C for 1h",
                              "probe: temp_external <= -5C for 3600s"},
                      Written{"d: dminus > 1e-3V", "d: dminus > 0.001V"}));

struct Wrong {
  const char* text;
  int column;
  const char* says;
};

class WrongRule : public ::testing::TestWithParam<Wrong> {};

TEST_P(WrongRule, NamesTheRuleAndTheColumn) {
  const RuleParse parsed = ParseAlarmRule(GetParam().text);
  ASSERT_FALSE(parsed.rule) << GetParam().text;
  EXPECT_EQ(parsed.column, GetParam().column) << parsed.error;
  EXPECT_NE(parsed.error.find(GetParam().says), std::string::npos) << parsed.error;
  EXPECT_NE(parsed.error.find("column " + std::to_string(GetParam().column) + ":"),
            std::string::npos)
      << parsed.error;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WrongRule,
    ::testing::Values(Wrong{"overvolt: volts > 5", 11,
                            "'overvolt', column 11: unknown quantity 'volts'"},
                      Wrong{"overvolt: voltage > 5A", 22, "unit 'A' does not fit voltage (V, mV)"},
                      Wrong{"overvolt: voltage > 5 V", 23, "right after the number"},
                      Wrong{"overvolt: voltage = 5", 19, "expected a comparison"},
                      Wrong{"overvolt: voltage > inf", 21, "expected a number"},
                      Wrong{"x: voltage > 5.25 clear > 5.3", 25, "looks the other way"},
                      Wrong{"x: voltage > 5.25 clear < 5.3", 25, "overlaps"},
                      Wrong{"x: current < 1 for 8d", 21, "unit 'd' does not fit a duration"},
                      Wrong{"x: current < 1 for 700000s", 20, "between 0 and 7 days"},
                      Wrong{"x: current < 1 clear > 2 for 1s", 26, "expected the end"},
                      Wrong{"lost: meter lost", 17, "needs 'for'"},
                      Wrong{"lost: meter lost for 0s", 22, "above 0"},
                      Wrong{"\u00B0C: voltage > 5", 1, "'\u00B0C: voltage > 5', column 1"},
                      Wrong{"hot: temp_internal > 45\u00B0C clear < 40\u00B0K", 37,
                            "unit '\u00B0K' does not fit"}));

TEST(RuleSet, ReadsAFileWithCommentsAndNamesEachBadLineAndRepeatedName) {
  RuleSet set;
  set.AddFile(
      "# alarms of the bench\r\n"
      "overvolt: voltage > 5.25   # the port's limit\r\n"
      "\n"
      "hot: temp_internal > 45\n"
      "hot: temp_external > 45\n"
      "done current < 0.05",
      "a.conf");
  set.Add("lost: meter lost for 5s", "--alarm");
  ASSERT_EQ(set.rules.size(), 3u);
  EXPECT_EQ(set.rules[0].Text(), "overvolt: voltage > 5.25V");
  EXPECT_EQ(set.rules[2].name, "lost");
  ASSERT_EQ(set.errors.size(), 2u);
  EXPECT_EQ(set.errors[0], "a.conf:5: alarm 'hot' is named by an earlier rule too");
  EXPECT_TRUE(set.errors[1].starts_with("a.conf:6: alarm 'done', column 6:")) << set.errors[1];

  // A file that is not there, or not a file, is one error that names it.
  char folder[] = "/tmp/vireo-rules-XXXXXX";
  ASSERT_TRUE(mkdtemp(folder));
  RuleSet missing;
  missing.Load(std::string(folder) + "/none.conf");
  missing.Load(folder);
  ASSERT_EQ(missing.errors.size(), 2u);
  EXPECT_EQ(missing.errors[0], "cannot read the alarms file " + std::string(folder) +
                                   "/none.conf: No such file or directory");
  EXPECT_EQ(missing.errors[1],
            "cannot read the alarms file " + std::string(folder) + ": not a regular file");
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vireo::alarms
