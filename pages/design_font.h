// Fonts as the window designs name them, with the platform's sans fonts standing in for a
// face that is not installed.
#pragma once

#include <QFont>
#include <QString>

namespace vireo {

// A normal-weight font of the named face whose line height is at most cellHeight pixels.
QFont DesignFont(const QString& family, int cellHeight);

// The font made smaller, if need be, so that text fits into width pixels.
QFont FitFont(const QFont& font, const QString& text, int width);

// A caption shown as it stands: '&' would otherwise mark a keyboard shortcut.
QString PlainCaption(const QString& text);

}  // namespace vireo
