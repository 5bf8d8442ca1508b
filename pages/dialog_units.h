// Window layouts are given in dialog units, which become pixels through base units measured
// from the window's font, as Windows measures a dialog font: every control grows with the text
// it holds. DialogLayout keeps a window's controls at their template places and, when the
// window grows, scales their places and fonts alike.
#pragma once

#include <QFont>
#include <QObject>
#include <QRect>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

namespace vireo {

// The base units of a font: the average width of the 52 letters A-Z a-z, rounded as Windows
// rounds it, and the font's height. A dialog unit is a quarter of the horizontal and an eighth
// of the vertical base unit.
class DialogUnits {
 public:
  // The base units of the design's own dialog font, for which it gives its pixel sizes.
  static constexpr int kDesignBaseX = 7;
  static constexpr int kDesignBaseY = 13;

  constexpr DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}
  // Measured from a font; never below one pixel.
  static DialogUnits Of(const QFont& font);

  int baseX() const { return baseX_; }
  int baseY() const { return baseY_; }
  int X(int x) const { return x * baseX_ / 4; }
  int Y(int y) const { return y * baseY_ / 8; }
  QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }
  QSize Size(int w, int h) const { return QSize(X(w), Y(h)); }
  // How much larger than the design's a pixel size given for its dialog font is here (a font
  // height of the design, say).
  double DesignScale() const { return static_cast<double>(baseY_) / kDesignBaseY; }

  bool operator==(const DialogUnits&) const = default;

 private:
  int baseX_;
  int baseY_;
};

// A font `scale` times as large; a point size stays a point size.
QFont ScaledFont(const QFont& font, double scale);

// The controls of one window (a page, or the main window) at their template places, in dialog
// units. At every resize of the window it puts each control at its place times the scale, the
// smaller of the window's width and height over its template's, and sets the window's font to
// its font at the start times the same scale, which the controls inherit. So the design's
// geometry holds at scale 1 and its proportions at any other. Where the window is wider or
// taller than the scale makes the template, a control may grow into the rest or move with it.
class DialogLayout : public QObject {
 public:
  enum Follow {
    kFixed = 0,
    kGrowWidth = 1,
    kGrowHeight = 2,
    kMoveRight = 4,
    kMoveDown = 8,
  };

  // `width` × `height` dialog units is the window's template. The window is resized to it.
  DialogLayout(QWidget& window, const DialogUnits& units, int width, int height);

  // Puts `widget` at x, y, w, h (dialog units) now and at every layout.
  template <typename W>
  W* Place(W* widget, int x, int y, int w, int h, int follow = kFixed) {
    AddEntry(widget, QRect(x, y, w, h), follow);
    return widget;
  }
  // A control drawn in a font of its own, sized in the design's pixels; with `fitText` the
  // font is made smaller where its text would not fit its width.
  void SetDesignFont(QWidget* widget, const QFont& font, bool fitText = false);
  // A picture: placed by its top left corner, its size left as it is (the bitmap's).
  void KeepSize(QWidget* widget);
  // Called after every layout with its scale.
  void SetOnLayout(std::function<void(double)> onLayout) { onLayout_ = std::move(onLayout); }

  QWidget& window() const { return window_; }
  const DialogUnits& units() const { return units_; }
  QSize templateSize() const { return templateSize_; }
  double scale() const { return scale_; }
  // Lays the window out at its present size.
  void Apply();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Entry {
    QWidget* widget;
    QRect rect;  // dialog units
    int follow;
    std::optional<QFont> font;
    bool fitText = false;
    bool keepSize = false;
  };
  void AddEntry(QWidget* widget, const QRect& rect, int follow);
  Entry* Find(QWidget* widget);
  void Place(const Entry& entry, double dx, double dy) const;

  QWidget& window_;
  DialogUnits units_;
  QSize templateSize_;
  QFont font_;
  double scale_ = 1.0;
  std::vector<Entry> entries_;
  std::function<void(double)> onLayout_;
};

}  // namespace vireo
