#include "pages/sessions/session_plot.h"

#include <QDateTime>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace vireo {
namespace {

using record::kQuantityCount;

// Quantities of one unit share a value axis: volts, amperes, watts, degrees.
struct UnitAxis {
  const char* unit;
  unsigned quantities;
  bool left;
};
constexpr std::array<UnitAxis, 4> kAxes = {{
    {"V", 0b0'1001'1001, true},
    {"A", 0b1'0000'0010, false},
    {"W", 0b0'0000'0100, false},
    {"\u00b0C", 0b0'0110'0000, true},
}};

constexpr std::array<QRgb, kQuantityCount> kColours = {
    0xff1f77b4, 0xffd62728, 0xff2ca02c, 0xff9467bd, 0xff8c564b,
    0xffff7f0e, 0xffe377c2, 0xff17becf, 0xffbcbd22,
};

constexpr int kLeastAxisWidth = 52;
constexpr int kGrab = 4;       // pixels either side of a cursor that pick it up
constexpr int kDragStart = 3;  // pixels a press moves before it pans
constexpr int64_t kMinSpanUs = 1000;

// A round step (1, 2 or 5 × 10^n) giving about `divisions` divisions of a range.
double RoundStep(double range, int divisions) {
  const double raw = range / divisions;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0}) {
    if (m * magnitude >= raw) {
      return m * magnitude;
    }
  }
  return 10 * magnitude;
}

struct Scale {
  double bottom = 0;
  double top = 1;
  double step = 0.2;
};

Scale ScaleOf(double lo, double hi, int divisions) {
  if (!(lo <= hi)) {
    return {};
  }
  if (hi - lo < 1e-9) {
    const double pad = std::max(std::abs(hi) * 0.01, 0.01);
    lo -= pad;
    hi += pad;
  }
  const double step = RoundStep(hi - lo, divisions);
  return {std::floor(lo / step) * step, std::ceil(hi / step) * step, step};
}

// Round time steps in µs, from 1 ms to a day.
constexpr std::array<int64_t, 25> kTimeSteps = {
    1'000,         2'000,         5'000,          10'000,         20'000,
    50'000,        100'000,       200'000,        500'000,        1'000'000,
    2'000'000,     5'000'000,     10'000'000,     15'000'000,     30'000'000,
    60'000'000,    120'000'000,   300'000'000,    600'000'000,    900'000'000,
    1'800'000'000, 3'600'000'000, 10'800'000'000, 21'600'000'000, 86'400'000'000,
};

QString Elapsed(int64_t us, int64_t stepUs) {
  const int64_t s = us / 1'000'000;
  QString text =
      QString::asprintf("+%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                        static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  if (stepUs < 1'000'000) {
    text += QString::asprintf(".%03lld", static_cast<long long>(us / 1000 % 1000));
  }
  return text;
}

}  // namespace

