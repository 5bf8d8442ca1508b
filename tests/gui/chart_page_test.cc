// The chart page on the offscreen platform: the page as it opens, its modes, the rate, FULL,
// ShowOff, the context menu, the read-out through the main window, and the pixels of the
// chart where the design fixes them.
#include "pages/chart/chart_page.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <fstream>

#include "gui/main_window.h"
#include "pages/chart/chart_export.h"
#include "pages/readings/page_tab_ctrl.h"
#include "pages/readings/readings_page.h"
#include "support/chart_text_extents.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::LogEntry;
using testing::RecordingReporter;

const QColor kBlack(0, 0, 0);
const QColor kGrey(64, 64, 64);
const QColor kYellow(221, 221, 0);
const QColor kCyan(0, 221, 221);
const QColor kRed(255, 0, 0);
const QColor kMagenta(221, 0, 221);
const QColor kGreen(95, 223, 0);
const QColor kCoral(255, 127, 80);

// Pixels of a colour in a rectangle of an image.
int Count(const QImage& image, const QRect& area, const QColor& colour) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      n += image.pixelColor(x, y) == colour;
    }
  }
  return n;
}

// Pixels of text in a colour, drawn smoothed on black: the colour at a fraction of its
// brightness, above half of it (bright) or at most half (dimmed).
int Tinted(const QImage& image, const QRect& area, const QColor& colour, bool bright = true) {
  const int top = std::max({colour.red(), colour.green(), colour.blue()});
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QColor p = image.pixelColor(x, y);
      const double a = std::max({p.red(), p.green(), p.blue()}) / double(top);
      const bool hue = std::abs(p.red() - a * colour.red()) <= 12 &&
                       std::abs(p.green() - a * colour.green()) <= 12 &&
                       std::abs(p.blue() - a * colour.blue()) <= 12;
      n += hue && a > 0.15 && (bright ? a > 0.55 : a <= 0.55);
    }
  }
  return n;
}

// A record file of `count` records: 5.0 V and 5.1 V in turn, 1 A, 25 °C.
std::string RecordFile(const QString& path, uint32_t count, uint8_t hours = 1) {
  std::ofstream out(path.toStdString(), std::ios::binary);
  out.put(0x05).put(static_cast<char>(hours));
  for (uint32_t i = 0; i < count; ++i) {
    const uint16_t mv = i % 2 ? 5100 : 5000;
    const char record[5] = {static_cast<char>(mv & 0xFF), static_cast<char>(mv >> 8),
                            static_cast<char>(0xE8), 0x03, 25};
    out.write(record, 5);
  }
  return path.toStdString();
}

// The chart's layout test measures texts with a table of advances; here the table is held to
// the fonts the chart draws with: never narrower, and where the face is the table's, no wider.
TEST(ChartFonts, TheAdvanceTableMatchesTheFontsOfTheChart) {
  const char* samples[] = {"-32.80",
                           "-140",
                           "100.00",
                           "888:88:88",
                           "88.888W",
                           "D+:8.88V",
                           "D-:-8.8V",
                           "188.8\u2103",
                           "NULL",
                           "Voltage (V)",
                           "Current (A)",
                           "Temperature (\u2103)",
                           "Time : 200ms All : 460.0s"};
  for (const ChartFont role : {ChartFont::kSmall, ChartFont::kMedium, ChartFont::kLegend}) {
    const QFont font = ChartFontOf(role);
    const QFontMetricsF metrics(font);
    const int size = ChartFontPixels(role);
    const bool tableFace = QFontInfo(font).family() == "DejaVu Sans";
    for (const char* sample : samples) {
      const double table = *testing::TextWidth(sample, size);
      const double real = metrics.horizontalAdvance(QString::fromUtf8(sample));
      EXPECT_LE(real, table + 0.5) << sample << " at " << size << " px";
      if (tableFace) {  // kerning takes a little off some pairs of letters
        EXPECT_GE(real, table * 0.97 - 0.5) << sample << " at " << size << " px";
      }
    }
    EXPECT_LE(metrics.height(), testing::LineHeight(size) + 0.5) << size << " px";
  }
}

