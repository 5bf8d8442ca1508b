#include "pages/chart/chart_view.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPen>
#include <algorithm>
#include <cmath>
#include <cstring>

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

QFont ChartFontOf(ChartFont role) {
  QFont font(kFontFace);
  font.setStyleHint(QFont::SansSerif);
  font.setWeight(QFont::Normal);
  font.setPixelSize(ChartFontPixels(role));
  return font;
}

// 1-pixel lines with both end points, each pixel set once along the line (Bresenham), clipped
// to the image. The chart draws up to six curves of some hundred short segments per paint;
// set straight into the pixels they cost a fraction of a painter's line drawing.
void ChartView::DrawSolidLines(const Pixels& target, const Rgb& colour,
                               const std::vector<ChartSegment>& segments) {
  const uint32_t pixel =
      0xFF000000u | uint32_t{colour.red} << 16 | uint32_t{colour.green} << 8 | colour.blue;
  for (const ChartSegment& s : segments) {
    int x = s.x1;
    int y = s.y1;
    const int dx = std::abs(s.x2 - s.x1);
    const int dy = -std::abs(s.y2 - s.y1);
    const int stepX = s.x1 < s.x2 ? 1 : -1;
    const int stepY = s.y1 < s.y2 ? 1 : -1;
    int error = dx + dy;
    for (;;) {
      if (x >= 0 && x < target.width && y >= 0 && y < target.height) {
        target.bits[static_cast<qsizetype>(y) * target.stride + x] = pixel;
      }
      if (x == s.x2 && y == s.y2) {
        break;
      }
      const int twice = 2 * error;
      if (twice >= dy) {
        error += dy;
        x += stepX;
      }
      if (twice <= dx) {
        error += dx;
        y += stepY;
      }
    }
  }
}

ChartView::ChartView(AppState& state, QWidget* parent) : QFrame(parent), state_(state) {
  // The control's border, sunken; the chart fills what lies inside it.
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(1);
  setAttribute(Qt::WA_OpaquePaintEvent);
  refreshTimer_.setSingleShot(true);
  repaintTimer_.setSingleShot(true);
  repaintTimer_.setTimerType(Qt::PreciseTimer);
  connect(&repaintTimer_, &QTimer::timeout, this, [this] {
    updateRequested_ = true;
    update();
  });
  connect(&refreshTimer_, &QTimer::timeout, this, [this] {
    refresh_ = true;
    Invalidate();
    refreshTimer_.start(kRefreshMs);
  });
}

void ChartView::Invalidate() {
  if (updateRequested_ || repaintTimer_.isActive()) {
    return;  // a repaint is due already
  }
  const qint64 since = sinceLastPaint_.isValid() ? sinceLastPaint_.elapsed() : kMinRepaintMs;
  if (since >= kMinRepaintMs) {
    updateRequested_ = true;
    update();
  } else {
    repaintTimer_.start(static_cast<int>(kMinRepaintMs - since));
  }
}

void ChartView::Initialise(const QSize& designSize) {
  const QSize inner = designSize - QSize(2 * frameWidth(), 2 * frameWidth());
  client_ = {0, 0, inner.width(), inner.height()};
  smallFont_ = ChartFontOf(ChartFont::kSmall);
  mediumFont_ = ChartFontOf(ChartFont::kMedium);
  largeFont_ = ChartFontOf(ChartFont::kLarge);
  legendFont_ = ChartFontOf(ChartFont::kLegend);
  // The faint watermark needs no smoothing, and drawn without it every paint is the same.
  largeFont_.setStyleStrategy(QFont::NoAntialias);
  samplePeriod_ = 0;
  refresh_ = true;
  ReleaseRecordSet();
  SetFullMode(false);
  image_ = QImage(inner, QImage::Format_RGB32);
  refreshTimer_.start(kRefreshMs);
}

void ChartView::SetFullMode(bool full) {
  fullMode_ = full;
  curves_ = records_ ? BuildRecordCurves(*records_, fullMode_, client_) : RecordCurves{};
}