SessionPlot::SessionPlot(const TextTable& texts, QWidget* parent) : QWidget(parent), texts_(texts) {
  setMouseTracking(true);
  setMinimumSize(320, 200);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void SessionPlot::SetSession(const record::RecordStore* store, int64_t sessionId,
                             int64_t startUnixUs, int64_t endUs, int64_t samples) {
  store_ = store;
  sessionId_ = sessionId;
  startUnixUs_ = startUnixUs;
  sampleCache_.Clear();
  cursorA_.reset();
  cursorB_.reset();
  SetEnd(endUs, samples);
  Fit();
}

void SessionPlot::SetEnd(int64_t endUs, int64_t samples) {
  endUs_ = std::max<int64_t>(endUs, 0);
  samples_ = samples;
  if (!zoomed_) {
    SetView(0, endUs_);
  }
}

void SessionPlot::SetShown(unsigned quantities) {
  shown_ = quantities & record::kAllQuantities;
  stale_ = true;
  update();
}

void SessionPlot::Fit() {
  zoomed_ = false;
  SetView(0, endUs_);
}

void SessionPlot::SetView(int64_t fromUs, int64_t toUs) {
  // Down to a few samples' worth of time, up to the whole session.
  const int64_t average = samples_ > 1 ? endUs_ / (samples_ - 1) : endUs_;
  const int64_t minSpan = std::max(kMinSpanUs, 4 * average);
  int64_t span = std::clamp(toUs - fromUs, std::min(minSpan, std::max<int64_t>(endUs_, 1)),
                            std::max<int64_t>(endUs_, 1));
  fromUs = std::clamp<int64_t>(fromUs, 0, std::max<int64_t>(endUs_ - span, 0));
  if (fromUs == fromUs_ && fromUs + span == toUs_) {
    return;
  }
  fromUs_ = fromUs;
  toUs_ = fromUs + span;
  stale_ = true;
  update();
}

void SessionPlot::ShowSpan(int64_t fromUs, int64_t toUs) {
  zoomed_ = true;
  SetView(fromUs, toUs);
}

void SessionPlot::PlaceCursors(int64_t aUs, int64_t bUs) {
  cursorA_ = aUs;
  cursorB_ = bUs;
  update();
  if (onCursorsChanged) {
    onCursorsChanged();
  }
}

void SessionPlot::SetScalesHeld(bool held) {
  scalesHeld_ = held;
  heldScales_.fill(std::nullopt);
  update();
}

int SessionPlot::AxisWidth() const {
  return std::max(kLeastAxisWidth,
                  fontMetrics().horizontalAdvance(QStringLiteral("-000.0000")) + 8);
}

QRect SessionPlot::PlotArea() const {
  int left = 0;
  int right = 0;
  for (const UnitAxis& axis : kAxes) {
    if (axis.quantities & shown_) {
      (axis.left ? left : right) += AxisWidth();
    }
  }
  // A row of units above, two rows of times below.
  const int line = QFontMetrics(font()).height();
  return QRect(QPoint(left + 4, line + 4), QPoint(width() - right - 5, height() - 2 * line - 6));
}

int SessionPlot::XOf(int64_t tUs) const {
  const QRect area = PlotArea();
  const double span = static_cast<double>(toUs_ - fromUs_ + 1);
  // Far outside the view (a cursor at high zoom) stays a number that an int holds.
  const double x = std::floor((tUs - fromUs_) * area.width() / span);
  return area.left() + static_cast<int>(std::clamp(x, -1e6, 1e6));
}

int64_t SessionPlot::TimeAt(int x) const {
  const QRect area = PlotArea();
  const double span = static_cast<double>(toUs_ - fromUs_ + 1);
  return fromUs_ + static_cast<int64_t>(std::llround((x - area.left()) * span / area.width()));
}

void SessionPlot::Load() {
  stale_ = false;
  error_.clear();
  envelope_ = {};
  gaps_.clear();
  if (!store_) {
    return;
  }
  if (!record::Envelope(*store_, sessionId_, fromUs_, toUs_, PlotArea().width(), envelope_, error_,
                        shown_, &sampleCache_) ||
      !record::GapsIn(*store_, sessionId_, fromUs_, toUs_, gaps_, error_)) {
    envelope_ = {};
  }
}

void SessionPlot::resizeEvent(QResizeEvent* event) {
  stale_ = true;
  QWidget::resizeEvent(event);
}

void SessionPlot::paintEvent(QPaintEvent*) {
  if (stale_) {
    Load();
  }
  QPainter painter(this);
  painter.fillRect(rect(), palette().base());
  const QRect area = PlotArea();
  painter.setPen(palette().mid().color());
  painter.drawRect(area);
  if (!error_.empty()) {
    painter.setPen(palette().text().color());
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, QString::fromStdString(error_));
    return;
  }
  painter.setClipRect(area);
  for (const record::StoredGap& gap : gaps_) {
    const int x0 = std::max(XOf(gap.fromUs), area.left());
    const int x1 = std::min(XOf(gap.toUs), area.right());
    painter.fillRect(QRect(QPoint(x0, area.top()), QPoint(std::max(x0, x1), area.bottom())),
                     QColor(128, 128, 128, 60));
  }
  painter.setClipping(false);

  // The range of each quantity in view, for its axis.
  std::array<double, kQuantityCount> lo;
  std::array<double, kQuantityCount> hi;
  lo.fill(std::numeric_limits<double>::infinity());
  hi.fill(-std::numeric_limits<double>::infinity());
  for (const auto& column : envelope_.columns) {
    for (size_t q = 0; q < kQuantityCount; ++q) {
      if (column.samples && std::isfinite(column.min[q])) {
        lo[q] = std::min(lo[q], column.min[q]);
        hi[q] = std::max(hi[q], column.max[q]);
      }
    }
  }
  for (const auto& sample : envelope_.samples) {
    for (size_t q = 0; q < kQuantityCount; ++q) {
      if (std::isfinite(sample.values[q])) {
        lo[q] = std::min(lo[q], sample.values[q]);
        hi[q] = std::max(hi[q], sample.values[q]);
      }
    }
  }

  std::array<Scale, kQuantityCount> scales;
  int leftX = area.left() - 1;
  int rightX = area.right() + 1;
  const QFontMetrics metrics(font());
  for (const UnitAxis& axis : kAxes) {
    const unsigned members = axis.quantities & shown_;
    if (!members) {
      continue;
    }
    double axisLo = std::numeric_limits<double>::infinity();
    double axisHi = -axisLo;
    int first = -1;
    for (size_t q = 0; q < kQuantityCount; ++q) {
      if (members & (1u << q)) {
        axisLo = std::min(axisLo, lo[q]);
        axisHi = std::max(axisHi, hi[q]);
        first = first < 0 ? static_cast<int>(q) : first;
      }
    }
    std::optional<AxisScale>& held = heldScales_[static_cast<size_t>(&axis - kAxes.data())];
    // About five divisions, fewer where the labels would crowd each other.
    Scale scale = ScaleOf(axisLo, axisHi, std::clamp(area.height() / (2 * metrics.height()), 1, 5));
    if (scalesHeld_ && held) {
      scale = {held->bottom, held->top, held->step};
    } else if (scalesHeld_) {
      held = AxisScale{scale.bottom, scale.top, scale.step};
    }
    for (size_t q = 0; q < kQuantityCount; ++q) {
      if (members & (1u << q)) {
        scales[q] = scale;
      }
    }
    painter.setPen(QColor::fromRgb(kColours[first]));
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(scale.step))));
    const int x = axis.left ? leftX - AxisWidth() : rightX;
    for (double v = scale.bottom; v <= scale.top + scale.step / 2; v += scale.step) {
      const int y =
          area.bottom() - static_cast<int>(std::lround((v - scale.bottom) /
                                                       (scale.top - scale.bottom) * area.height()));
      // No "-0.00" where the sum of steps lands a hair below zero.
      const QString label = QString::number(std::abs(v) < scale.step / 2 ? 0.0 : v, 'f', decimals);
      painter.drawText(QRect(x + 2, y - metrics.height() / 2, AxisWidth() - 6, metrics.height()),
                       (axis.left ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter, label);
    }
    painter.drawText(QRect(x + 2, 0, AxisWidth() - 6, metrics.height()),
                     (axis.left ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop, axis.unit);
    (axis.left ? leftX : rightX) += axis.left ? -AxisWidth() : AxisWidth();
  }
  PaintTimeAxis(painter, area);

  painter.setClipRect(area.adjusted(1, 1, 0, 0));
  const auto yOf = [&](size_t q, double v) {
    const Scale& s = scales[q];
    return area.bottom() - (v - s.bottom) / (s.top - s.bottom) * area.height();
  };
  for (size_t q = 0; q < kQuantityCount; ++q) {
    if (!(shown_ & (1u << q))) {
      continue;
    }
    painter.setPen(QPen(QColor::fromRgb(kColours[q]), 1));
    if (!envelope_.columns.empty()) {
      // Each column's min to max, joined to its neighbour's range so that the band is closed.
      const record::EnvelopeColumn* previous = nullptr;
      for (size_t i = 0; i < envelope_.columns.size(); ++i) {
        const auto& column = envelope_.columns[i];
        if (!column.samples || !std::isfinite(column.min[q])) {
          previous = nullptr;
          continue;
        }
        double top = column.max[q];
        double bottom = column.min[q];
        if (previous) {
          top = std::max(top, previous->min[q]);
          bottom = std::min(bottom, previous->max[q]);
        }
        const double x = area.left() + i + 0.5;
        painter.drawLine(QPointF(x, yOf(q, bottom)), QPointF(x, yOf(q, top)));
        previous = &column;
      }
      continue;
    }
    // Few samples: lines between them, broken at gaps and at values that are not numbers.
    QPainterPath path;
    bool open = false;
    int64_t lastUs = 0;
    size_t gap = 0;
    for (const auto& sample : envelope_.samples) {
      while (gap < gaps_.size() && gaps_[gap].toUs <= lastUs) {
        ++gap;
      }
      const bool broken = gap < gaps_.size() && gaps_[gap].fromUs < sample.tUs;
      const QPointF point(XOf(sample.tUs) + 0.5, yOf(q, sample.values[q]));
      if (!std::isfinite(sample.values[q])) {
        open = false;
      } else if (!open || broken) {
        path.moveTo(point);
        open = true;
      } else {
        path.lineTo(point);
      }
      if (envelope_.samples.size() * 8 < static_cast<size_t>(area.width()) &&
          std::isfinite(sample.values[q])) {
        path.addEllipse(point, 1.5, 1.5);
        path.moveTo(point);
      }
      lastUs = sample.tUs;
    }
    painter.drawPath(path);
  }

  for (const auto& [cursor, name] : {std::pair{&cursorA_, "A"}, std::pair{&cursorB_, "B"}}) {
    if (*cursor && **cursor >= fromUs_ && **cursor <= toUs_) {
      const int x = XOf(**cursor);
      painter.setPen(QPen(palette().text().color(), 1, Qt::DashLine));
      painter.drawLine(x, area.top(), x, area.bottom());
      painter.drawText(x + 3, area.top() + metrics.ascent() + 2, name);
    }
  }
}

