// The main window on the offscreen platform, with emulated meters: initialisation, START and
// STOP, the log, the tabs, the keys that must not close it, device changes and closing.
#include "app/gui/main_window.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTabBar>
#include <QTest>
#include <QTextBlock>

#include "app/identify.h"
#include "pages/readings/page_tab_ctrl.h"
#include "pages/readings/readings_page.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::VirtualMeterTest;

class MainWindowTest : public VirtualMeterTest {
 protected:
  void TearDown() override {
    window_.reset();
    VirtualMeterTest::TearDown();
  }

  MainWindow& Open() {
    window_ = std::make_unique<MainWindow>(state_);
    window_->SetMessageBoxesShown(false);
    QObject::connect(window_.get(), &MainWindow::beeped,
                     [this](bool success) { beeps_.push_back(success); });
    QObject::connect(window_.get(), &MainWindow::messageShown,
                     [this](const QString& text) { messages_ << text; });
    window_->Initialize();
    window_->show();
    return *window_;
  }

  QString Text(TextId id) const { return QString::fromStdString(state_.texts[id]); }
  QString Log() const { return window_->log().toPlainText(); }
  QString Status(StatusField field) const { return window_->statusField(field).text(); }

  // The character format of the log where `text` starts.
  QTextCharFormat FormatOf(const QString& text) const {
    const QTextDocument* document = window_->log().document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
      for (auto it = block.begin(); !it.atEnd(); ++it) {
        if (it.fragment().text().contains(text))
          return it.fragment().charFormat();
      }
    }
    ADD_FAILURE() << "not in the log: " << text.toStdString();
    return {};
  }

  void ExpectLevel(const QString& text, QColor colour, bool bold) const {
    const QTextCharFormat format = FormatOf(text);
    EXPECT_EQ(format.foreground().color(), colour) << text.toStdString();
    EXPECT_EQ(format.fontWeight() == QFont::Bold, bold) << text.toStdString();
  }

  // Runs the GUI thread until the condition holds.
  static bool Until(const std::function<bool()>& condition, int ms = 10000) {
    return QTest::qWaitFor(condition, ms);
  }

  AppState state_;
  std::unique_ptr<MainWindow> window_;
  std::vector<bool> beeps_;
  QStringList messages_;
};

sim::EmulatorOptions Options(const std::function<void(sim::EmulatorOptions&)>& change) {
  sim::EmulatorOptions options;
  change(options);
  return options;
}

const QColor kBlue(64, 131, 242), kGreen(128, 186, 1), kYellow(204, 204, 17), kRed(219, 6, 1);

TEST_F(MainWindowTest, InitialisationShowsCaptionTextsIdentityAndWelcome) {
  PlugMeter(Options([](sim::EmulatorOptions& o) {
    o.serial = "ABCDEF";
    o.versionByte = 0x15;
  }));
  MainWindow& window = Open();
  EXPECT_EQ(window.windowTitle(), "Vireo_Meter 1.2");
  EXPECT_EQ(window.startButton().text(), Text(TXT_START));
  EXPECT_EQ(window.stopButton().text(), Text(TXT_STOP));
  EXPECT_EQ(window.buyButton().text(), Text(TXT_BUY));
  EXPECT_NE(Text(TXT_START).toStdString(), TextTable::kDefaultText);

  EXPECT_EQ(Status(StatusField::kSerial), Text(TXT_SN_LABEL) + ":FEDCBA");
  EXPECT_EQ(Status(StatusField::kVersion), Text(TXT_VERSION_LABEL) + ":1.5");
  EXPECT_EQ(Status(StatusField::kUsb), Text(TXT_DEVICE_CONNECTED));

  EXPECT_EQ(Log(), Text(TXT_DEVICE_CONNECTED) + "\n" + Text(TXT_WELCOME) + "\n");
  ExpectLevel(Text(TXT_DEVICE_CONNECTED), kGreen, false);
  ExpectLevel(Text(TXT_WELCOME), kBlue, false);
  EXPECT_EQ(window.progressBar().value(), 100);

  PageTabCtrl& tabs = window.tabs();
  ASSERT_EQ(tabs.tabBar().count(), 4);
  const TextId captions[] = {TXT_TAB_READINGS, TXT_TAB_CHART, TXT_TAB_FIRMWARE, TXT_TAB_ABOUT};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(tabs.tabBar().tabText(i), Text(captions[i]));
    EXPECT_EQ(tabs.page(i)->isVisible(), i == 0) << i;
  }
  EXPECT_EQ(tabs.page(0), static_cast<QWidget*>(&window.readingsPage()));
  EXPECT_EQ(state_.LiveRunning, 0);
}