class ChartPageTest : public ::testing::Test {
 protected:
  ChartPageTest() {
    testing::NumberTexts(state_.texts);
    // At the design's base units the chart is drawn at its design size.
    page_ = std::make_unique<ChartPage>(state_, reporter_, DialogUnits(7, 13));
  }

  QString Dir(const QString& name) const { return folder_.filePath(name); }
  // Picks an item of the mode combo as a user does.
  void PickMode(int index) {
    page_->modeCombo().setCurrentIndex(index);
    Q_EMIT page_->modeCombo().activated(index);
  }
  bool Visible(QWidget& w) const { return w.isVisibleTo(page_.get()); }

  AppState state_;
  RecordingReporter reporter_;
  QTemporaryDir folder_;
  std::unique_ptr<ChartPage> page_;
};

TEST_F(ChartPageTest, AsItOpens) {
  ChartPage& page = *page_;
  EXPECT_EQ(page.modeCombo().count(), 2);
  EXPECT_EQ(page.modeCombo().itemText(0), "T55");
  EXPECT_EQ(page.modeCombo().itemText(1), "T56");
  EXPECT_EQ(page.modeCombo().currentIndex(), 0);
  ASSERT_EQ(page.rateCombo().count(), 7);
  EXPECT_EQ(page.rateCombo().itemText(0), "100HZ");
  EXPECT_EQ(page.rateCombo().itemText(6), "1HZ");
  EXPECT_EQ(page.rateCombo().currentIndex(), 0);
  EXPECT_TRUE(page.samplingTimer().isActive());
  EXPECT_EQ(page.samplingTimer().interval(), 10);
  EXPECT_EQ(page.chartMode(), ChartPage::kLive);
  EXPECT_TRUE(Visible(page.modeCombo()));
  EXPECT_TRUE(Visible(page.rateCombo()));
  EXPECT_FALSE(Visible(page.readOffButton()));
  EXPECT_FALSE(Visible(page.pathEdit()));
  EXPECT_FALSE(Visible(page.showOffButton()));
  EXPECT_FALSE(Visible(page.fullBox()));
  EXPECT_EQ(page.readOffButton().text(), "T58");
  EXPECT_EQ(page.showOffButton().text(), "T59");
  EXPECT_EQ(page.fullBox().text(), "T63");
  EXPECT_TRUE(page.pathEdit().isReadOnly());
  // "Time : 200ms All : 4.6s" under the plot, in the D+ colour.
  EXPECT_EQ(page.view().samplePeriod(), 10u);
  EXPECT_GT(Tinted(page.view().Render(), QRect(60, 218, 460, 18), kGreen), 20);
  EXPECT_EQ(page.view().client(), (ChartRect{0, 0, 577, 261}));
  EXPECT_TRUE(page.view().refreshTimer().isActive());
}

