// Window layouts are given in dialog units. They become pixels through fixed base units of
// 7 horizontal and 13 vertical pixels, so every layout keeps its proportions whatever fonts
// the platform has; Qt's device-pixel scaling then handles high-DPI screens.
#pragma once

#include <QRect>

namespace vireo {

constexpr int DialogX(int x) {
  return x * 7 / 4;
}
constexpr int DialogY(int y) {
  return y * 13 / 8;
}

inline QRect DialogRect(int x, int y, int w, int h) {
  return QRect(DialogX(x), DialogY(y), DialogX(w), DialogY(h));
}

}  // namespace vireo
