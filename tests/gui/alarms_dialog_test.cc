// The alarms dialog: rules checked as typed, and the file it writes read back as the command
// line reads it.
#include "gui/alarms_dialog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QTest>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "alarms/alarm_rule.h"

namespace vireo {
namespace {

TEST(AlarmsDialog, RefusesAWrongRuleWithItsColumnAndWritesTheCommandLinesFormat) {
  char pattern[] = "/tmp/vireo-alarms-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  const std::string path = folder / "vireometer" / "alarms.conf";
  std::filesystem::create_directories(folder / "vireometer");
  std::ofstream(path) << "hot: temp_internal > 45C\n"
                         "# disabled: done: current < 50mA for 60s\n"
                         "# a comment of the user's\n";
  TextTable texts;
  AlarmsDialog dialog(texts, path);
  dialog.show();
  ASSERT_EQ(dialog.rows().size(), 2u);
  EXPECT_TRUE(dialog.rows()[0].enabled->isChecked());
  EXPECT_EQ(dialog.rows()[1].rule->text(), "done: current < 50mA for 60s");
  EXPECT_FALSE(dialog.rows()[1].enabled->isChecked());

  QTest::mouseClick(&dialog.addButton(), Qt::LeftButton);
  ASSERT_EQ(dialog.rows().size(), 3u);
  const AlarmsDialog::Row row = dialog.rows()[2];
  QTest::keyClicks(row.rule, "overvolt: voltage >> 5.25");
  EXPECT_FALSE(dialog.okButton().isEnabled());
  EXPECT_FALSE(row.error->isHidden());
  EXPECT_TRUE(row.error->text().contains("column 20")) << row.error->text().toStdString();
  dialog.accept();  // refused: nothing written
  EXPECT_TRUE(dialog.isVisible());

  row.rule->setText("overvolt: voltage > 5.25 for 0.5s clear < 5.20");
  EXPECT_TRUE(dialog.okButton().isEnabled());
  EXPECT_TRUE(row.error->isHidden());
  // Two switched-on rules of one name are refused; switched off, the second is only kept.
  const AlarmsDialog::Row twin = dialog.AddRow({"hot: power > 10W", true});
  EXPECT_FALSE(dialog.okButton().isEnabled());
  EXPECT_TRUE(twin.error->text().contains("hot"));
  twin.enabled->setChecked(false);
  EXPECT_TRUE(dialog.okButton().isEnabled());

  QTest::mouseClick(&dialog.okButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  alarms::RuleSet read;
  read.Load(path);
  EXPECT_EQ(read.errors, std::vector<std::string>{});
  ASSERT_EQ(read.rules.size(), 2u);
  EXPECT_EQ(read.rules[0].Text(), "hot: temp_internal > 45C");
  EXPECT_EQ(read.rules[1],
            *alarms::ParseAlarmRule("overvolt: voltage > 5.25 for 0.5s clear < 5.2").rule);
  std::stringstream written;
  written << std::ifstream(path).rdbuf();
  EXPECT_NE(written.str().find("\n# disabled: done: current < 50mA for 60s\n"), std::string::npos);
  EXPECT_NE(written.str().find("\n# disabled: hot: power > 10W\n"), std::string::npos);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vireo