TEST_F(ChartPageTest, ThePixelsOfTheFrameGridCurveAndReadout) {
  PushSample(state_.VoltageStore, 5.0f);
  PushSample(state_.VoltageStore, 5.1f);
  PushSample(state_.CurrentStore, 1.0f);
  PushSample(state_.CurrentStore, 1.0f);
  PushSample(state_.TemperatureStore, -60.0f);
  PushSample(state_.TemperatureStore, -60.0f);
  const QImage image = page_->view().Render();
  ASSERT_EQ(image.size(), QSize(577, 261));
  // Frame lines.
  EXPECT_EQ(image.pixelColor(60, 100), kGrey);
  EXPECT_EQ(image.pixelColor(300, 18), kGrey);
  EXPECT_EQ(image.pixelColor(100, 217), kGrey);
  // Dotted grid lines every 20 pixels, black between them.
  const int dots = Count(image, QRect(80, 19, 1, 198), kGrey);
  EXPECT_GT(dots, 80);
  EXPECT_LT(dots, 120);
  EXPECT_GT(Count(image, QRect(61, 38, 150, 1), kGrey), 60);
  EXPECT_EQ(image.pixelColor(70, 28), kBlack);
  EXPECT_EQ(Count(image, QRect(81, 19, 19, 19), kBlack), 19 * 19);
  // The newest voltage sample on the right frame line, 100 rows up (scale 5.0 to 5.2), joined
  // without a gap to the one before it on the bottom frame line.
  EXPECT_EQ(image.pixelColor(519, 117), kYellow);
  for (int y = 118; y < 217; ++y) {
    EXPECT_EQ(image.pixelColor(518, y) == kYellow || image.pixelColor(519, y) == kYellow, true)
        << y;
  }
  // The readout row, each cell in its colour, dimmed while no stream has delivered a frame.
  const QColor colours[] = {kYellow, kCyan, kMagenta, kGreen, kCoral, kRed};
  for (int i = 0; i < 6; ++i) {
    const QRect cell(100 * i, 232, i == 5 ? 77 : 100, 29);
    EXPECT_GT(Tinted(image, cell, colours[i], false), 10) << i;
    EXPECT_EQ(Tinted(image, cell, colours[i]), 0) << i;
  }
  // The legend lines.
  EXPECT_EQ(image.pixelColor(100, 8), kYellow);
  EXPECT_EQ(image.pixelColor(250, 8), kCyan);
  EXPECT_EQ(image.pixelColor(400, 8), kRed);
}

TEST_F(ChartPageTest, WhatReachesTheScreenIsTheOffscreenImage) {
  page_->show();
  ChartView& view = page_->view();
  const QImage grabbed = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QImage rendered = view.Render();
  EXPECT_EQ(grabbed.copy(view.contentsRect()), rendered);
}

TEST_F(ChartPageTest, ALargerChartIsDrawnAnewAtItsSizeNotStretched) {
  page_->show();
  ChartView& view = page_->view();
  // Twice the design size inside the frame.
  view.resize(2 * 577 + 2, 2 * 261 + 2);
  ASSERT_EQ(view.ViewScale(), 2.0);
  const QImage grabbed = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QImage rendered = view.Render();
  const auto at = [&](int x, int y, int dx, int dy) {
    return grabbed.pixelColor(1 + 2 * x + dx, 1 + 2 * y + dy);
  };
  // The plot's frame lands on the same pixels, each chart pixel on two by two, in its own
  // colour: sharp, not smoothed into its neighbours.
  int frame = 0;
  for (int y = 18; y <= 217; ++y)
    frame += at(60, y, 0, 0) == kGrey && at(60, y, 1, 1) == kGrey && at(519, y, 1, 0) == kGrey;
  for (int x = 60; x <= 519; ++x)
    frame += at(x, 18, 0, 0) == kGrey && at(x, 18, 1, 1) == kGrey && at(x, 217, 0, 1) == kGrey;
  EXPECT_EQ(frame, 200 + 460);
  EXPECT_EQ(at(60, 100, 0, 0), kGrey);
  EXPECT_EQ(at(60, 100, 1, 0), kGrey);
  EXPECT_EQ(at(59, 100, 1, 0), kBlack);
  EXPECT_EQ(at(61, 100, 0, 0), kBlack);
  // Texts are drawn anew at the size: the legend's captions are not the small ones doubled.
  int differ = 0;
  for (int y = 0; y < 17; ++y) {
    for (int x = 0; x < 577; ++x)
      differ += at(x, y, 0, 0) != rendered.pixelColor(x, y) ||
                at(x, y, 1, 1) != rendered.pixelColor(x, y);
  }
  EXPECT_GT(differ, 100);
}

TEST_F(ChartPageTest, RepaintRequestsThatPileUpAreMerged) {
  page_->show();
  ChartView& view = page_->view();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view.paints() > 0; }, 2000));
  const int before = view.paints();
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 330) {
    view.Invalidate();
    QCoreApplication::processEvents();
  }
  // At most one paint every 33 ms, and at least the one asked for; unmerged, every request
  // would paint.
  ASSERT_TRUE(QTest::qWaitFor([&] { return view.paints() > before; }, 2000));
  EXPECT_LE(view.paints() - before, 330 / ChartView::kMinRepaintMs + 2);
}

