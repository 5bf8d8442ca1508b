// The session view over a session written by the recorder's own code, with a gap: cursors
// placed and dragged by the mouse show the statistics `vireometer-cli stats` gives for their
// span, the wheel zooms around the pointer and a double-click fits the whole session.
#include "pages/sessions/session_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QRegularExpression>
#include <QTest>
#include <QWheelEvent>
#include <cmath>

#include "record/recording_sink.h"
#include "record/session_recorder.h"
#include "support/temp_folder.h"

namespace vireo {
namespace {

using record::test::kMillisecond;
using record::test::kMonoBase;
using record::test::kSecond;

class SessionViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // 60 s at 10 frames/s, the meter gone from 20 s to 30 s. Written and closed before
    // the view reads it.
    {
      record::RecordStore store;
      ASSERT_EQ(store.OpenForRecording(path_).error, record::StoreError::kNone);
      record::SessionRecorder recorder({}, 0, {}, &store, {}, [](const std::string&) {});
      recorder.SetMeter("00C0FFEE", "1.0");
      recorder.OnStreamStarted(kMonoBase);
      Feed(recorder, 0, 20 * kSecond);
      recorder.OnMeterLost(kMonoBase + 20 * kSecond, "meter gone");
      recorder.OnStreamStarted(kMonoBase + 30 * kSecond);
      Feed(recorder, 30 * kSecond, 60 * kSecond);
      recorder.End(kMonoBase + 60 * kSecond, record::EndReason::kStopped);
      recorder.Finish();
    }
    std::string error;
    ASSERT_TRUE(view_.Open(path_, 1, error)) << error;
    ASSERT_TRUE(reading_.OpenForReading(path_).error == record::StoreError::kNone);
    view_.resize(900, 520);
    view_.show();
  }
  // Frames 100 ms apart from `from` to `to`, written as the recorder goes (a batch a second).
  static void Feed(record::SessionRecorder& recorder, int64_t from, int64_t to) {
    for (int64_t t = from; t <= to; t += 100 * kMillisecond) {
      const double phase = static_cast<double>(t) / kSecond;
      recorder.OnFrames({record::test::Frame(t, 5.0f + 0.1f * float(std::sin(phase)),
                                             0.5f + 0.2f * float(std::cos(phase / 3)))});
      if (t % kSecond == 0 || t == to) {
        ASSERT_TRUE(recorder.Tick(kMonoBase + t));
      }
    }
  }

  record::SpanStats Stats(int64_t fromUs, int64_t toUs) {
    record::SpanStats st;
    std::string error;
    EXPECT_TRUE(record::SpanStatistics(reading_, 1, fromUs, toUs, st, error)) << error;
    return st;
  }
  // The number shown after `label` in the statistics panel.
  double Shown(const QString& pattern) {
    const auto match = QRegularExpression(pattern).match(view_.statsText());
    EXPECT_TRUE(match.hasMatch()) << pattern.toStdString() << " in "
                                  << view_.statsText().toStdString();
    return match.captured(1).toDouble();
  }

  test::TempFolder folder_;
  std::string path_ = folder_ / "sessions.db";
  TextTable texts_;
  SessionView view_{texts_};
  record::RecordStore reading_;
};

TEST_F(SessionViewTest, CursorsPlacedAndDraggedShowTheStatisticsOfTheirSpan) {
  SessionPlot* plot = view_.plot();
  EXPECT_EQ(plot->fromUs(), 0);
  EXPECT_EQ(plot->toUs(), 60'000'000);
  const QRect area = plot->PlotArea();
  const int y = area.center().y();
  const int xA = area.left() + area.width() / 10;
  const int xB = area.left() + area.width() / 2;
  const int xMoved = area.left() + area.width() * 9 / 10;
  QTest::mouseClick(plot, Qt::LeftButton, {}, QPoint(xA, y));
  EXPECT_FALSE(view_.spanStats());
  QTest::mouseClick(plot, Qt::LeftButton, {}, QPoint(xB, y));
  ASSERT_TRUE(view_.spanStats());
  // Cursor B dragged past the gap.
  QTest::mousePress(plot, Qt::LeftButton, {}, QPoint(xB, y));
  QTest::mouseMove(plot, QPoint((xB + xMoved) / 2, y));
  QTest::mouseMove(plot, QPoint(xMoved, y));
  QTest::mouseRelease(plot, Qt::LeftButton, {}, QPoint(xMoved, y));
  ASSERT_EQ(plot->cursorA(), plot->TimeAt(xA));
  ASSERT_EQ(plot->cursorB(), plot->TimeAt(xMoved));
  EXPECT_EQ(plot->fromUs(), 0) << "a drag of a cursor does not pan";

  const record::SpanStats want = Stats(plot->TimeAt(xA), plot->TimeAt(xMoved));
  ASSERT_TRUE(view_.spanStats());
  EXPECT_EQ(view_.spanStats()->fromUs, want.fromUs);
  EXPECT_EQ(view_.spanStats()->toUs, want.toUs);
  EXPECT_LT(want.coverage, 0.9);  // the gap lies inside
  EXPECT_DOUBLE_EQ(Shown("\u0394t ([0-9.]+) s"), std::round(want.spanSeconds * 1e6) / 1e6);
  EXPECT_NEAR(Shown("covered ([0-9.]+) s"), want.coveredSeconds, 1e-6);
  EXPECT_NEAR(Shown("Energy ([0-9.]+) Wh"), want.energyWh, 1e-6);
  EXPECT_NEAR(Shown("charge ([0-9.]+) mAh"), want.chargeMah, 1e-4);
  const auto& current = want.quantities[record::kCurrentIndex];
  EXPECT_NEAR(Shown("\nA  min ([0-9.]+)"), current.min, 1e-6);
  EXPECT_NEAR(Shown("\nA  .*max ([0-9.]+)"), current.max, 1e-6);
  EXPECT_NEAR(Shown("\nV  .*mean ([0-9.]+)"), want.quantities[0].Mean(), 1e-6);

  // 2000 mAh at the span's mean current.
  view_.SetCapacityMah(2000);
  const double hours = 2000 / (current.Mean() * 1000);
  EXPECT_NEAR(Shown("lasts ([0-9]+):"), std::floor(hours), 0);
}