bool ChartView::LoadRecordFile(const std::string& path) {
  ReleaseRecordSet();
  lastLoad_ = ReadRecordFile(path);
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
  const QFont& design = text.font == ChartFont::kMedium   ? mediumFont_
                        : text.font == ChartFont::kLarge  ? largeFont_
                        : text.font == ChartFont::kLegend ? legendFont_
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

double ChartView::ViewScale() const {
  const QSize inner = contentsRect().size();
  const int width = client_.right - client_.left;
  const int height = client_.bottom - client_.top;
  if (width <= 0 || height <= 0) {
    return 1.0;
  }
  return std::min(static_cast<double>(inner.width()) / width,
                  static_cast<double>(inner.height()) / height);
}

void ChartView::BuildScene() {
  if (refresh_) {
    const ReadingsRecord r = state_.readings.Load();
    snapshot_ = {r.voltage, r.current, r.power, r.dPlus, r.dMinus, r.tempExternal};
    readoutLive_ = live_.Update(state_);
  }
  ChartInputs inputs;
  inputs.client = client_;
  inputs.voltage = state_.VoltageStore.Held();
  inputs.current = state_.CurrentStore.Held();
  inputs.temperature = state_.TemperatureStore.Held();
  inputs.samplePeriod = samplePeriod_;
  inputs.readout = snapshot_;
  inputs.readoutLive = readoutLive_;
  inputs.records = records_ ? &curves_ : nullptr;
  const ChartCaptions named = CaptionsFrom(state_.texts[TXT_VOLTAGE], state_.texts[TXT_CURRENT],
                                           state_.texts[TXT_TEMPERATURE]);
  if (named.voltage != captions_.voltage || named.current != captions_.current ||
      named.temperature != captions_.temperature) {
    // The legend's lines stop short of the captions as they are drawn.
    captions_ = named;
    const std::string* texts[] = {&captions_.voltage, &captions_.current, &captions_.temperature};
    for (int i = 0; i < 3; ++i) {
      const ChartText caption{{0, 0, kLegendCaptionWidth, 1}, *texts[i], {}, ChartFont::kLegend};
      const QString shown = QString::fromStdString(caption.text);
      captions_.widths[i] = QFontMetrics(FontFor(caption, shown)).horizontalAdvance(shown);
    }
  }
  inputs.captions = captions_;
  BuildChartScene(inputs, scene_);
  refresh_ = false;
  sceneCaptions_ = QString::fromStdString(inputs.captions.voltage + '\n' + inputs.captions.current +
                                          '\n' + inputs.captions.temperature);
  ++paints_;
}

void ChartView::PaintScene(QImage& image) {
  BuildScene();
  // The background items never change while the captions stay: they are drawn once.
  const QString& captions = sceneCaptions_;
  if (background_.size() != image.size() || backgroundCaptions_ != captions) {
    background_ = QImage(image.size(), QImage::Format_RGB32);
    background_.fill(Qt::black);
    QPainter painter(&background_);
    for (size_t i = 0; i < scene_.backgroundItems; ++i) {
      PaintItem(painter, scene_.items[i]);
    }
    backgroundCaptions_ = captions;
  }
  if (image.format() == background_.format() && image.size() == background_.size()) {
    std::memcpy(image.bits(), background_.constBits(), static_cast<size_t>(image.sizeInBytes()));
  } else {
    image = background_.copy();
  }
  // Solid lines are set into the pixels directly; the painter draws the texts between them.
  target_ = {reinterpret_cast<uint32_t*>(image.bits()), image.bytesPerLine() / 4, image.width(),
             image.height()};
  QPainter painter(&image);
  scene_.ForEachItem([&](const ChartItem& item) { PaintItem(painter, item); },
                     scene_.backgroundItems);
  painter.end();
  target_ = {};
}

void ChartView::PaintScaled(QPainter& painter, double scale) {
  BuildScene();
  const QRect inner = contentsRect();
  const double width = (client_.right - client_.left) * scale;
  const double height = (client_.bottom - client_.top) * scale;
  painter.save();
  painter.setClipRect(inner);
  painter.fillRect(inner, Qt::black);
  // The client area centred in the inside, drawn in client pixels.
  painter.translate(inner.left() + (inner.width() - width) / 2,
                    inner.top() + (inner.height() - height) / 2);
  painter.scale(scale, scale);
  painter.setClipRect(QRectF(0, 0, client_.right - client_.left, client_.bottom - client_.top),
                      Qt::IntersectClip);
  scaled_ = true;
  scene_.ForEachItem([&](const ChartItem& item) { PaintItem(painter, item); });
  scaled_ = false;
  painter.restore();
}

void ChartView::PaintItem(QPainter& painter, const ChartItem& item) {
  if (const auto* lines = std::get_if<ChartLines>(&item)) {
    if (!lines->dotted && target_.bits) {
      DrawSolidLines(target_, lines->colour, lines->segments);
      return;
    }
    QPen pen(ColourOf(lines->colour), 1);
    if (scaled_) {
      // A line one client pixel wide through the pixels' middles, its end pixels included,
      // as the lines set into the image at the design's size.
      pen.setCapStyle(lines->dotted ? Qt::FlatCap : Qt::SquareCap);
      if (lines->dotted) {
        pen.setDashPattern({1, 1});
      }
      painter.setPen(pen);
      scaledLines_.clear();
      for (const ChartSegment& s : lines->segments) {
        scaledLines_.emplace_back(s.x1 + 0.5, s.y1 + 0.5, s.x2 + 0.5, s.y2 + 0.5);
      }
      painter.drawLines(scaledLines_.data(), static_cast<int>(scaledLines_.size()));
      return;
    }
    pen.setCosmetic(true);
    if (lines->dotted) {
      pen.setDashPattern({1, 1});
    }
    painter.setPen(pen);
    lines_.clear();
    for (const ChartSegment& segment : lines->segments) {
      lines_.emplace_back(segment.x1, segment.y1, segment.x2, segment.y2);
    }
    painter.drawLines(lines_.data(), static_cast<int>(lines_.size()));
    return;
  }
  const auto& text = std::get<ChartText>(item);
  if (text.font == ChartFont::kLarge) {
    PaintOutline(painter, text, QString::fromStdString(text.text));
    return;
  }
  // The key: where and how, then the text.
  const int where[] = {static_cast<int>(text.align),
                       static_cast<int>(text.font),
                       text.rect.left,
                       text.rect.top,
                       text.rect.right,
                       text.rect.bottom};
  std::string key(reinterpret_cast<const char*>(where), sizeof where);
  key += text.text;
  auto it = texts_.find(key);
  if (it == texts_.end()) {
    if (texts_.size() > 4000) {
      texts_.clear();  // labels change with the scales; keep the cache small
    }
    const QString shown = QString::fromStdString(text.text);
    const QRect rect(text.rect.left, text.rect.top, text.rect.right - text.rect.left,
                     text.rect.bottom - text.rect.top);
    // A text laid out once: on one line in a font that fits the width, placed in its
    // rectangle as the alignment says.
    PlacedText placed;
    placed.font = FontFor(text, shown);
    placed.text.setText(shown);
    placed.text.setTextFormat(Qt::PlainText);
    placed.text.setPerformanceHint(QStaticText::AggressiveCaching);
    placed.text.prepare(QTransform(), placed.font);
    const QSizeF size = placed.text.size();
    double x = rect.left();
    if (text.align == ChartAlign::kRight) {
      x = rect.left() + rect.width() - size.width();
    } else if (text.align != ChartAlign::kLeft) {
      x = rect.left() + (rect.width() - size.width()) / 2;
    }
    double y = rect.top();
    if (text.align == ChartAlign::kCentredLine) {
      y = rect.top() + (rect.height() - size.height()) / 2;
    }
    placed.at = QPointF(std::round(x), std::round(y));
    placed.clip = size.width() > rect.width() || size.height() > rect.height();
    placed.rect = rect;
    it = texts_.emplace(std::move(key), std::move(placed)).first;
  }
  const PlacedText& placed = it->second;
  painter.setPen(ColourOf(text.colour));
  painter.setFont(placed.font);
  if (placed.clip) {
    painter.save();
    painter.setClipRect(placed.rect);
    painter.drawStaticText(placed.at, placed.text);
    painter.restore();
  } else {
    painter.drawStaticText(placed.at, placed.text);
  }
}

void ChartView::PaintOutline(QPainter& painter, const ChartText& text, const QString& shown) {
  const QRect rect(text.rect.left, text.rect.top, text.rect.right - text.rect.left,
                   text.rect.bottom - text.rect.top);
  if (outlineText_ != shown || outlineRect_ != rect) {
    const QFont& font = FontFor(text, shown);
    // The first outline a font engine gives can differ from later ones by a fraction of a
    // pixel; made once for the whole program (only the GUI thread paints), every chart and
    // every exported picture show the same watermark.
    static QHash<QString, QPainterPath> outlines;
    const QString key =
        font.key() + QLatin1Char('\n') + shown + QLatin1Char('\n') + QString::number(rect.left()) +
        QLatin1Char(' ') + QString::number(rect.top()) + QLatin1Char(' ') +
        QString::number(rect.width()) + QLatin1Char(' ') + QString::number(rect.height());
    auto it = outlines.find(key);
    if (it == outlines.end()) {
      const QFontMetrics metrics(font);
      const QRect placed = metrics.boundingRect(rect, FlagsOf(text.align), shown);
      QPainterPath path;
      path.addText(QPointF(placed.left(), placed.top() + metrics.ascent()), font, shown);
      it = outlines.insert(key, path);
    }
    outline_ = *it;
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
  updateRequested_ = false;
  sinceLastPaint_.start();
  QPainter painter(this);
  drawFrame(&painter);
  if (hasFocus()) {
    // The keyboard is here: its context menu key saves or exports the chart.
    painter.setPen(palette().color(QPalette::Highlight));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }
  const QRect inner = contentsRect();
  const QSize clientSize(client_.right - client_.left, client_.bottom - client_.top);
  if (inner.size() != clientSize || devicePixelRatioF() != 1.0) {
    PaintScaled(painter, ViewScale());
    return;
  }
  if (image_.size() != clientSize) {
    image_ = QImage(clientSize, QImage::Format_RGB32);
  }
  PaintScene(image_);
  painter.drawImage(inner.topLeft(), image_);
}

}  // namespace vireo