TEST_F(ChartPageTest, SamplingFillsTheStoresInLiveModeWhileTheStreamRuns) {
  ReadingsRecord r;
  r.voltage = 5.0f;
  r.voltageFast = 5.25f;
  r.tempExternal = 30.0f;
  state_.readings.Store(r);
  QSignalSpy ticks(&page_->samplingTimer(), &QTimer::timeout);
  // Without a stream the ticks add nothing.
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.count() >= 3; }, 2000));
  EXPECT_EQ(state_.VoltageStore.count, 0);
  state_.LiveRunning = 1;
  ASSERT_TRUE(QTest::qWaitFor([&] { return state_.VoltageStore.count >= 3; }, 2000));
  EXPECT_EQ(state_.VoltageStore.Held().back(), 5.25f);
  EXPECT_EQ(state_.TemperatureStore.Held().back(), 30.0f);
  EXPECT_EQ(state_.CurrentStore.count, state_.VoltageStore.count);
}

TEST_F(ChartPageTest, ARateChangeEmptiesTheStoresAndTheNextTickUsesTheNewRate) {
  ReadingsRecord r;
  r.voltage = 5.0f;
  r.voltageFast = 5.25f;
  state_.readings.Store(r);
  state_.LiveRunning = 1;
  ASSERT_TRUE(QTest::qWaitFor([&] { return state_.VoltageStore.count >= 2; }, 2000));
  page_->rateCombo().setCurrentIndex(3);  // 10HZ
  EXPECT_EQ(state_.VoltageStore.count, 0);
  EXPECT_EQ(state_.TemperatureStore.count, 0);
  EXPECT_EQ(page_->view().samplePeriod(), 100u);
  ASSERT_TRUE(QTest::qWaitFor([&] { return state_.VoltageStore.count >= 1; }, 2000));
  EXPECT_EQ(state_.VoltageStore.Held().back(), 5.0f);
  EXPECT_EQ(page_->samplingTimer().interval(), 100);
  EXPECT_GT(Tinted(page_->view().Render(), QRect(60, 218, 460, 18), kGreen), 20);
}

TEST_F(ChartPageTest, RecordsModeWithoutAPathShowsTheDefaultAxesAndLoadsNothing) {
  PushSample(state_.VoltageStore, 7.0f);
  PickMode(ChartPage::kRecords);
  EXPECT_EQ(page_->chartMode(), ChartPage::kRecords);
  EXPECT_FALSE(Visible(page_->rateCombo()));
  EXPECT_TRUE(Visible(page_->readOffButton()));
  EXPECT_TRUE(Visible(page_->pathEdit()));
  EXPECT_TRUE(Visible(page_->showOffButton()));
  EXPECT_TRUE(Visible(page_->fullBox()));
  EXPECT_EQ(state_.VoltageStore.count, 0);
  EXPECT_EQ(page_->view().recordSet(), nullptr);
  EXPECT_EQ(page_->view().samplePeriod(), 0u);
  const QImage image = page_->view().Render();
  // No period label and no time axis under the plot; the axes are labelled.
  EXPECT_EQ(Tinted(image, QRect(61, 218, 458, 13), kGreen), 0);
  EXPECT_GT(Tinted(image, QRect(0, 10, 55, 220), kYellow), 50);
  EXPECT_GT(Tinted(image, QRect(524, 10, 51, 220), kRed), 50);
  // No curve inside the plot.
  EXPECT_EQ(Count(image, QRect(61, 19, 458, 198), kYellow), 0);
}

