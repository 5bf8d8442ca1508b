// The texts of the readings page, computed without a window.
#include "pages/readings/readings_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vireo {
namespace {

TEST(FormatFixedWidth, TruncatesNeverRounds) {
  EXPECT_EQ(FormatFixedWidth(5.123456f, 6), "5.1234");
  EXPECT_EQ(FormatFixedWidth(5.99999f, 6), "5.9999");
  EXPECT_EQ(FormatFixedWidth(12.3456f, 6), "12.345");
  EXPECT_EQ(FormatFixedWidth(-1.5f, 6), "-1.500");
  EXPECT_EQ(FormatFixedWidth(0.598f, 5), "0.598");
  EXPECT_EQ(FormatFixedWidth(0.0f, 6), "0.0000");
}

TEST(FormatFixedWidth, DropsAPointThatEndsTheText) {
  EXPECT_EQ(FormatFixedWidth(10000.5f, 6), "10000");
  EXPECT_EQ(FormatFixedWidth(123456.0f, 6), "123456");
  EXPECT_EQ(FormatFixedWidth(-12345.0f, 6), "-12345");
}

TEST(FormatFixedWidth, KeepsEveryIntegerDigit) {
  EXPECT_EQ(FormatFixedWidth(1234567.0f, 6), "1234567");
  EXPECT_EQ(FormatFixedWidth(123456.0f, 5), "123456");
  EXPECT_EQ(FormatFixedWidth(-1234567.0f, 6), "-1234567");
  EXPECT_EQ(FormatFixedWidth(std::numeric_limits<float>::max(), 6).size(), 39u);
}

TEST(ResistanceText, ChoosesTheUnitOnTheExactQuotient) {
  EXPECT_EQ(ResistanceText(5.1f, -2.0f), "2.5500\u03A9");
  EXPECT_EQ(ResistanceText(5.0f, 0.0004f), "12.500K\u03A9");
  EXPECT_EQ(ResistanceText(5.0f, 0.0f), "9999.9K\u03A9");
  EXPECT_EQ(ResistanceText(5.0f, std::nanf("")), "9999.9K\u03A9");
  EXPECT_EQ(ResistanceText(-5.0f, 1.0f), "5.0000\u03A9");
}

TEST(TemperatureText, CelsiusFahrenheitAndTheMissingProbe) {
  EXPECT_EQ(TemperatureText(25.3f, false), "25.3\u2103");
  EXPECT_EQ(TemperatureText(25.3f, true), "77.5\u2109");
  EXPECT_EQ(ExternalTemperatureText(-50.0f, false), "-50.0\u2103");
  EXPECT_EQ(ExternalTemperatureText(-50.1f, false), "NULL");
  EXPECT_EQ(ExternalTemperatureText(-60.0f, true), "NULL");
  EXPECT_EQ(ExternalTemperatureText(std::nanf(""), false), "NULL");
}

TEST(FormatReadings, AllZeroRecord) {
  const ReadingsTexts texts = FormatReadings(ReadingsRecord{}, false);
  EXPECT_EQ(texts.voltage, "0.0000V");
  EXPECT_EQ(texts.current, "0.0000A");
  EXPECT_EQ(texts.power, "0.0000W");
  EXPECT_EQ(texts.resistance, "9999.9K\u03A9");
  EXPECT_EQ(texts.dPlus, "0.000V");
  EXPECT_EQ(texts.dMinus, "0.000V");
  EXPECT_EQ(texts.tempInternal, "0.0\u2103");
  EXPECT_EQ(texts.tempExternal, "0.0\u2103");
}

TEST(FormatReadings, PowerIsShownAsItsMagnitude) {
  ReadingsRecord record;
  record.power = -7.25f;
  EXPECT_EQ(FormatReadings(record, false).power, "7.2500W");
}

}  // namespace
}  // namespace vireo