void SessionPlot::PaintTimeAxis(QPainter& painter, const QRect& area) {
  const QFontMetrics metrics(font());
  const int spacing = metrics.horizontalAdvance("+000:00:00.000") + 16;
  const double usPerPixel = static_cast<double>(toUs_ - fromUs_ + 1) / area.width();
  int64_t step = kTimeSteps.back();
  for (const int64_t s : kTimeSteps) {
    if (s / usPerPixel >= spacing) {
      step = s;
      break;
    }
  }
  // Ticks at round local clock times.
  const int64_t offsetUs =
      int64_t{QDateTime::fromMSecsSinceEpoch((startUnixUs_ + fromUs_) / 1000).offsetFromUtc()} *
      1'000'000;
  const int64_t localFrom = startUnixUs_ + fromUs_ + offsetUs;
  const QString format = step >= 60'000'000  ? QStringLiteral("HH:mm")
                         : step >= 1'000'000 ? QStringLiteral("HH:mm:ss")
                                             : QStringLiteral("HH:mm:ss.zzz");
  painter.setPen(palette().text().color());
  for (int64_t local = (localFrom + step - 1) / step * step;; local += step) {
    const int64_t t = local - offsetUs - startUnixUs_;
    if (t > toUs_) {
      break;
    }
    const int x = XOf(t);
    painter.setPen(palette().mid().color());
    painter.drawLine(x, area.bottom(), x, area.bottom() + 3);
    painter.setPen(palette().text().color());
    const QString clock =
        QDateTime::fromMSecsSinceEpoch((startUnixUs_ + t) / 1000).toString(format);
    const QRect cell(x - spacing / 2, area.bottom() + 3, spacing, metrics.height());
    painter.drawText(cell, Qt::AlignHCenter | Qt::AlignTop, clock);
    painter.drawText(cell.translated(0, metrics.height()), Qt::AlignHCenter | Qt::AlignTop,
                     Elapsed(t, step));
  }
}