TEST_F(ChartPageTest, ShowOffLoadsTheChosenFileAndLiveModeReleasesIt) {
  const std::string path = RecordFile(Dir("a.vat"), 352);
  page_->chooseRecordFile = [&] { return QString::fromStdString(path); };
  PickMode(ChartPage::kRecords);
  page_->ShowOff();
  EXPECT_EQ(page_->recordPath(), path);
  EXPECT_EQ(page_->pathEdit().text().toStdString(), path);
  ASSERT_NE(page_->view().recordSet(), nullptr);
  EXPECT_EQ(page_->view().recordSet()->count, 352u);
  const QImage image = page_->view().Render();
  EXPECT_GT(Count(image, QRect(61, 19, 350, 198), kYellow), 100);
  EXPECT_GT(Tinted(image, QRect(61, 218, 458, 18), kGreen), 20);  // the time axis

  PickMode(ChartPage::kLive);
  EXPECT_EQ(page_->view().recordSet(), nullptr);
  EXPECT_EQ(page_->pathEdit().text().toStdString(), path);  // kept across modes
  PickMode(ChartPage::kRecords);
  ASSERT_NE(page_->view().recordSet(), nullptr);

  // A cancelled dialog changes nothing.
  page_->chooseRecordFile = [] { return QString(); };
  page_->ShowOff();
  EXPECT_EQ(page_->recordPath(), path);
  EXPECT_NE(page_->view().recordSet(), nullptr);
}

TEST_F(ChartPageTest, ReselectingRecordsReloadsTheFileOfTheRecordPath) {
  page_->OpenRecordFile(Dir("a.vat"));  // missing: refused, but the path is shown
  EXPECT_EQ(page_->view().recordSet(), nullptr);
  EXPECT_EQ(page_->pathEdit().text(), Dir("a.vat"));
  EXPECT_EQ(page_->view().lastLoad().error, RecordFileError::kUnreadable);
  RecordFile(Dir("a.vat"), 10);
  PickMode(ChartPage::kRecords);
  ASSERT_NE(page_->view().recordSet(), nullptr);
  EXPECT_EQ(page_->view().recordSet()->count, 10u);
  // A refused file after a good one leaves no curves.
  RecordFile(Dir("a.vat"), 0, 0);
  PickMode(ChartPage::kRecords);
  EXPECT_EQ(page_->view().recordSet(), nullptr);
  EXPECT_EQ(page_->view().lastLoad().error, RecordFileError::kNoRecordHours);
}

TEST_F(ChartPageTest, FullStretchesTheRecordsAndChangesTheirTimeLabels) {
  page_->OpenRecordFile(QString::fromStdString(RecordFile(Dir("a.vat"), 352)));
  const QRect tail(430, 19, 89, 198);
  const QImage before = page_->view().Render();
  EXPECT_EQ(Count(before, tail, kYellow), 0);
  page_->fullBox().click();
  EXPECT_TRUE(page_->view().fullMode());
  const QImage after = page_->view().Render();
  EXPECT_GT(Count(after, tail, kYellow), 20);
  EXPECT_NE(before.copy(60, 218, 460, 18), after.copy(60, 218, 460, 18));
  page_->fullBox().click();
  EXPECT_EQ(page_->view().Render(), before);
}

TEST_F(ChartPageTest, TheReadoutIsRenewedByTheRefreshTimerOnly) {
  page_->show();
  ReadingsRecord r;
  r.voltage = 5.0f;
  state_.readings.Store(r);
  ASSERT_TRUE(QTest::qWaitFor([&] { return page_->view().readout().voltage == 5.0f; }, 2000));
  // Paints between two refresh ticks keep the snapshot: no timer runs between these calls.
  page_->view().Render();
  r.voltage = 6.0f;
  state_.readings.Store(r);
  page_->view().Render();
  EXPECT_EQ(page_->view().readout().voltage, 5.0f);
  ASSERT_TRUE(QTest::qWaitFor([&] { return page_->view().readout().voltage == 6.0f; }, 2000));
}

