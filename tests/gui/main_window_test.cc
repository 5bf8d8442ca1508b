// The main window on the offscreen platform, with emulated meters: initialisation, START and
// STOP, the log and the reports from workers, the tabs, device changes, the link held by
// another sequence, closing, and the alarms with their desktop notifications.
#include "gui/main_window.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTabBar>
#include <QTest>
#include <QTextBlock>
#include <QThread>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/identify.h"
#include "gui/device_watcher.h"
#include "gui/meter_app.h"
#include "pages/readings/page_tab_ctrl.h"
#include "pages/readings/readings_page.h"
#include "pages/sessions/sessions_page.h"
#include "sim/load_profile.h"
#include "support/process.h"
#include "support/store_query.h"
#include "support/virtual_meter_fixture.h"

// Failures show texts as text.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace vireo {
namespace {

using testing::VirtualMeterTest;

class MainWindowTest : public VirtualMeterTest {
 protected:
  // The alarms file of the test's own, empty: no alarms and no warning about a missing file.
  void SetUp() override {
    VirtualMeterTest::SetUp();
    setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
    std::filesystem::create_directories(folder_ / "config" / "vireometer");
    WriteAlarms("");
  }
  void TearDown() override {
    window_.reset();
    unsetenv("XDG_CONFIG_HOME");
    VirtualMeterTest::TearDown();
  }