TEST_F(SessionViewTest, WheelZoomsAroundThePointerDownToFewSamplesAndDoubleClickFits) {
  SessionPlot* plot = view_.plot();
  const QRect area = plot->PlotArea();
  const QPoint at(area.left() + area.width() / 4, area.center().y());
  const int64_t pointed = plot->TimeAt(at.x());
  const auto wheel = [&](int notches) {
    QWheelEvent event(at, plot->mapToGlobal(at), {}, QPoint(0, 120 * notches), Qt::NoButton, {},
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(plot, &event);
  };
  wheel(3);
  const int64_t span = plot->toUs() - plot->fromUs();
  EXPECT_NEAR(span, 60'000'000 * 0.512, 1000);
  EXPECT_NEAR(plot->TimeAt(at.x()), pointed, span / area.width() + 1);
  plot->grab();
  // Zoomed in as far as it goes: a few samples 100 ms apart, still around the pointer.
  wheel(80);
  const int64_t least = plot->toUs() - plot->fromUs();
  EXPECT_GE(least, 300'000);
  EXPECT_LE(least, 1'000'000);
  EXPECT_NEAR(plot->TimeAt(at.x()), pointed, least / 2);
  plot->grab();

  // A double-click as a window system delivers it: a click, then a press that comes as a
  // double-click.
  QTest::mouseClick(plot, Qt::LeftButton, {}, at);
  QTest::mouseDClick(plot, Qt::LeftButton, {}, at);
  EXPECT_EQ(plot->fromUs(), 0);
  EXPECT_EQ(plot->toUs(), 60'000'000);
  EXPECT_FALSE(plot->cursorA()) << "the clicks of a double-click place no cursor";

  // Dragging pans by the time of the pixels dragged over.
  wheel(3);
  const int64_t from = plot->fromUs();
  const int64_t perPixel = (plot->toUs() - from) / area.width();
  QTest::mousePress(plot, Qt::LeftButton, {}, at);
  QTest::mouseMove(plot, at + QPoint(50, 0));
  QTest::mouseMove(plot, at + QPoint(100, 0));
  QTest::mouseRelease(plot, Qt::LeftButton, {}, at + QPoint(100, 0));
  EXPECT_NEAR(plot->fromUs(), from - 100 * perPixel, perPixel + 1);
  EXPECT_FALSE(plot->cursorA()) << "a pan places no cursor";

  // Held, the value axes keep their scales while the view moves; released, they follow it.
  const auto leftAxis = [&] {
    return plot->grab().toImage().copy(0, area.top() - 8, area.left(), area.height());
  };
  plot->Fit();
  plot->SetScalesHeld(true);
  const QImage held = leftAxis();
  plot->ShowSpan(10'000'000, 11'000'000);
  EXPECT_EQ(leftAxis(), held);
  plot->SetScalesHeld(false);
  EXPECT_NE(leftAxis(), held);
}

TEST_F(SessionViewTest, LiveSessionIsFollowedUntilTheUserZooms) {
  const std::string livePath = folder_ / "live.db";
  record::RecordStore store;
  ASSERT_EQ(store.OpenForRecording(livePath).error, record::StoreError::kNone);
  record::SessionRecorder recorder({}, 0, {}, &store, {}, [](const std::string&) {});
  recorder.SetMeter("00C0FFEE", "1.0");
  recorder.OnStreamStarted(kMonoBase);
  Feed(recorder, 0, 10 * kSecond);

  SessionView live(texts_);
  std::string error;
  ASSERT_TRUE(live.Open(livePath, 1, error)) << error;
  live.resize(900, 520);
  live.SetLive(true);
  SessionPlot* plot = live.plot();
  EXPECT_EQ(plot->toUs(), 10'000'000);
  Feed(recorder, 10 * kSecond + 100 * kMillisecond, 20 * kSecond);
  EXPECT_TRUE(QTest::qWaitFor([&] { return plot->toUs() == 20'000'000; }, 5000));
  EXPECT_EQ(plot->fromUs(), 0);

  QWheelEvent zoom(plot->PlotArea().center(), plot->mapToGlobal(plot->PlotArea().center()), {},
                   QPoint(0, 120), Qt::NoButton, {}, Qt::NoScrollPhase, false);
  QApplication::sendEvent(plot, &zoom);
  const std::pair view{plot->fromUs(), plot->toUs()};
  Feed(recorder, 20 * kSecond + 100 * kMillisecond, 30 * kSecond);
  EXPECT_TRUE(QTest::qWaitFor([&] { return plot->endUs() == 30'000'000; }, 5000));
  EXPECT_EQ(std::pair(plot->fromUs(), plot->toUs()), view);
  recorder.End(kMonoBase + 30 * kSecond, record::EndReason::kStopped);
  recorder.Finish();
}

}  // namespace
}  // namespace vireo
