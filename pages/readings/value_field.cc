#include "pages/readings/value_field.h"

#include <QPainter>

#include "pages/design_font.h"

namespace vireo {
namespace {

constexpr int kMargin = 2;
constexpr int kMarkWidth = 2;

}  // namespace

ValueField::ValueField(const QColor& colour, const QFont& font, QWidget* parent)
    : QWidget(parent), colour_(colour) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFont(font);
}

void ValueField::SetText(const QString& text) {
  if (text == text_) {
    return;
  }
  text_ = text;
  update();
}

void ValueField::SetMarked(bool marked) {
  if (marked == marked_) {
    return;
  }
  marked_ = marked;
  update();
}

void ValueField::SetDimmed(bool dimmed) {
  if (dimmed == dimmed_) {
    return;
  }
  dimmed_ = dimmed;
  update();
}

void ValueField::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (marked_) {
    // Inside the margin, so the figures keep their place and size.
    const QRect frame = rect();
    painter.fillRect(frame.x(), frame.y(), frame.width(), kMarkWidth, Qt::red);
    painter.fillRect(frame.x(), frame.bottom() - kMarkWidth + 1, frame.width(), kMarkWidth,
                     Qt::red);
    painter.fillRect(frame.x(), frame.y(), kMarkWidth, frame.height(), Qt::red);
    painter.fillRect(frame.right() - kMarkWidth + 1, frame.y(), kMarkWidth, frame.height(),
                     Qt::red);
  }
  const QRect area = rect().adjusted(kMargin, 0, -kMargin, 0);
  // Fonts standing in for the design's face are often wider; every figure must stay visible.
  painter.setFont(FitFont(font(), text_, area.width()));
  painter.setPen(dimmed_ ? QColor(colour_.red() / 2, colour_.green() / 2, colour_.blue() / 2)
                         : colour_);
  painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text_);
}

}  // namespace vireo