bool SessionPlot::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    const auto* help = static_cast<QHelpEvent*>(event);
    const int x = help->pos().x();
    for (const record::StoredGap& gap : gaps_) {
      if (x >= XOf(gap.fromUs) && x <= std::max(XOf(gap.toUs), XOf(gap.fromUs) + 1)) {
        const QString seconds = QString::number((gap.toUs - gap.fromUs) / 1e6, 'f', 3);
        QToolTip::showText(help->globalPos(),
                           QString::fromStdString(FillIn(texts_.Extra("gap_tooltip"),
                                                         {seconds.toStdString(), gap.cause})),
                           this);
        return true;
      }
    }
    QToolTip::hideText();
    event->ignore();
    return true;
  }
  return QWidget::event(event);
}

void SessionPlot::wheelEvent(QWheelEvent* event) {
  const double notches = event->angleDelta().y() / 120.0;
  if (notches == 0) {
    return;
  }
  const int x = static_cast<int>(event->position().x());
  const int64_t anchor = TimeAt(x);
  const double factor = std::pow(0.8, notches);
  const int64_t span = std::max<int64_t>(std::llround((toUs_ - fromUs_) * factor), 1);
  const double share =
      static_cast<double>(anchor - fromUs_) / std::max<int64_t>(toUs_ - fromUs_, 1);
  zoomed_ = true;
  const int64_t from = anchor - std::llround(share * span);
  SetView(from, from + span);
  zoomed_ = fromUs_ > 0 || toUs_ < endUs_;
  event->accept();
}

