// The Sessions page over a store with a finished session and one that a recorder is writing:
// the list follows the live one, shows the chosen one in the view, and renames, deletes and
// exports through the store; Record hands on the triggers chosen in the dialog.
#include "pages/sessions/sessions_page.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QInputDialog>
#include <QTest>
#include <cmath>
#include <filesystem>

#include "record/recording_sink.h"
#include "record/session_recorder.h"
#include "record/store_edit.h"
#include "support/temp_folder.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using record::test::kMillisecond;
using record::test::kMonoBase;
using record::test::kSecond;

class SessionsPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    page_.SetMessageBoxesShown(false);
    page_.resize(800, 480);
    page_.show();
  }
  // Frames 100 ms apart from `from` to `to`, written a batch a second.
  static void Feed(record::SessionRecorder& recorder, int64_t from, int64_t to) {
    for (int64_t t = from; t <= to; t += 100 * kMillisecond) {
      recorder.OnFrames({record::test::Frame(t, 5.0f, 0.5f + 0.1f * float(std::sin(t / 1e9)))});
      if (t % kSecond == 0 || t == to) {
        ASSERT_TRUE(recorder.Tick(kMonoBase + t));
      }
    }
  }
  std::vector<record::StoredSession> Stored() {
    record::RecordStore reader;
    EXPECT_EQ(reader.OpenForReading(path_).error, record::StoreError::kNone);
    std::string error;
    return reader.Sessions(error);
  }
  QString Cell(int row, int column) {
    QTreeWidgetItem* item = page_.list().topLevelItem(row);
    return item ? item->text(column) : QString();
  }

  test::TempFolder folder_;
  std::string path_ = folder_ / "sessions.db";
  TextTable texts_;
  SessionsPage page_{texts_, DialogUnits::Of(QApplication::font())};
};

TEST_F(SessionsPageTest, ListFollowsTheLiveSessionAndRenamesDeletesAndExportsStoredOnes) {
  using Page = SessionsPage;
  record::RecordStore store;
  ASSERT_EQ(store.OpenForRecording(path_).error, record::StoreError::kNone);
  {
    record::SessionRecorder first({}, 0, {}, &store, {}, [](const std::string&) {});
    first.OnStreamStarted(kMonoBase);
    Feed(first, 0, 10 * kSecond);
    first.End(kMonoBase + 10 * kSecond, record::EndReason::kStopped);
    first.Finish();
  }
  record::SessionRecorder live({}, 0, {}, &store, {}, [](const std::string&) {});
  live.SetMeter("00C0FFEE", "1.0");
  live.OnStreamStarted(kMonoBase + 100 * kSecond);
  Feed(live, 100 * kSecond, 103 * kSecond);

  page_.SetStorePath(QString::fromStdString(path_));
  ASSERT_EQ(page_.list().topLevelItemCount(), 2);
  EXPECT_EQ(Page::SessionIdOf(*page_.list().topLevelItem(0)), 2) << "newest first";
  EXPECT_EQ(Cell(0, Page::kEnded), "recording");
  EXPECT_TRUE(page_.list().topLevelItem(0)->font(Page::kEnded).bold());
  EXPECT_EQ(Cell(0, Page::kSerial), "00C0FFEE");
  EXPECT_EQ(Cell(1, Page::kEnded), "stopped");
  EXPECT_EQ(Cell(1, Page::kSamples), "101");
  EXPECT_EQ(page_.view().sessionId(), 2) << "the newest is shown";

  // The live session grows in the list and in the view.
  Feed(live, 103 * kSecond + 100 * kMillisecond, 106 * kSecond);
  EXPECT_TRUE(QTest::qWaitFor([&] { return Cell(0, Page::kSamples) == "61"; }, 5000))
      << Cell(0, Page::kSamples).toStdString();
  EXPECT_TRUE(QTest::qWaitFor([&] { return page_.view().plot()->endUs() == 6'000'000; }, 5000));
  page_.DeleteSelected();
  EXPECT_EQ(Stored().size(), 2u) << "a live session is not deleted";
  EXPECT_NE(page_.message().indexOf("being recorded"), -1) << page_.message().toStdString();

  // The finished one, chosen, is shown and renamed through the dialog that F2 opens.
  page_.list().setCurrentItem(page_.list().topLevelItem(1));
  EXPECT_EQ(page_.view().sessionId(), 1);
  page_.activateWindow();
  page_.list().setFocus();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&page_));
  QTest::keyClick(&page_.list(), Qt::Key_F2);
  auto* dialog = page_.findChild<QInputDialog*>();
  ASSERT_NE(dialog, nullptr);
  dialog->setTextValue("  Bench run ");
  dialog->accept();
  EXPECT_EQ(Cell(1, Page::kTitle), "Bench run") << page_.message().toStdString();
  EXPECT_EQ(Stored().front().title, "Bench run");

  // The span between the cursors, exported, holds the rows the store gives for it.
  SessionPlot& plot = *page_.view().plot();
  const QRect area = plot.PlotArea();
  QTest::mouseClick(&plot, Qt::LeftButton, {},
                    QPoint(area.left() + area.width() / 5, area.center().y()));
  QTest::mouseClick(&plot, Qt::LeftButton, {},
                    QPoint(area.left() + area.width() / 2, area.center().y()));
  ASSERT_TRUE(plot.cursorA() && plot.cursorB());
  const QString exported = QString::fromStdString(folder_ / "span.csv");
  page_.chooseSaveFile = [&](const QString&, const QString&, const QString&) { return exported; };
  page_.Export(Page::Extent::kSpan, record::RowFormat::kCsv);
  std::string want;
  {
    record::RecordStore reader;
    ASSERT_EQ(reader.OpenForReading(path_).error, record::StoreError::kNone);
    std::FILE* out = std::tmpfile();
    std::string error;
    ASSERT_TRUE(record::WriteRows(reader, 1, *plot.cursorA(), *plot.cursorB(),
                                  record::RowFormat::kCsv, out, error))
        << error;
    want.resize(static_cast<size_t>(std::ftell(out)));
    std::rewind(out);
    ASSERT_EQ(std::fread(want.data(), 1, want.size(), out), want.size());
    std::fclose(out);
  }
  QFile file(exported);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << page_.message().toStdString();
  EXPECT_GT(std::count(want.begin(), want.end(), '\n'), 20);
  EXPECT_EQ(file.readAll().toStdString(), want);

  // Deleted by its key, with the confirmation given, it leaves the list and the store.
  page_.list().setFocus();
  QTest::keyClick(&page_.list(), Qt::Key_Delete);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !page_.deleting(); }));
  ASSERT_EQ(page_.list().topLevelItemCount(), 1);
  EXPECT_EQ(Page::SessionIdOf(*page_.list().topLevelItem(0)), 2);
  EXPECT_EQ(Stored().size(), 1u);
  EXPECT_EQ(page_.view().sessionId(), 0);

  live.End(kMonoBase + 106 * kSecond, record::EndReason::kStopped);
  live.Finish();
}

