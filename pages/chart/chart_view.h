// ChartView: the chart control of the chart page. Every paint builds the scene of the chart
// (pages/chart/chart_scene.h) from the sample stores, the readout snapshot and the loaded
// record set. At its design size it paints the scene into one off-screen image and copies that
// image to the screen in one piece; at any other size, or on a high-DPI screen, it paints the
// scene under a scale transform, so lines and texts stay sharp. Its timer asks every 300 ms for a
// new readout snapshot and a repaint. It takes no input; the page puts a context menu on it.
#pragma once

#include <QElapsedTimer>
#include <QFont>
#include <QFrame>
#include <QHash>
#include <QImage>
#include <QPainterPath>
#include <QStaticText>
#include <QTimer>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/app_state.h"
#include "meter/record_file.h"
#include "pages/chart/chart_scene.h"
#include "pages/live_watch.h"

namespace vireo {

// The font the chart draws a role's texts in, at scale 1.
QFont ChartFontOf(ChartFont role);

class ChartView : public QFrame {
 public:
  static constexpr int kRefreshMs = 300;
  static constexpr int kMinRepaintMs = 33;

  explicit ChartView(AppState& state, QWidget* parent = nullptr);

  // Takes the client area, the control's inside at `designSize`, its size at the design's base
  // units; creates the fonts and starts the refresh timer. The chart is drawn in the client
  // area's pixels and scaled, as a drawing, to whatever size the control has.
  void Initialise(const QSize& designSize);
  // Screen pixels per client pixel: the control's inside over the client area, the smaller of
  // the two ratios (the rest of the inside is black).
  double ViewScale() const;
  void SetSamplePeriod(uint32_t periodMs) { samplePeriod_ = periodMs; }
  void SetFullMode(bool full);
  // Asks for a repaint without erasing first. Requests that pile up are merged: the chart is
  // painted at most once every kMinRepaintMs, however fast it is sampled.
  void Invalidate();

  // Reads the record file at `path` into a new record set; the set held before is gone either
  // way. False when the file was refused; lastLoad() says why.
  bool LoadRecordFile(const std::string& path);
  void ReleaseRecordSet();

  // One whole paint of the client area, as it goes to the screen.
  QImage Render();

  uint32_t samplePeriod() const { return samplePeriod_; }
  bool fullMode() const { return fullMode_; }
  const RecordSet* recordSet() const { return records_.get(); }
  const RecordFileResult& lastLoad() const { return lastLoad_; }
  const ChartRect& client() const { return client_; }
  // The readings the readout row shows, renewed at the first paint after each refresh tick.
  const ReadoutSnapshot& readout() const { return snapshot_; }
  // Whether the readout row shows live values (bright) or the last ones (dimmed).
  bool readoutLive() const { return readoutLive_; }
  const QTimer& refreshTimer() const { return refreshTimer_; }
  // Whole paints so far, for tests that wait for the next one.
  int paints() const { return paints_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // Takes the snapshot when due and builds the scene of this paint.
  void BuildScene();
  void PaintScene(QImage& image);
  void PaintScaled(QPainter& painter, double scale);
  void PaintItem(QPainter& painter, const ChartItem& item);
  // The pixels of the image being painted (RGB32).
  struct Pixels {
    uint32_t* bits = nullptr;
    qsizetype stride = 0;
    int width = 0;
    int height = 0;
  };
  static void DrawSolidLines(const Pixels& target, const Rgb& colour,
                             const std::vector<ChartSegment>& segments);
  // The font of a text: the design's, or smaller where the text would not fit its width on
  // one line (a stand-in face may be wider than the designed one).
  const QFont& FontFor(const ChartText& text, const QString& shown);
  // Large text (the watermark) is filled as an outline made once: a glyph that size would
  // otherwise be rasterised a little differently from paint to paint.
  void PaintOutline(QPainter& painter, const ChartText& text, const QString& shown);

  AppState& state_;
  ChartRect client_;
  QFont smallFont_;
  QFont mediumFont_;
  QFont largeFont_;
  QFont legendFont_;
  uint32_t samplePeriod_ = 0;
  bool refresh_ = true;
  std::unique_ptr<RecordSet> records_;
  RecordFileResult lastLoad_;
  // The record curves of the held set at the current FULL setting, made once for both.
  RecordCurves curves_;
  bool fullMode_ = false;
  ReadoutSnapshot snapshot_;
  LiveWatch live_;
  bool readoutLive_ = false;
  ChartCaptions captions_;
  ChartScene scene_;
  QImage image_;
  std::vector<QLine> lines_;
  std::vector<QLineF> scaledLines_;
  bool scaled_ = false;  // painting under a scale transform
  QHash<QString, QFont> fitted_;
  struct PlacedText {
    QStaticText text;
    QFont font;
    QPointF at;
    QRect rect;
    bool clip = false;
  };
  std::unordered_map<std::string, PlacedText> texts_;
  QImage background_;
  Pixels target_;
  QString backgroundCaptions_;
  QString sceneCaptions_;
  QPainterPath outline_;
  QString outlineText_;
  QRect outlineRect_;
  QTimer refreshTimer_;
  QTimer repaintTimer_;
  QElapsedTimer sinceLastPaint_;
  bool updateRequested_ = false;  // asked for and not painted yet
  int paints_ = 0;
};

}  // namespace vireo
