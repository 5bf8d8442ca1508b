#include "pages/dialog_units.h"

#include <QAbstractButton>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <algorithm>
#include <cmath>

#include "pages/design_font.h"

namespace vireo {
namespace {

constexpr const char* kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

int Round(double value) {
  return static_cast<int>(std::lround(value));
}

// The text a control shows, for fitting its font.
QString ShownText(const QWidget* widget) {
  if (const auto* label = qobject_cast<const QLabel*>(widget)) {
    return label->text();
  }
  if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
    return button->text();
  }
  return {};
}

}  // namespace

DialogUnits DialogUnits::Of(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(QLatin1String(kLetters));
  return DialogUnits(std::max(1, (width + 26) / 52), std::max(1, metrics.height()));
}

QFont ScaledFont(const QFont& font, double scale) {
  QFont scaled = font;
  if (font.pointSizeF() > 0) {
    scaled.setPointSizeF(font.pointSizeF() * scale);
  } else if (font.pixelSize() > 0) {
    scaled.setPixelSize(std::max(1, Round(font.pixelSize() * scale)));
  }
  return scaled;
}

DialogLayout::DialogLayout(QWidget& window, const DialogUnits& units, int width, int height)
    : QObject(&window),
      window_(window),
      units_(units),
      templateSize_(units.Size(width, height)),
      font_(window.font()) {
  window_.resize(templateSize_);
  window_.installEventFilter(this);
}

void DialogLayout::AddEntry(QWidget* widget, const QRect& rect, int follow) {
  entries_.push_back({widget, rect, follow, std::nullopt, false, false});
  Place(entries_.back(), 0, 0);
}

DialogLayout::Entry* DialogLayout::Find(QWidget* widget) {
  const auto it = std::ranges::find(entries_, widget, &Entry::widget);
  return it == entries_.end() ? nullptr : &*it;
}

void DialogLayout::SetDesignFont(QWidget* widget, const QFont& font, bool fitText) {
  if (Entry* entry = Find(widget)) {
    entry->font = font;
    entry->fitText = fitText;
    Place(*entry, 0, 0);
  }
}

void DialogLayout::KeepSize(QWidget* widget) {
  if (Entry* entry = Find(widget)) {
    entry->keepSize = true;
  }
}

void DialogLayout::Place(const Entry& entry, double dx, double dy) const {
  // Edges are scaled, not sizes, so controls that meet in the template still meet.
  const QRect at =
      units_.Rect(entry.rect.x(), entry.rect.y(), entry.rect.width(), entry.rect.height());
  int left = Round(at.x() * scale_);
  int top = Round(at.y() * scale_);
  int right = Round((at.x() + at.width()) * scale_);
  int bottom = Round((at.y() + at.height()) * scale_);
  const int follow = entry.follow;
  if (follow & kMoveRight) {
    left += Round(dx);
    right += Round(dx);
  } else if (follow & kGrowWidth) {
    right += Round(dx);
  }
  if (follow & kMoveDown) {
    top += Round(dy);
    bottom += Round(dy);
  } else if (follow & kGrowHeight) {
    bottom += Round(dy);
  }
  const QRect placed(left, top, right - left, bottom - top);
  if (entry.keepSize) {
    entry.widget->move(placed.topLeft());
  } else {
    entry.widget->setGeometry(placed);
  }
  if (entry.font) {
    QFont font = ScaledFont(*entry.font, units_.DesignScale() * scale_);
    if (entry.fitText) {
      font = FitFont(font, ShownText(entry.widget), placed.width());
    }
    entry.widget->setFont(font);
  }
}

void DialogLayout::Apply() {
  const QSize size = window_.size();
  scale_ = std::min(static_cast<double>(size.width()) / templateSize_.width(),
                    static_cast<double>(size.height()) / templateSize_.height());
  if (scale_ <= 0) {
    return;
  }
  const double dx = size.width() - templateSize_.width() * scale_;
  const double dy = size.height() - templateSize_.height() * scale_;
  window_.setFont(ScaledFont(font_, scale_));
  for (const Entry& entry : entries_) {
    Place(entry, dx, dy);
  }
  if (onLayout_) {
    onLayout_(scale_);
  }
}

bool DialogLayout::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &window_ && event->type() == QEvent::Resize) {
    Apply();
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace vireo