TEST_F(SessionsPageTest, RecordHandsOnTheTriggersChosenInTheDialog) {
  // A store in a folder not made yet: an empty list, and Record makes the folder.
  const fs::path store = folder_.path() / "new" / "sessions.db";
  page_.SetStorePath(QString::fromStdString(store.string()));
  EXPECT_EQ(page_.list().topLevelItemCount(), 0);
  EXPECT_TRUE(page_.message().isEmpty()) << page_.message().toStdString();
  // A file that is not a store is refused as the store, and the page keeps its own.
  const std::string notes = folder_ / "notes.db";
  std::FILE* file = std::fopen(notes.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("not a store\n", file);
  std::fclose(file);
  page_.chooseStoreFile = [&](const QString&, const QString&) {
    return QString::fromStdString(notes);
  };
  page_.storeButton().click();
  EXPECT_EQ(page_.storePath().toStdString(), store.string());
  EXPECT_NE(page_.message().indexOf("notes.db cannot be used"), -1)
      << page_.message().toStdString();

  page_.triggersButton().click();
  TriggerDialog* dialog = page_.triggerDialog();
  ASSERT_NE(dialog, nullptr);
  dialog->startAboveBox().setChecked(true);
  dialog->startAbove().setValue(0.2);
  dialog->preRollBox().setChecked(true);
  dialog->preRoll().setValue(3);
  dialog->stopBelowBox().setChecked(true);
  dialog->stopBelow().setValue(0.5);
  dialog->accept();
  EXPECT_TRUE(dialog->isVisible()) << "a stop above the start is refused";
  EXPECT_NE(dialog->reason().indexOf("must not be above"), -1) << dialog->reason().toStdString();
  dialog->stopBelow().setValue(0.05);
  dialog->stopForBox().setChecked(true);
  dialog->stopFor().setValue(2.5);
  dialog->accept();
  EXPECT_TRUE(QTest::qWaitFor([&] { return page_.triggerDialog() == nullptr; }, 5000));

  std::optional<record::TriggerSettings> asked;
  int stops = 0;
  page_.onRecord = [&](const record::TriggerSettings& t) { asked = t; };
  page_.onStopRecording = [&] { ++stops; };
  page_.recordButton().click();
  ASSERT_TRUE(asked);
  EXPECT_EQ(asked->startAbove, 0.2);
  EXPECT_EQ(asked->preRollSeconds, 3);
  EXPECT_EQ(asked->stopBelow, 0.05);
  EXPECT_EQ(asked->stopForSeconds, 2.5);
  EXPECT_TRUE(fs::is_directory(store.parent_path()));

  page_.SetRecording(true);
  EXPECT_EQ(page_.recordButton().text(), "Stop recording");
  EXPECT_FALSE(page_.triggersButton().isEnabled());
  EXPECT_FALSE(page_.storeButton().isEnabled());
  page_.ShowRecordingFigures({3725, 37250, 1.23456, 246.8, 1, 0.9876, false});
  EXPECT_EQ(page_.figuresLabel().toolTip(),
            "1:02:05   37250 samples   1.2346 Wh   246.80 mAh   1 gaps   98.8 % covered");
  page_.recordButton().click();
  EXPECT_EQ(stops, 1);
}

}  // namespace
}  // namespace vireo
