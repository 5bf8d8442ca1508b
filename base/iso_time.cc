#include "base/iso_time.h"

#include <cctype>
#include <cstdio>

namespace vireo {

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

}  // namespace

std::string FormatUtc(int64_t unixUs) {
  const int64_t seconds = FloorDiv(unixUs, 1'000'000);
  const int64_t micros = unixUs - seconds * 1'000'000;
  const int64_t days = FloorDiv(seconds, 86400);
  const int64_t inDay = seconds - days * 86400;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%06lldZ",
                static_cast<long long>(y), m, d, static_cast<long long>(inDay / 3600),
                static_cast<long long>(inDay / 60 % 60), static_cast<long long>(inDay % 60),
                static_cast<long long>(micros));
  return text;
}

std::optional<int64_t> ParseUtc(const std::string& text) {
  size_t i = 0;
  const auto number = [&](size_t digits, int64_t& out) {
    out = 0;
    for (size_t k = 0; k < digits; ++k, ++i) {
      if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
        return false;
      out = out * 10 + (text[i] - '0');
    }
    return true;
  };
  const auto expect = [&](char c) { return i < text.size() && text[i++] == c; };
  int64_t y, mo, d, h, mi, s;
  if (!number(4, y) || !expect('-') || !number(2, mo) || !expect('-') || !number(2, d))
    return std::nullopt;
  if (i >= text.size() || (text[i] != 'T' && text[i] != 't' && text[i] != ' '))
    return std::nullopt;
  ++i;
  if (!number(2, h) || !expect(':') || !number(2, mi) || !expect(':') || !number(2, s))
    return std::nullopt;
  int64_t micros = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    int64_t scale = 100000;
    size_t digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      micros += (text[i] - '0') * scale;
      scale /= 10;
      ++i;
      ++digits;
    }
    if (digits == 0)
      return std::nullopt;
  }
  int64_t offsetMinutes = 0;
  if (i < text.size() && (text[i] == 'Z' || text[i] == 'z')) {
    ++i;
  } else if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    const int sign = text[i++] == '+' ? 1 : -1;
    int64_t oh, om;
    if (!number(2, oh) || !expect(':') || !number(2, om) || oh > 23 || om > 59)
      return std::nullopt;
    offsetMinutes = sign * (oh * 60 + om);
  } else {
    return std::nullopt;  // a time without its zone would be a guess
  }
  if (i != text.size())
    return std::nullopt;
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || h > 23 || mi > 59 || s > 60)
    return std::nullopt;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo == 2 && d == 29 && !leap)
    return std::nullopt;
  const int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  const int64_t seconds = days * 86400 + h * 3600 + mi * 60 + s - offsetMinutes * 60;
  return seconds * 1'000'000 + micros;
}

}  // namespace vireo