TEST_F(MainWindowTest, WithoutAMeterTheStatusSaysSoAndStartFails) {
  MainWindow& window = Open();
  EXPECT_EQ(Status(StatusField::kUsb), Text(TXT_DEVICE_NOT_FOUND));
  ExpectLevel(Text(TXT_DEVICE_NOT_FOUND), kRed, true);

  window.startButton().click();
  EXPECT_EQ(Log(), Text(TXT_ERR_NO_DEVICE) + "\n");
  ExpectLevel(Text(TXT_ERR_NO_DEVICE), kRed, true);
  EXPECT_EQ(beeps_, std::vector<bool>{false});
  EXPECT_EQ(state_.LiveRunning, 0);
}

TEST_F(MainWindowTest, StartWithOldFirmwareShowsTheNoticeAndDoesNotStream) {
  sim::VirtualMeter& meter =
      PlugMeter(Options([](sim::EmulatorOptions& o) { o.versionByte = 0x14; }));
  MainWindow& window = Open();
  const QString required = Text(TXT_FW_REQUIRED) + ":1.5";
  const QString notice = required + "\r\n" + Text(TXT_FW_TOO_OLD);
  EXPECT_EQ(messages_, QStringList{notice});  // from the identification at start
  messages_.clear();
  beeps_.clear();

  window.startButton().click();
  EXPECT_EQ(Log(), required + "\n" + Text(TXT_FW_TOO_OLD) + "\n");
  ExpectLevel(required, kYellow, true);
  ExpectLevel(Text(TXT_FW_TOO_OLD), kYellow, true);
  EXPECT_EQ(messages_, QStringList{notice});
  EXPECT_EQ(beeps_, std::vector<bool>{false});
  EXPECT_EQ(state_.LiveRunning, 0);
  uint32_t requests = 0;
  meter.WithEmulator([&](sim::MeterEmulator& m) { requests = m.CommandCount(kStreamReadings); });
  EXPECT_EQ(requests, 0u);
}

TEST_F(MainWindowTest, StartInUpgradeModeFailsAndClosesTheLink) {
  sim::VirtualMeter& meter =
      PlugMeter(Options([](sim::EmulatorOptions& o) { o.upgradeMode = true; }));
  MainWindow& window = Open();
  window.startButton().click();
  EXPECT_EQ(Log(), Text(TXT_UPGRADE_MODE) + "\n");
  ExpectLevel(Text(TXT_UPGRADE_MODE), kRed, true);
  EXPECT_EQ(beeps_.back(), false);
  EXPECT_EQ(state_.LiveRunning, 0);
  EXPECT_TRUE(testing::WaitFor([&] { return !meter.HasClient(); }));
}

TEST_F(MainWindowTest, StartStreamsOnceStopEndsItAndTheReadingsStay) {
  PlugMeter(Options([](sim::EmulatorOptions& o) { o.frameIntervalUs = 2000; }));
  MainWindow& window = Open();
  window.startButton().click();
  EXPECT_EQ(state_.LiveRunning, 1);
  EXPECT_EQ(Log(), Text(TXT_STARTED) + "\n");
  ExpectLevel(Text(TXT_STARTED), kGreen, false);
  EXPECT_EQ(beeps_, std::vector<bool>{true});

  ASSERT_TRUE(Until([&] {
    const QString shown = window.readingsPage().field(ReadingsPage::kVoltage).text();
    return !shown.isEmpty() && shown != "0.0000V";
  }));
  window.startButton().click();  // a second press does nothing
  EXPECT_EQ(Log(), Text(TXT_STARTED) + "\n");
  EXPECT_EQ(beeps_.size(), 1u);

  window.stopButton().click();
  EXPECT_EQ(Log(), Text(TXT_STOPPED) + "\n");
  ExpectLevel(Text(TXT_STOPPED), kBlue, false);
  ASSERT_TRUE(Until([&] { return state_.LiveRunning == 0; }));
  const float last = state_.readings.Load().voltage;
  EXPECT_GT(last, 4.0f);
  QTest::qWait(100);
  EXPECT_EQ(state_.readings.Load().voltage, last);
}

