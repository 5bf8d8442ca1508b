// The texts of the readings page, computed from the current readings without any window.
#pragma once

#include <string>

#include "meter/readings_record.h"

namespace vireo {

// Widths of the readings page's figures.
inline constexpr int kWideFigure = 6;
inline constexpr int kNarrowFigure = 5;

// The value printed with "%0.6f", cut to `width` characters, a trailing "." removed: truncated,
// never rounded, no unit. An integer part longer than `width` is kept whole, without decimals,
// so that no digit of the magnitude is ever lost.
std::string FormatFixedWidth(float value, int width);

// The load resistance |voltage / current| with its unit, "Ω" below 10000 Ω and "KΩ" from
// there on; without current it is 9999999 Ω.
std::string ResistanceText(float voltage, float current);

// "%0.1f" and the degree sign of the chosen scale.
std::string TemperatureText(float celsius, bool fahrenheit);

// As TemperatureText, or "NULL" when no probe is attached (below -50 °C, or not a number).
std::string ExternalTemperatureText(float celsius, bool fahrenheit);

// All eight fields of the page, units included.
struct ReadingsTexts {
  std::string voltage;
  std::string current;
  std::string power;
  std::string resistance;
  std::string dPlus;
  std::string dMinus;
  std::string tempInternal;
  std::string tempExternal;
};

ReadingsTexts FormatReadings(const ReadingsRecord& record, bool fahrenheit);

}  // namespace vireo
