// SessionPlot: the chart of one stored session. It reads, at each change of the visible span or
// of its width, only that span at one column per pixel (record/session_span.h): min/max
// envelopes where a pixel holds many samples, lines between the samples where it holds few.
// Gaps break the curves and are shaded, their cause shown on hover. The wheel zooms at the
// pointer, dragging pans, a double-click fits the whole session; a click places cursor A, then
// B, and dragging a cursor moves it.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "record/session_span.h"
#include "text/text_table.h"

namespace vireo {

class SessionPlot : public QWidget {
 public:
  explicit SessionPlot(const TextTable& texts, QWidget* parent = nullptr);

  // The session to show, of a store that outlives the plot, with its start (Unix µs), its end
  // and its sample count; shows all of it.
  void SetSession(const record::RecordStore* store, int64_t sessionId, int64_t startUnixUs,
                  int64_t endUs, int64_t samples);
  // The session grew: the view follows its end unless the user has zoomed or panned.
  void SetEnd(int64_t endUs, int64_t samples);
  // The quantities drawn, bit i for record::kQuantities[i].
  void SetShown(unsigned quantities);
  unsigned shown() const { return shown_; }
  void Fit();
  // Shows [fromUs, toUs] of the session, as a zoom by the user would.
  void ShowSpan(int64_t fromUs, int64_t toUs);
  // Places both cursors, as clicks would.
  void PlaceCursors(int64_t aUs, int64_t bUs);
  // Held, each value axis keeps the scale it has now, whatever the view shows next; released,
  // the axes follow the values in view again.
  void SetScalesHeld(bool held);
  bool scalesHeld() const { return scalesHeld_; }

  int64_t fromUs() const { return fromUs_; }
  int64_t toUs() const { return toUs_; }
  int64_t endUs() const { return endUs_; }
  const std::optional<int64_t>& cursorA() const { return cursorA_; }
  const std::optional<int64_t>& cursorB() const { return cursorB_; }
  // Where a time of the session is drawn, and the time a pixel column stands for.
  int XOf(int64_t tUs) const;
  int64_t TimeAt(int x) const;
  QRect PlotArea() const;
  // The room of one value axis: its longest labels in the plot's font.
  int AxisWidth() const;

  std::function<void()> onCursorsChanged;

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  enum class Drag { kNone, kPending, kPan, kCursorA, kCursorB };
  void SetView(int64_t fromUs, int64_t toUs);
  void Load();
  void PaintTimeAxis(QPainter& painter, const QRect& area);

  const TextTable& texts_;
  const record::RecordStore* store_ = nullptr;
  int64_t sessionId_ = 0;
  int64_t startUnixUs_ = 0;
  int64_t endUs_ = 0;
  int64_t samples_ = 0;
  int64_t fromUs_ = 0;
  int64_t toUs_ = 1;
  bool zoomed_ = false;
  unsigned shown_ = 0b111;

  bool stale_ = true;
  std::string error_;
  record::SpanEnvelope envelope_;
  std::vector<record::StoredGap> gaps_;
  record::SampleCache sampleCache_;  // what the last view read from the samples

  // A value axis's scale, as drawn.
  struct AxisScale {
    double bottom = 0;
    double top = 1;
    double step = 0.2;
  };
  bool scalesHeld_ = false;
  std::array<std::optional<AxisScale>, 4> heldScales_;  // per unit axis, while held

  std::optional<int64_t> cursorA_;
  std::optional<int64_t> cursorB_;
  // The cursors before the last click placed one, for a double-click to put back.
  std::optional<int64_t> previousA_;
  std::optional<int64_t> previousB_;
  Drag drag_ = Drag::kNone;
  int pressX_ = 0;
  int64_t pressFromUs_ = 0;
};

}  // namespace vireo