TEST_F(MainWindowTest, StopWithNothingRunningClearsTheLogAndSaysStopped) {
  MainWindow& window = Open();
  window.stopButton().click();
  EXPECT_EQ(Log(), Text(TXT_STOPPED) + "\n");
  ExpectLevel(Text(TXT_STOPPED), kBlue, false);
  EXPECT_EQ(beeps_, std::vector<bool>{true});
}

TEST_F(MainWindowTest, LogLevelsHaveTheirColoursAndTextStaysPlain) {
  MainWindow& window = Open();
  Reporter& reporter = window.reporter();
  reporter.ClearLog();
  reporter.AppendLog("level zero", LogLevel::kNormal);
  reporter.AppendLog("level one", LogLevel::kSuccess);
  reporter.NewLogLine();
  reporter.AppendLog("level two", LogLevel::kWarning);
  reporter.AppendLog("level three", LogLevel::kError);
  reporter.AppendLog("<b>level nine</b>", static_cast<LogLevel>(9));
  EXPECT_EQ(Log(), "level zerolevel one\nlevel twolevel three<b>level nine</b>");
  ExpectLevel("level zero", kBlue, false);
  ExpectLevel("level one", kGreen, false);
  ExpectLevel("level two", kYellow, true);
  ExpectLevel("level three", kRed, true);
  ExpectLevel("<b>level nine</b>", kRed, true);
}

TEST_F(MainWindowTest, ReportsFromAWorkerArriveInOrder) {
  MainWindow& window = Open();
  window.reporter().ClearLog();
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i)
      window.reporter().AppendLog(std::to_string(i) + ",", LogLevel::kNormal);
  });
  worker.join();
  QString expected;
  for (int i = 0; i < 100; ++i)
    expected += QString::number(i) + ",";
  EXPECT_TRUE(Until([&] { return Log() == expected; }, 3000)) << Log().toStdString();
}

TEST_F(MainWindowTest, AFastWorkerQueuesOneProgressCallAndTheLastPositionWins) {
  MainWindow& window = Open();
  std::thread worker([&] {
    for (int i = 0; i < 100000; ++i)
      window.reporter().SetProgress(i % 100);
    window.reporter().SetProgress(42);
  });
  worker.join();
  int calls = 0;
  QObject::connect(&window.progressBar(), &QProgressBar::valueChanged, [&] { ++calls; });
  EXPECT_TRUE(Until([&] { return window.progressBar().value() == 42; }, 3000));
  EXPECT_EQ(calls, 1);
}

TEST_F(MainWindowTest, TheShownPageFollowsTheTabByMouseAndKeyboard) {
  MainWindow& window = Open();
  PageTabCtrl& tabs = window.tabs();
  QTabBar& bar = tabs.tabBar();
  auto shown = [&] {
    std::vector<int> visible;
    for (int i = 0; i < tabs.pageCount(); ++i) {
      if (tabs.page(i)->isVisible())
        visible.push_back(i);
    }
    return visible;
  };

  QTest::mouseClick(&bar, Qt::LeftButton, {}, bar.tabRect(2).center());
  EXPECT_EQ(shown(), std::vector<int>{2});
  EXPECT_EQ(tabs.currentPage(), 2);
  EXPECT_EQ(window.focusWidget(), tabs.page(2));  // a click hands the keyboard to the page
  bar.setFocus();
  QTest::mouseClick(&bar, Qt::LeftButton, {}, bar.tabRect(2).center());
  EXPECT_EQ(shown(), std::vector<int>{2});
  EXPECT_EQ(window.focusWidget(), &bar);  // the current tab again changes nothing

  bar.setFocus();
  QTest::keyClick(&bar, Qt::Key_Right);
  EXPECT_EQ(bar.currentIndex(), 3);
  EXPECT_EQ(shown(), std::vector<int>{3});
  QTest::keyClick(&bar, Qt::Key_Left);
  EXPECT_EQ(shown(), std::vector<int>{2});
}

TEST_F(MainWindowTest, EnterAndEscapeDoNotCloseTheWindow) {
  MainWindow& window = Open();
  for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
    QTest::keyClick(&window, key);
    QTest::keyClick(&window.readingsPage(), key);
  }
  QTest::qWait(50);
  EXPECT_TRUE(window.isVisible());
}