void SessionPlot::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    return;
  }
  const int x = static_cast<int>(event->position().x());
  pressX_ = x;
  pressFromUs_ = fromUs_;
  drag_ = Drag::kPending;
  if (cursorB_ && std::abs(XOf(*cursorB_) - x) <= kGrab) {
    drag_ = Drag::kCursorB;
  } else if (cursorA_ && std::abs(XOf(*cursorA_) - x) <= kGrab) {
    drag_ = Drag::kCursorA;
  }
}

void SessionPlot::mouseMoveEvent(QMouseEvent* event) {
  const int x = static_cast<int>(event->position().x());
  const int64_t t = std::clamp<int64_t>(TimeAt(x), 0, endUs_);
  switch (drag_) {
    case Drag::kNone:
      return;
    case Drag::kCursorA:
    case Drag::kCursorB:
      (drag_ == Drag::kCursorA ? cursorA_ : cursorB_) = t;
      update();
      if (onCursorsChanged) {
        onCursorsChanged();
      }
      return;
    case Drag::kPending:
      if (std::abs(x - pressX_) < kDragStart) {
        return;
      }
      drag_ = Drag::kPan;
      [[fallthrough]];
    case Drag::kPan: {
      const int64_t span = toUs_ - fromUs_;
      const int64_t shift = TimeAt(pressX_) - TimeAt(x);
      zoomed_ = true;
      SetView(pressFromUs_ + shift, pressFromUs_ + shift + span);
      zoomed_ = fromUs_ > 0 || toUs_ < endUs_;
      return;
    }
  }
}

void SessionPlot::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    return;
  }
  const Drag drag = drag_;
  drag_ = Drag::kNone;
  if (drag != Drag::kPending) {
    return;
  }
  const int64_t t = std::clamp<int64_t>(TimeAt(static_cast<int>(event->position().x())), 0, endUs_);
  previousA_ = cursorA_;
  previousB_ = cursorB_;
  if (!cursorA_ || cursorB_) {
    cursorA_ = t;
    cursorB_.reset();
  } else {
    cursorB_ = t;
  }
  update();
  if (onCursorsChanged) {
    onCursorsChanged();
  }
}

void SessionPlot::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    return;
  }
  // The first click of the pair placed a cursor: a double-click only fits.
  drag_ = Drag::kNone;
  cursorA_ = previousA_;
  cursorB_ = previousB_;
  Fit();
  if (onCursorsChanged) {
    onCursorsChanged();
  }
}

}  // namespace vireo