// Numbers that are not live look it: the readings page and the chart's readout row show the
// last values dimmed before the first frame of a stream and after it, bright in between.
TEST_F(ChartPageTest, NumbersThatAreNotLiveAreDimmed) {
  ReadingsPage readings(state_);
  ChartView& chart = page_->view();
  const QRect voltageCell(0, 232, 100, 29);
  // The chart takes the stream's state with each new snapshot, at its refresh tick.
  const auto chartShows = [&](bool live) {
    return QTest::qWaitFor(
        [&] {
          const QImage image = chart.Render();
          return chart.readoutLive() == live && (Tinted(image, voltageCell, kYellow) > 10) == live;
        },
        2000);
  };
  const auto pageDimmed = [&] {
    readings.Refresh();
    for (int f = 0; f < ReadingsPage::kFieldCount; ++f) {
      if (!readings.field(static_cast<ReadingsPage::Field>(f)).dimmed()) {
        return false;
      }
    }
    return true;
  };

  TimedReadings frame;
  frame.readings.voltage = 5.0f;
  state_.readings.Store(frame.readings);  // values, but no stream
  EXPECT_TRUE(pageDimmed());
  EXPECT_EQ(readings.field(ReadingsPage::kVoltage).text(), "5.0000V");
  EXPECT_TRUE(chartShows(false));

  state_.LiveRunning = 1;  // START: dimmed until the first frame
  EXPECT_TRUE(pageDimmed());
  state_.readings.OnFrame(frame);
  EXPECT_FALSE(pageDimmed());
  EXPECT_EQ(readings.field(ReadingsPage::kVoltage).text(), "5.0000V");
  EXPECT_TRUE(chartShows(true));

  state_.LiveRunning = 0;  // the stream has ended
  EXPECT_TRUE(pageDimmed());
  EXPECT_TRUE(chartShows(false));
  EXPECT_EQ(chart.readout().voltage, 5.0f);
}

TEST_F(ChartPageTest, ReadOffAsksForTheReadOut) {
  int asked = 0;
  page_->onReadOff = [&] { ++asked; };
  PickMode(ChartPage::kRecords);
  page_->readOffButton().click();
  EXPECT_EQ(asked, 1);
}

TEST_F(ChartPageTest, SaveImageWritesThePictureOfTheChart) {
  QString caption, filter;
  page_->chooseSaveFile = [&](const QString& c, const QString& f, const QString&) {
    caption = c;
    filter = f;
    return Dir("chart.png");
  };
  page_->saveImageAction().trigger();
  EXPECT_EQ(caption, QString::fromUtf8("Save image\u2026"));
  EXPECT_EQ(filter, "PNG images (*.png)");
  const QImage saved(Dir("chart.png"));
  EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB32), page_->view().Render());
  EXPECT_EQ(reporter_.log(),
            (std::vector<LogEntry>{{"T61:" + Dir("chart.png").toStdString(), 1}, {"\n", -1}}));
  EXPECT_EQ(page_->exportCsvAction().text(), QString::fromUtf8("Export CSV\u2026"));
}

TEST_F(ChartPageTest, ExportCsvWritesTheRecordsOrTheLiveSamples) {
  page_->chooseSaveFile = [&](const QString&, const QString&, const QString&) {
    return Dir("out.csv");
  };
  PushSample(state_.VoltageStore, 5.0f);
  PushSample(state_.CurrentStore, 1.5f);
  PushSample(state_.TemperatureStore, 20.0f);
  PushSample(state_.VoltageStore, 5.5f);
  PushSample(state_.CurrentStore, 1.25f);
  PushSample(state_.TemperatureStore, 21.0f);
  page_->exportCsvAction().trigger();
  QFile live(Dir("out.csv"));
  ASSERT_TRUE(live.open(QIODevice::ReadOnly));
  EXPECT_EQ(live.readAll(),
            "index,seconds,voltage,current,temperature\n0,0.000,5,1.5,20\n1,0.010,5.5,1.25,21\n");
  live.close();

  page_->OpenRecordFile(QString::fromStdString(RecordFile(Dir("a.vat"), 2)));
  page_->exportCsvAction().trigger();
  QFile records(Dir("out.csv"));
  ASSERT_TRUE(records.open(QIODevice::ReadOnly));
  EXPECT_EQ(records.readAll(),
            "index,seconds,voltage,current,temperature\n0,0.000,5.000,1.000,25\n"
            "1,10.227,5.100,1.000,25\n");
}

