// The readings page as a widget: labels from the text table, fields refreshed from the current
// readings on the timer, their colours on black, and the Fahrenheit checkbox.
#include "pages/readings/readings_page.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>

namespace vireo {
namespace {

class ReadingsPageTest : public ::testing::Test {
 protected:
  ReadingsPageTest() {
    record_.voltage = 5.123456f;
    record_.current = 2.0f;
    record_.power = 10.25f;
    record_.dPlus = 0.598f;
    record_.dMinus = 2.7f;
    record_.tempInternal = 25.3f;
    record_.tempExternal = -60.0f;
  }

  QString Text(ReadingsPage& page, ReadingsPage::Field field) { return page.field(field).text(); }

  AppState state_;
  ReadingsRecord record_;
};

TEST_F(ReadingsPageTest, LabelsComeFromTheTextTableWithAColon) {
  state_.texts.texts[TXT_VOLTAGE] = "Voltage";
  state_.texts.texts[TXT_FAHRENHEIT] = "Fahrenheit";
  state_.texts.texts[TXT_DPLUS] = "<b>D+</b>";
  ReadingsPage page(state_);
  EXPECT_EQ(page.label(ReadingsPage::kVoltage).text(), "Voltage:");
  EXPECT_EQ(page.fahrenheitBox().text(), "Fahrenheit");
  // Shown as it stands, never as markup.
  EXPECT_EQ(page.label(ReadingsPage::kDPlus).text(), "<b>D+</b>:");
  EXPECT_EQ(page.label(ReadingsPage::kDPlus).textFormat(), Qt::PlainText);
  // A slot the language file did not fill keeps the table's default.
  EXPECT_EQ(page.label(ReadingsPage::kTempExternal).text(), "ftext.ini error:");
}

TEST_F(ReadingsPageTest, TheTimerShowsTheCurrentReadings) {
  ReadingsPage page(state_);
  state_.readings.Store(record_);
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return Text(page, ReadingsPage::kVoltage) == "5.1234V"; }, 2000));
  EXPECT_EQ(Text(page, ReadingsPage::kCurrent), "2.0000A");
  EXPECT_EQ(Text(page, ReadingsPage::kPower), "10.250W");
  EXPECT_EQ(Text(page, ReadingsPage::kResistance), QString::fromUtf8("2.5617\u03A9"));
  EXPECT_EQ(Text(page, ReadingsPage::kDPlus), "0.598V");
  EXPECT_EQ(Text(page, ReadingsPage::kDMinus), "2.700V");
  EXPECT_EQ(Text(page, ReadingsPage::kTempInternal), QString::fromUtf8("25.3\u2103"));
  EXPECT_EQ(Text(page, ReadingsPage::kTempExternal), "NULL");

  // The last values stay when no more frames come.
  page.Refresh();
  page.Refresh();
  EXPECT_EQ(Text(page, ReadingsPage::kVoltage), "5.1234V");
}

TEST_F(ReadingsPageTest, FahrenheitChangesBothTemperaturesAndNothingElse) {
  record_.tempExternal = 30.0f;
  state_.readings.Store(record_);
  ReadingsPage page(state_);
  page.Refresh();
  QStringList before;
  for (int f = 0; f < ReadingsPage::kFieldCount; ++f)
    before << Text(page, static_cast<ReadingsPage::Field>(f));

  page.fahrenheitBox().click();
  page.Refresh();
  for (int f = 0; f < ReadingsPage::kFieldCount; ++f) {
    const auto field = static_cast<ReadingsPage::Field>(f);
    if (field == ReadingsPage::kTempInternal || field == ReadingsPage::kTempExternal)
      EXPECT_NE(Text(page, field), before[f]);
    else
      EXPECT_EQ(Text(page, field), before[f]);
  }
  EXPECT_EQ(Text(page, ReadingsPage::kTempInternal), QString::fromUtf8("77.5\u2109"));
  EXPECT_EQ(Text(page, ReadingsPage::kTempExternal), QString::fromUtf8("86.0\u2109"));
}

// The share of an image's pixels close to a colour.
double Share(const QImage& image, const QColor& colour) {
  int hits = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (std::abs(c.red() - colour.red()) < 24 && std::abs(c.green() - colour.green()) < 24 &&
          std::abs(c.blue() - colour.blue()) < 24)
        ++hits;
    }
  }
  return static_cast<double>(hits) / (image.width() * image.height());
}

TEST_F(ReadingsPageTest, FiguresAreDrawnInTheirColoursOnBlack) {
  // Live figures: a stream runs and has delivered a frame.
  state_.LiveRunning = 1;
  TimedReadings frame;
  frame.readings = record_;
  state_.readings.OnFrame(frame);
  ReadingsPage page(state_);
  page.resize(700, 400);
  page.Refresh();
  const QColor colours[] = {{221, 221, 0}, {0, 221, 221},  {221, 0, 221},  {255, 248, 220},
                            {95, 223, 0},  {255, 127, 80}, {65, 105, 225}, {255, 0, 0}};
  for (int f = 0; f < ReadingsPage::kFieldCount; ++f) {
    const ValueField& field = page.field(static_cast<ReadingsPage::Field>(f));
    const QImage image = const_cast<ValueField&>(field).grab().toImage();
    SCOPED_TRACE(f);
    EXPECT_EQ(field.colour(), colours[f]);
    EXPECT_GT(Share(image, Qt::black), 0.4);
    EXPECT_GT(Share(image, colours[f]), 0.01);
  }
}

}  // namespace
}  // namespace vireo