TEST_F(MainWindowTest, AMeterArrivingAndLeavingIsIdentifiedAgain) {
  MainWindow& window = Open();
  ASSERT_EQ(Status(StatusField::kUsb), Text(TXT_DEVICE_NOT_FOUND));

  sim::VirtualMeter& meter = PlugMeter(Options([](sim::EmulatorOptions& o) {
    o.serial = "QWERTY";
    o.versionByte = 0x16;
  }));
  ASSERT_TRUE(Until([&] { return Status(StatusField::kUsb) == Text(TXT_DEVICE_CONNECTED); }));
  EXPECT_EQ(Status(StatusField::kSerial), Text(TXT_SN_LABEL) + ":YTREWQ");
  EXPECT_EQ(Status(StatusField::kVersion), Text(TXT_VERSION_LABEL) + ":1.6");

  meter.Unplug();
  ASSERT_TRUE(Until([&] { return Status(StatusField::kUsb) == Text(TXT_DEVICE_NOT_FOUND); }));
  EXPECT_TRUE(Log().endsWith(Text(TXT_DEVICE_NOT_FOUND) + "\n"));
  // The identity of the last identification stays.
  EXPECT_EQ(Status(StatusField::kSerial), Text(TXT_SN_LABEL) + ":YTREWQ");
  EXPECT_EQ(window.statusField(StatusField::kUsb).isVisible(), true);
}

TEST_F(MainWindowTest, DeviceChangesDuringAStreamAreIgnored) {
  PlugMeter(Options([](sim::EmulatorOptions& o) { o.frameIntervalUs = 2000; }));
  MainWindow& window = Open();
  window.startButton().click();
  ASSERT_EQ(state_.LiveRunning, 1);
  const QString log = Log();

  PlugMeter(Options([](sim::EmulatorOptions& o) { o.serial = "ZZZZZZ"; }), "other");
  QTest::qWait(500);
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(state_.LiveRunning, 1);
  EXPECT_EQ(Status(StatusField::kSerial), Text(TXT_SN_LABEL) + ":FEDCBA");
  window.stopButton().click();
  ASSERT_TRUE(Until([&] { return state_.LiveRunning == 0; }));
}

TEST_F(MainWindowTest, LosingTheMeterMidStreamEndsItAndIdentifiesAgain) {
  sim::VirtualMeter& meter =
      PlugMeter(Options([](sim::EmulatorOptions& o) { o.frameIntervalUs = 2000; }));
  MainWindow& window = Open();
  window.startButton().click();
  ASSERT_TRUE(Until([&] { return state_.readings.Load().voltage > 0; }));
  meter.Unplug();
  ASSERT_TRUE(Until([&] { return state_.LiveRunning == 0; }));
  ASSERT_TRUE(Until([&] { return Log().contains(Text(TXT_DEVICE_NOT_FOUND)); }));
  ExpectLevel(Text(TXT_ERR_COMM), kRed, true);
  EXPECT_EQ(Status(StatusField::kUsb), Text(TXT_DEVICE_NOT_FOUND));
  (void)window;
}

TEST_F(MainWindowTest, ClosingDuringAStreamStopsItAndClosesTheLink) {
  sim::VirtualMeter& meter =
      PlugMeter(Options([](sim::EmulatorOptions& o) { o.frameIntervalUs = 1000; }));
  MainWindow& window = Open();
  window.startButton().click();
  ASSERT_TRUE(Until([&] { return state_.readings.Load().voltage > 0; }));
  EXPECT_TRUE(window.close());
  EXPECT_EQ(state_.LiveRunning, 0);
  EXPECT_TRUE(testing::WaitFor([&] { return !meter.HasClient(); }));
  window_.reset();  // nothing queued by the workers may reach the destroyed window
  QTest::qWait(50);
}

TEST_F(MainWindowTest, WhileAReadOutHoldsTheLinkStartIsBusyAndIdentificationWaits) {
  MainWindow& window = Open();
  // A read-out in progress holds the link until it gives it back.
  ASSERT_TRUE(state_.linkOwner.TryTake(LinkUser::kReadOut));

  PlugMeter();
  window.startButton().click();
  EXPECT_EQ(messages_, QStringList{Text(TXT_BUSY)});
  EXPECT_EQ(state_.LiveRunning, 0);
  QTest::qWait(400);  // the device change is seen, but the link is in use
  EXPECT_EQ(Status(StatusField::kUsb), Text(TXT_DEVICE_NOT_FOUND));

  state_.linkOwner.Release(LinkUser::kReadOut);
  ASSERT_TRUE(Until([&] { return Status(StatusField::kUsb) == Text(TXT_DEVICE_CONNECTED); }));
  EXPECT_TRUE(state_.linkOwner.IsFree());
}

}  // namespace
}  // namespace vireo