TEST_F(ChartPageTest, AnExportThatCannotBeWrittenSaysSoAndLeavesNoFile) {
  const QString path = Dir("missing/out.csv");
  page_->chooseSaveFile = [&](const QString&, const QString&, const QString&) { return path; };
  page_->exportCsvAction().trigger();
  const auto lines = reporter_.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].text.rfind("T62:" + path.toStdString() + " (", 0), 0u) << lines[0].text;
  EXPECT_EQ(reporter_.beeps(), std::vector<bool>{false});
  EXPECT_FALSE(QFile::exists(path));
}

TEST_F(ChartPageTest, ExportChartPngRendersTheRecordsModeChart) {
  const QString vat = QString::fromStdString(RecordFile(Dir("a.vat"), 352));
  EXPECT_EQ(ExportChartPng(state_, vat, Dir("a.png"), false), "");
  page_->OpenRecordFile(vat);
  EXPECT_EQ(QImage(Dir("a.png")).convertToFormat(QImage::Format_RGB32), page_->view().Render());
  EXPECT_EQ(ExportChartPng(state_, vat, Dir("full.png"), true), "");
  page_->fullBox().setChecked(true);
  EXPECT_EQ(QImage(Dir("full.png")).convertToFormat(QImage::Format_RGB32), page_->view().Render());
  // A refused file writes no picture.
  RecordFile(Dir("bad.vat"), 3, 0);
  EXPECT_EQ(ExportChartPng(state_, Dir("bad.vat"), Dir("bad.png"), false), "RecordHours is 0");
  EXPECT_FALSE(QFile::exists(Dir("bad.png")));
}

class ChartReadOutTest : public testing::VirtualMeterTest {
 protected:
  void TearDown() override {
    window_.reset();
    VirtualMeterTest::TearDown();
  }
  AppState state_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(ChartReadOutTest, ReadOffShowsTheFileReadOutOfTheMeter) {
  sim::EmulatorOptions options;
  options.recordCount = 352;
  PlugMeter(options);
  QTemporaryDir program;
  const QString before = QDir::currentPath();
  QDir::setCurrent(program.path());
  window_ = std::make_unique<MainWindow>(state_);
  window_->SetMessageBoxesShown(false);
  window_->Initialize();
  QDir::setCurrent(before);
  window_->show();
  ChartPage& page = window_->chartPage();
  window_->tabs().tabBar().setCurrentIndex(1);
  page.modeCombo().setCurrentIndex(ChartPage::kRecords);
  Q_EMIT page.modeCombo().activated(ChartPage::kRecords);
  QSignalSpy ready(window_.get(), &MainWindow::recordsReady);
  page.readOffButton().click();
  ASSERT_TRUE(ready.wait(10000));
  const QString path = ready.at(0).at(0).toString();
  EXPECT_TRUE(path.startsWith(QDir(program.path()).canonicalPath() + "/dat/") ||
              path.startsWith(program.path() + "/dat/"))
      << path.toStdString();
  EXPECT_EQ(page.recordPath(), path.toStdString());
  EXPECT_EQ(page.pathEdit().text(), path);
  ASSERT_NE(page.view().recordSet(), nullptr);
  EXPECT_EQ(page.view().recordSet()->count, 352u);
  EXPECT_EQ(page.view().recordSet()->RecordHours, 24);
}

TEST_F(ChartReadOutTest, ReadOffDuringTheLiveStreamIsBusy) {
  PlugMeter();
  window_ = std::make_unique<MainWindow>(state_);
  window_->SetMessageBoxesShown(false);
  window_->Initialize();
  QSignalSpy messages(window_.get(), &MainWindow::messageShown);
  window_->startButton().click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return state_.LiveRunning.load() == 1; }, 5000));
  window_->chartPage().ReadOff();
  ASSERT_EQ(messages.count(), 1);
  EXPECT_EQ(messages.at(0).at(0).toString().toStdString(), state_.texts[TXT_BUSY]);
  window_->stopButton().click();
}

}  // namespace
}  // namespace vireo
