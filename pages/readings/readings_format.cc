#include "pages/readings/readings_format.h"

#include <cmath>
#include <cstdio>

#include "meter/readings_record.h"

namespace vireo {
namespace {

constexpr double kNoCurrentResistance = 9999999.0;
constexpr double kKiloOhmThreshold = 10000.0;

constexpr const char* kOhm = "\u03A9";  // Greek capital omega, not the ohm sign
constexpr const char* kCelsius = "\u2103";
constexpr const char* kFahrenheit = "\u2109";

}  // namespace

std::string FormatFixedWidth(float value, int width) {
  // The widest float has 39 integer digits; with sign, point and six decimals 47 characters.
  char printed[64];
  std::snprintf(printed, sizeof printed, "%0.6f", static_cast<double>(value));
  std::string text = printed;
  const size_t size = width > 0 ? static_cast<size_t>(width) : 0;
  const size_t point = text.find('.');
  if (point != std::string::npos && point > size) {
    return text.substr(0, point);
  }
  if (text.size() > size) {
    text.resize(size);
  }
  while (!text.empty() && text.back() == '.') {
    text.pop_back();
  }
  return text;
}

std::string ResistanceText(float voltage, float current) {
  double resistance = (current == 0.0f || std::isnan(current))
                          ? kNoCurrentResistance
                          : static_cast<double>(voltage) / static_cast<double>(current);
  resistance = std::fabs(resistance);
  // The unit is chosen on the full-precision quotient, before it is narrowed for printing.
  if (resistance >= kKiloOhmThreshold) {
    return FormatFixedWidth(static_cast<float>(resistance * 0.001), kWideFigure) + "K" + kOhm;
  }
  return FormatFixedWidth(static_cast<float>(resistance), kWideFigure) + kOhm;
}

std::string TemperatureText(float celsius, bool fahrenheit) {
  char printed[64];
  if (fahrenheit) {
    std::snprintf(printed, sizeof printed, "%0.1f%s", celsius * 1.8 + 32, kFahrenheit);
  } else {
    std::snprintf(printed, sizeof printed, "%0.1f%s", static_cast<double>(celsius), kCelsius);
  }
  return printed;
}

std::string ExternalTemperatureText(float celsius, bool fahrenheit) {
  if (!IsExternalReading(celsius)) {  // also NaN
    return "NULL";
  }
  return TemperatureText(celsius, fahrenheit);
}

ReadingsTexts FormatReadings(const ReadingsRecord& record, bool fahrenheit) {
  return {
      .voltage = FormatFixedWidth(record.voltage, kWideFigure) + "V",
      .current = FormatFixedWidth(record.current, kWideFigure) + "A",
      .power = FormatFixedWidth(std::fabs(record.power), kWideFigure) + "W",
      .resistance = ResistanceText(record.voltage, record.current),
      .dPlus = FormatFixedWidth(record.dPlus, kNarrowFigure) + "V",
      .dMinus = FormatFixedWidth(record.dMinus, kNarrowFigure) + "V",
      .tempInternal = TemperatureText(record.tempInternal, fahrenheit),
      .tempExternal = ExternalTemperatureText(record.tempExternal, fahrenheit),
  };
}

}  // namespace vireo
