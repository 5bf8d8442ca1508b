#include "pages/design_font.h"

#include <QFontMetrics>
#include <algorithm>

namespace vireo {

QFont DesignFont(const QString& family, int cellHeight) {
  QFont font(family);
  font.setStyleHint(QFont::SansSerif);
  font.setWeight(QFont::Normal);
  font.setPixelSize(cellHeight);
  // The design gives the cell height; Qt's pixel size is the em, which is usually smaller.
  const int height = QFontMetrics(font).height();
  if (height > cellHeight) {
    font.setPixelSize(std::max(1, cellHeight * cellHeight / height));
  }
  return font;
}

QFont FitFont(const QFont& font, const QString& text, int width) {
  QFont fitted = font;
  const int needed = QFontMetrics(font).horizontalAdvance(text);
  if (needed > width && width > 0 && font.pixelSize() > 0) {
    fitted.setPixelSize(std::max(1, font.pixelSize() * width / needed));
  }
  return fitted;
}

QString PlainCaption(const QString& text) {
  QString caption = text;
  return caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

}  // namespace vireo
