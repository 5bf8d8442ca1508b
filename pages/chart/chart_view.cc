#include "pages/chart/chart_view.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPen>

#include "pages/design_font.h"

namespace vireo {
namespace {

constexpr const char* kFontFace = "Trebuchet MS";

QColor ColourOf(const Rgb& rgb) {
  return QColor(rgb.red, rgb.green, rgb.blue);
}

int FlagsOf(ChartAlign align) {
  switch (align) {
    case ChartAlign::kLeft:
      return Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
    case ChartAlign::kRight:
      return Qt::AlignRight | Qt::AlignTop | Qt::TextWordWrap;
    case ChartAlign::kCentredLine:
      return Qt::AlignCenter | Qt::TextSingleLine;
    case ChartAlign::kCentre:
      break;
  }
  return Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;
}

}  // namespace

ChartView::ChartView(AppState& state, QWidget* parent) : QFrame(parent), state_(state) {
  // The control's border, sunken; the chart fills what lies inside it.
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(1);
  setAttribute(Qt::WA_OpaquePaintEvent);
  refreshTimer_.setSingleShot(true);
  connect(&refreshTimer_, &QTimer::timeout, this, [this] {
    refresh_ = true;
    Invalidate();
    refreshTimer_.start(kRefreshMs);
  });
}

void ChartView::Initialise() {
  const QRect inner = contentsRect();
  client_ = {0, 0, inner.width(), inner.height()};
  smallFont_ = DesignFont(kFontFace, static_cast<int>(ChartFont::kSmall));
  mediumFont_ = DesignFont(kFontFace, static_cast<int>(ChartFont::kMedium));
  largeFont_ = DesignFont(kFontFace, static_cast<int>(ChartFont::kLarge));
  // The faint watermark needs no smoothing, and drawn without it every paint is the same.
  largeFont_.setStyleStrategy(QFont::NoAntialias);
  samplePeriod_ = 0;
  refresh_ = true;
  ReleaseRecordSet();
  SetFullMode(false);
  image_ = QImage(inner.size(), QImage::Format_RGB32);
  refreshTimer_.start(kRefreshMs);
}

void ChartView::SetFullMode(bool full) {
  fullMode_ = full;
  curves_ = records_ ? BuildRecordCurves(*records_, fullMode_, client_) : RecordCurves{};
}

bool ChartView::LoadRecordFile() {
  ReleaseRecordSet();
  lastLoad_ = ReadRecordFile(state_.RecordFilePath);
  if (!lastLoad_.ok()) {
    return false;
  }
  records_ = std::make_unique<RecordSet>(std::move(lastLoad_.set));
  lastLoad_.set = {};
  curves_ = BuildRecordCurves(*records_, fullMode_, client_);
  return true;
}

void ChartView::ReleaseRecordSet() {
  records_.reset();
  curves_ = {};
}

const QFont& ChartView::FontFor(const ChartText& text, const QString& shown) {
  const QFont& design = text.font == ChartFont::kMedium  ? mediumFont_
                        : text.font == ChartFont::kLarge ? largeFont_
                                                         : smallFont_;
  const int width = text.rect.right - text.rect.left;
  const QString key = QString::number(static_cast<int>(text.font)) + QLatin1Char(' ') +
                      QString::number(width) + QLatin1Char(' ') + shown;
  auto it = fitted_.find(key);
  if (it == fitted_.end()) {
    if (fitted_.size() > 2000) {
      fitted_.clear();  // labels change with the scales; keep the cache small
    }
    QFont font = FitFont(design, shown, width);
    // Step down until the text takes one line when wrapped as it is drawn.
    const auto wraps = [&](const QFont& f) {
      const QFontMetrics metrics(f);
      return metrics.boundingRect(QRect(0, 0, width, 1 << 16), Qt::TextWordWrap, shown).height() >
             metrics.height();
    };
    while (font.pixelSize() > 1 && wraps(font)) {
      font.setPixelSize(font.pixelSize() - 1);
    }
    it = fitted_.insert(key, font);
  }
  return *it;
}

QImage ChartView::Render() {
  QImage image(client_.right - client_.left, client_.bottom - client_.top, QImage::Format_RGB32);
  PaintScene(image);
  return image;
}

void ChartView::PaintScene(QImage& image) {
  if (refresh_) {
    const ReadingsRecord r = state_.readings.Load();
    snapshot_ = {r.voltage, r.current, r.power, r.dPlus, r.dMinus, r.tempExternal};
  }
  ChartInputs inputs;
  inputs.client = client_;
  inputs.voltage = state_.VoltageStore.Held();
  inputs.current = state_.CurrentStore.Held();
  inputs.temperature = state_.TemperatureStore.Held();
  inputs.samplePeriod = samplePeriod_;
  inputs.readout = snapshot_;
  inputs.records = records_ ? &curves_ : nullptr;
  inputs.captions = CaptionsFrom(state_.texts[TXT_VOLTAGE], state_.texts[TXT_CURRENT],
                                 state_.texts[TXT_TEMPERATURE]);
  BuildChartScene(inputs, scene_);
  refresh_ = false;

  image.fill(Qt::black);
  QPainter painter(&image);
  painter.setBackgroundMode(Qt::TransparentMode);
  scene_.ForEachItem([&](const ChartItem& item) {
    if (const auto* lines = std::get_if<ChartLines>(&item)) {
      QPen pen(ColourOf(lines->colour), 1);
      pen.setCosmetic(true);
      if (lines->dotted) {
        pen.setDashPattern({1, 1});
      }
      painter.setPen(pen);
      lines_.clear();
      for (const ChartSegment& s : lines->segments) {
        lines_.emplace_back(s.x1, s.y1, s.x2, s.y2);
      }
      painter.drawLines(lines_.data(), static_cast<int>(lines_.size()));
      return;
    }
    const auto& text = std::get<ChartText>(item);
    const QString shown = QString::fromStdString(text.text);
    if (text.font == ChartFont::kLarge) {
      PaintOutline(painter, text, shown);
      return;
    }
    painter.setPen(ColourOf(text.colour));
    painter.setFont(FontFor(text, shown));
    const QRect rect(text.rect.left, text.rect.top, text.rect.right - text.rect.left,
                     text.rect.bottom - text.rect.top);
    painter.drawText(rect, FlagsOf(text.align), shown);
  });
  ++paints_;
}

void ChartView::PaintOutline(QPainter& painter, const ChartText& text, const QString& shown) {
  const QRect rect(text.rect.left, text.rect.top, text.rect.right - text.rect.left,
                   text.rect.bottom - text.rect.top);
  if (outlineText_ != shown || outlineRect_ != rect) {
    const QFont& font = FontFor(text, shown);
    const QFontMetrics metrics(font);
    const QRect placed = metrics.boundingRect(rect, FlagsOf(text.align), shown);
    outline_ = QPainterPath();
    outline_.addText(QPointF(placed.left(), placed.top() + metrics.ascent()), font, shown);
    outlineText_ = shown;
    outlineRect_ = rect;
  }
  painter.save();
  painter.setClipRect(rect);
  painter.setPen(Qt::NoPen);
  painter.setBrush(ColourOf(text.colour));
  painter.drawPath(outline_);
  painter.restore();
}

void ChartView::paintEvent(QPaintEvent*) {
  if (image_.size() != contentsRect().size()) {
    image_ = QImage(contentsRect().size(), QImage::Format_RGB32);
  }
  PaintScene(image_);
  QPainter painter(this);
  drawFrame(&painter);
  painter.drawImage(contentsRect().topLeft(), image_);
}

}  // namespace vireo