  void WriteAlarms(const std::string& text) {
    std::ofstream(folder_ / "config" / "vireometer" / "alarms.conf") << text;
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

  // The text is shown in the colour and weight of its level's log style.
  void ExpectLevel(const QString& text, LogLevel level) const {
    const LogStyle style = StyleOf(level);
    const QTextCharFormat format = FormatOf(text);
    EXPECT_EQ(format.foreground().color(), QColor(style.red, style.green, style.blue))
        << text.toStdString();
    EXPECT_EQ(format.fontWeight() == QFont::Bold, style.bold) << text.toStdString();
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
  ExpectLevel(Text(TXT_DEVICE_CONNECTED), LogLevel::kSuccess);
  ExpectLevel(Text(TXT_WELCOME), LogLevel::kNormal);
  EXPECT_EQ(window.progressBar().value(), 100);

  PageTabCtrl& tabs = window.tabs();
  // The four of the design, then the sessions page.
  ASSERT_EQ(tabs.tabBar().count(), 5);
  EXPECT_EQ(tabs.tabBar().tabText(4), QString::fromStdString(state_.texts.Extra("sessions_tab")));
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
  ExpectLevel(Text(TXT_DEVICE_NOT_FOUND), LogLevel::kError);

  window.startButton().click();
  EXPECT_EQ(Log(), Text(TXT_ERR_NO_DEVICE) + "\n");
  ExpectLevel(Text(TXT_ERR_NO_DEVICE), LogLevel::kError);
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
  ExpectLevel(required, LogLevel::kWarning);
  ExpectLevel(Text(TXT_FW_TOO_OLD), LogLevel::kWarning);
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
  ExpectLevel(Text(TXT_UPGRADE_MODE), LogLevel::kError);
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
  ExpectLevel(Text(TXT_STARTED), LogLevel::kSuccess);
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
  ExpectLevel(Text(TXT_STOPPED), LogLevel::kNormal);
  // The worker has ended: what it read last stays, on the page too.
  ASSERT_TRUE(Until([&] { return state_.LiveRunning == 0; }));
  EXPECT_GT(state_.readings.Load().voltage, 4.0f);
  window.readingsPage().Refresh();
  EXPECT_NE(window.readingsPage().field(ReadingsPage::kVoltage).text(), "0.0000V");
}

TEST_F(MainWindowTest, StopWithNothingRunningClearsTheLogAndSaysStopped) {
  MainWindow& window = Open();
  window.stopButton().click();
  EXPECT_EQ(Log(), Text(TXT_STOPPED) + "\n");
  ExpectLevel(Text(TXT_STOPPED), LogLevel::kNormal);
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
  ExpectLevel("level zero", LogLevel::kNormal);
  ExpectLevel("level one", LogLevel::kSuccess);
  ExpectLevel("level two", LogLevel::kWarning);
  ExpectLevel("level three", LogLevel::kError);
  ExpectLevel("<b>level nine</b>", LogLevel::kError);  // any other level
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

// A worker's report after a position finds the bar there, though the position came within the
// pause that throttles a fast worker: a finished upgrade logs its end with the bar full.
TEST_F(MainWindowTest, AWorkersNextReportFindsTheBarAtItsLastPosition) {
  MainWindow& window = Open();
  std::thread([&] { window.reporter().SetProgress(1); }).join();
  ASSERT_TRUE(Until([&] { return window.progressBar().value() == 1; }, 3000));
  int barAtLog = -1;
  QObject::connect(&window.log(), &QTextEdit::textChanged,
                   [&] { barAtLog = window.progressBar().value(); });
  std::thread([&] {
    window.reporter().SetProgress(100);
    window.reporter().AppendLog("done", LogLevel::kNormal);
  }).join();
  ASSERT_TRUE(Until([&] { return barAtLog != -1; }, 3000));
  EXPECT_EQ(barAtLog, 100);
}

// The stream steps the bar at every frame: the steps between the ends are shown throttled, the
// last one always, and an end at once, never overwritten by an older step.
TEST_F(MainWindowTest, TheBarShowsFastStepsThrottledTheLastAlwaysAndAnEndAtOnce) {
  MainWindow& window = Open();
  ProgressBar& bar = window.progressBar();
  int changes = 0;
  QObject::connect(&bar, &QProgressBar::valueChanged, [&] { ++changes; });
  for (int i = 1; i < 100; ++i)
    bar.Show(i);
  EXPECT_LT(changes, 50);
  EXPECT_TRUE(Until([&] { return bar.value() == 99; }, 3000));

  bar.Show(5);
  bar.Show(0);
  EXPECT_EQ(bar.value(), 0);
  bar.Show(7);
  // Started after the bar held the 7 back, with the bar's longest hold and of the same kind, this
  // timer falls due no earlier than the bar's, and timers due together fire in the order they
  // were started: once it has fired, a step the bar still held would have been shown.
  QTimer heldStepDue;
  heldStepDue.setSingleShot(true);
  heldStepDue.start(ProgressBar::kStepMs);
  bar.Show(100);
  EXPECT_EQ(bar.value(), 100);
  EXPECT_TRUE(Until([&] { return !heldStepDue.isActive(); }, 3000));
  EXPECT_EQ(bar.value(), 100);
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

  QSignalSpy changes(window.deviceWatcher(), &DeviceWatcher::changed);
  QSignalSpy rescans(window.deviceWatcher(), &DeviceWatcher::rescanned);
  PlugMeter(Options([](sim::EmulatorOptions& o) { o.serial = "ZZZZZZ"; }), "other");
  // Once the watcher has reported the new meter, the window has had its say on it.
  ASSERT_TRUE(Until([&] { return changes.count() == 1 && rescans.count() >= 1; }));
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(state_.LiveRunning, 1);
  EXPECT_EQ(Status(StatusField::kSerial), Text(TXT_SN_LABEL) + ":FEDCBA");
  window.stopButton().click();
  ASSERT_TRUE(Until([&] { return state_.LiveRunning == 0; }));
  // Ignored, not put off: the end of the stream brings no identification either. Once the
  // workers are joined, all they queued is posted.
  window.Shutdown();
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(Log(), Text(TXT_STOPPED) + "\n");
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
  ExpectLevel(Text(TXT_ERR_COMM), LogLevel::kError);
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
  window_.reset();
  // The workers have been joined, so all they queued is posted: none of it may reach the
  // destroyed window.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

TEST_F(MainWindowTest, WhileAReadOutHoldsTheLinkStartIsBusyAndIdentificationWaits) {
  MainWindow& window = Open();
  // A read-out in progress holds the link until it gives it back.
  ASSERT_TRUE(state_.linkOwner.TryTake(LinkUser::kReadOut));

  QSignalSpy changes(window.deviceWatcher(), &DeviceWatcher::changed);
  PlugMeter();
  window.startButton().click();
  window.StartUpgrade(UpgradeRequest{"app.lrm"});
  window.StartReadOut();
  EXPECT_EQ(messages_, QStringList(3, Text(TXT_BUSY)));
  EXPECT_EQ(state_.LiveRunning, 0);
  // The device change is seen, but the link is in use: the identification waits.
  ASSERT_TRUE(Until([&] { return changes.count() == 1; }));
  EXPECT_EQ(Status(StatusField::kUsb), Text(TXT_DEVICE_NOT_FOUND));
  EXPECT_EQ(state_.linkOwner.Holder(), LinkUser::kReadOut);

  state_.linkOwner.Release(LinkUser::kReadOut);
  ASSERT_TRUE(Until([&] { return Status(StatusField::kUsb) == Text(TXT_DEVICE_CONNECTED); }));
  EXPECT_TRUE(state_.linkOwner.IsFree());
}

TEST_F(MainWindowTest, NoticesFromAWorkerArriveOnTheGuiThreadInOrderWithTheLog) {
  MainWindow& window = Open();
  window.reporter().ClearLog();
  struct Seen {
    QString what;
    bool onGuiThread;
    QString logThen;
  };
  std::vector<Seen> seen;
  auto onGui = [] { return QThread::currentThread() == QCoreApplication::instance()->thread(); };
  QObject::connect(&window, &MainWindow::recordsReady, [&](const QString& path) {
    seen.push_back({"records " + path, onGui(), Log()});
  });
  QObject::connect(&window, &MainWindow::messageShown, [&](const QString& text) {
    seen.push_back({"message " + text, onGui(), Log()});
  });

  const std::string path = "/tmp/records \xC3\xBC.bin";  // passed by value, any characters
  std::thread worker([&] {
    Reporter& reporter = window.reporter();
    reporter.AppendLog("a,", LogLevel::kNormal);
    reporter.FirmwareTooOld();
    reporter.AppendLog("b,", LogLevel::kNormal);
    reporter.RecordsReady(path);
    reporter.AppendLog("c,", LogLevel::kNormal);
  });
  worker.join();
  ASSERT_TRUE(Until([&] { return Log().endsWith("c,"); }, 3000)) << Log().toStdString();

  const QString required = Text(TXT_FW_REQUIRED) + ":1.5";
  const QString notice = required + "\n" + Text(TXT_FW_TOO_OLD) + "\n";
  EXPECT_EQ(Log(), "a," + notice + "b,c,");
  ExpectLevel(required, LogLevel::kWarning);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].what, "message " + required + "\r\n" + Text(TXT_FW_TOO_OLD));
  EXPECT_TRUE(seen[0].onGuiThread);
  EXPECT_EQ(seen[0].logThen, "a," + notice);
  EXPECT_EQ(seen[1].what, "records " + QString::fromStdString(path));
  EXPECT_TRUE(seen[1].onGuiThread);
  EXPECT_EQ(seen[1].logThen, "a," + notice + "b,");
  EXPECT_EQ(beeps_, std::vector<bool>{false});
}

// At one frame every 100 ms a stream owes up to 50 frames when it is told to stop; closing the
// window must not wait for them all.
TEST_F(MainWindowTest, ClosingDuringASlowStreamEndsWithinAFewSeconds) {
  constexpr int kDeadlineMs = 3000;
  sim::VirtualMeter& meter =
      PlugMeter(Options([](sim::EmulatorOptions& o) { o.frameIntervalUs = 100'000; }));
  MainWindow& window = Open();
  window.startButton().click();
  ASSERT_TRUE(Until([&] { return state_.readings.Load().voltage > 0; }));

  QElapsedTimer clock;
  clock.start();
  EXPECT_TRUE(window.close());
  const qint64 closedMs = clock.elapsed();
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(state_.LiveRunning, 0);
  const bool released =
      testing::WaitFor([&] { return !meter.HasClient(); }, std::chrono::milliseconds(kDeadlineMs));
  const qint64 releasedMs = clock.elapsed();
  std::printf(
      "closing at one frame per 100 ms: window closed after %lld ms, meter released "
      "after %lld ms\n",
      static_cast<long long>(closedMs), static_cast<long long>(releasedMs));
  EXPECT_TRUE(released);
  EXPECT_LT(releasedMs, kDeadlineMs);
}

// A notification service on a bus of its own: answers each Notify with a fresh id and records it.
class NotificationServer final : public QDBusVirtualObject {
 public:
  struct Call {
    uint replaces;
    QString summary;
    int urgency;
    uint id;
  };

  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != "Notify" || message.arguments().size() != 8)
      return false;
    const QList<QVariant> args = message.arguments();
    const QVariantMap hints = qdbus_cast<QVariantMap>(args[6]);
    calls.push_back({args[1].toUInt(), args[3].toString(), hints.value("urgency", -1).toInt(),
                     static_cast<uint>(100 + calls.size())});
    if (onCall)
      onCall(calls.back());
    connection.send(message.createReply(QVariant::fromValue(calls.back().id)));
    return true;
  }

  std::vector<Call> calls;
  std::function<void(const Call&)> onCall;
};

TEST_F(MainWindowTest, ARecordFileRefusedAtStartIsNamedInRedInTheLog) {
  MainWindow& window = Open();
  const std::string path = (folder_ / "one-byte.vat").string();
  std::ofstream(path) << '\x05';
  OpenRecordFileAtStart(window, state_.texts, QString::fromStdString(path));
  EXPECT_EQ(window.tabs().tabBar().currentIndex(), 1);
  const QString line =
      QString::fromStdString("The record file " + path + " is not shown: shorter than 2 bytes");
  ASSERT_TRUE(Until([&] { return Log().contains(line); })) << Log().toStdString();
  ExpectLevel(line, LogLevel::kError);
}

TEST_F(MainWindowTest, ARuleThatBecomesTrueNotifiesOnceLogsBeepsAndMarksUntilItClears) {
  const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
  if (daemon.isEmpty())
    GTEST_SKIP() << "dbus-daemon is not installed";
  testing::Process bus({daemon.toStdString(), "--session", "--print-address", "--nofork"});
  const std::string address = bus.ReadLine();
  ASSERT_FALSE(address.empty()) << bus.err;
  NotificationServer server;
  struct BusInUse {
    explicit BusInUse(const std::string& address) {
      setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    ~BusInUse() {
      unsetenv("DBUS_SESSION_BUS_ADDRESS");
      QDBusConnection::disconnectFromBus("notification-server");
    }
  } inUse(address);
  QDBusConnection serverBus =
      QDBusConnection::connectToBus(QString::fromStdString(address), "notification-server");
  ASSERT_TRUE(serverBus.registerService("org.freedesktop.Notifications"));
  ASSERT_TRUE(serverBus.registerVirtualObject("/org/freedesktop/Notifications", &server));

  // The current rises over 1 A a little after the start, holds, and falls to nothing.
  std::string error;
  const auto charge = sim::LoadProfile::Parse(
      "charge:idle=0.2,rise=0.1,hold=1,taper=0.3,rest=1,peak=2,repeat=0", error);
  ASSERT_TRUE(charge) << error;
  PlugMeter(Options([&](sim::EmulatorOptions& o) {
    o.frameIntervalUs = 2000;
    o.loadProfile = charge;
  }));
  WriteAlarms("busy: current > 1 clear < 0.5\n");
  MainWindow& window = Open();
  std::vector<bool> markedAtCall;
  server.onCall = [&](const NotificationServer::Call&) {
    markedAtCall.push_back(window.readingsPage().field(ReadingsPage::kCurrent).marked());
  };
  window.startButton().click();

  // The clear comes after the raise on the same connection: once it is here, so is every raise.
  ASSERT_TRUE(Until([&] { return server.calls.size() >= 2; }));
  ASSERT_EQ(server.calls.size(), 2u);
  EXPECT_EQ(server.calls[0].urgency, 2);
  EXPECT_EQ(server.calls[0].replaces, 0u);
  EXPECT_TRUE(server.calls[0].summary.startsWith("Alarm busy raised: current "));
  EXPECT_EQ(server.calls[1].urgency, 1);
  EXPECT_EQ(server.calls[1].replaces, server.calls[0].id);
  EXPECT_EQ(markedAtCall, (std::vector<bool>{true, false}));
  EXPECT_FALSE(window.readingsPage().field(ReadingsPage::kVoltage).marked());

  EXPECT_EQ(Log().count("Alarm busy raised"), 1);
  ExpectLevel("Alarm busy raised: current ", LogLevel::kError);
  ExpectLevel("Alarm busy cleared: current ", LogLevel::kSuccess);
  EXPECT_EQ(beeps_, (std::vector<bool>{true, false}));  // START, then the raise
  window_.reset();
}

TEST_F(MainWindowTest, ARecordingGoesOnAcrossUnplugsAndTheCommandLineReadsItsSession) {
  const std::string store = (folder_ / "sessions.db").string();
  sim::VirtualMeter& meter =
      PlugMeter(Options([](sim::EmulatorOptions& o) { o.frameIntervalUs = 10000; }));
  MainWindow& window = Open();
  window.OpenSessionStore(QString::fromStdString(store));
  ASSERT_EQ(window.tabs().currentPage(), 4);
  // Record presses START.
  window.sessionsPage().recordButton().click();
  ASSERT_TRUE(window.recording().Recording());
  const auto samples = [&] {
    const std::optional<record::Summary> figures = window.recording().Figures();
    return figures ? figures->samples : 0;
  };
  ASSERT_TRUE(Until([&] { return samples() > 20; }));
  for (int unplug = 0; unplug < 2; ++unplug) {
    meter.Unplug();
    ASSERT_TRUE(Until([&] { return window.recording().WaitingForMeter(); }));
    ASSERT_TRUE(meter.Plug());
    // The same meter is back: the window starts the stream again by itself.
    ASSERT_TRUE(Until([&] { return !window.recording().WaitingForMeter(); }))
        << Log().toStdString();
    const int64_t before = samples();
    ASSERT_TRUE(Until([&] { return samples() > before + 20; }));
  }
  window.sessionsPage().recordButton().click();  // Stop recording
  ASSERT_FALSE(window.recording().Recording());
  // Left as one file, which any reader opens.
  EXPECT_FALSE(std::filesystem::exists(store + "-wal"));

  testing::Process cli({VIREO_CLI, "sessions", "--json", store});
  ASSERT_EQ(cli.Wait(std::chrono::seconds(20)), 0) << cli.err;
  const nlohmann::json sessions = nlohmann::json::parse(cli.out);
  ASSERT_EQ(sessions.size(), 1u) << sessions.dump();
  const nlohmann::json& session = sessions[0];
  EXPECT_EQ(session["ended"], "stopped");
  EXPECT_EQ(session["serial"], "FEDCBA");
  EXPECT_EQ(session["gaps"], 2);
  EXPECT_EQ(std::to_string(session["samples"].get<int64_t>()),
            testing::StoreColumn(store, "SELECT count(*) FROM samples")[0]);
  EXPECT_EQ(testing::StoreColumn(store, "SELECT cause FROM gaps ORDER BY from_us"),
            (std::vector<std::string>{"meter gone", "meter gone"}));
  EXPECT_LT(session["coveredSeconds"].get<double>(), session["durationSeconds"].get<double>());
  EXPECT_GT(session["energyWh"].get<double>(), 0);
}

TEST_F(MainWindowTest, ClosingWhileRecordingEndsTheSessionAndLeavesTheStoreOneFile) {
  const std::string store = (folder_ / "sessions.db").string();
  PlugMeter(Options([](sim::EmulatorOptions& o) { o.frameIntervalUs = 10000; }));
  MainWindow& window = Open();
  window.OpenSessionStore(QString::fromStdString(store));
  window.sessionsPage().recordButton().click();
  ASSERT_TRUE(Until([&] { return window.recording().Figures().has_value(); }));
  // With message boxes off the question is taken as answered yes.
  EXPECT_TRUE(window.close());
  EXPECT_FALSE(window.recording().Recording());
  EXPECT_EQ(testing::StoreColumn(store, "SELECT ended FROM sessions"),
            std::vector<std::string>{"stopped"});
  EXPECT_FALSE(std::filesystem::exists(store + "-wal"));
}

}  // namespace
}  // namespace vireo
