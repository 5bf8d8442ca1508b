// MainWindow: the program's one window, with the log, START, BUY and STOP, the progress bar,
// the status row and the page tabs. It is wiring and presentation: the identification, the
// live stream, the read-out and the upgrade are the sequences of app/, each on its worker,
// which report back through a GuiReporter; the alarms hear the live stream. It owns the meter link
// and the sequences' controls, and joins every worker before it goes. It is a plain top-level
// widget, not a dialog: it has no default button and Escape does not reject it, so neither Enter
// nor Escape can close it.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/app_state.h"
#include "app/live_control.h"
#include "app/read_out_control.h"
#include "app/reporter.h"
#include "app/update_control.h"
#include "app/upgrade_control.h"
#include "gui/gui_reporter.h"
#include "gui/log_view.h"
#include "gui/progress_bar.h"
#include "gui/window_alarms.h"
#include "gui/window_recording.h"
#include "meter/meter_link.h"
#include "pages/dialog_units.h"
#include "record/session_keeper.h"

namespace vireo {

class AlarmsDialog;
class ChartPage;
class DeviceWatcher;
class FirmwarePage;
class PageTabCtrl;
class ReadingsPage;
class SessionsPage;

class MainWindow : public QWidget, private Reporter {
  Q_OBJECT

 public:
  explicit MainWindow(AppState& state, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The window's initialisation, in the design's order: program folder, caption, link, texts,
  // identification, first log line, captions, pages, workers, device watching. Call it once,
  // before the window is shown.
  void Initialize();

  // Reports from any thread reach the window through this.
  Reporter& reporter() { return reporter_; }

  // The buttons and requests of the window and its pages.
  void OnStart();
  void OnStop();
  void StartReadOut();
  void StartUpgrade(const UpgradeRequest& request);
  // BUY: opens the shop address (VIREOMETER_SHOP_URL, else the build's) in the browser.
  void OnBuy();
  // Tests put a recorder here instead of the desktop's browser.
  void SetUrlOpener(std::function<bool(const QUrl&)> opener) { urlOpener_ = std::move(opener); }
  // The readings page's "Alarms…": opens the alarms dialog, window-modal; its OK puts the new
  // rules to work.
  AlarmsDialog* OpenAlarms();
  // Stops a stream as STOP does and joins every worker; closing and the destructor do it too.
  void Shutdown();

  // The sessions page's Record: opens its store and records the live stream into it, pressing
  // START first when no stream runs. The session goes on across unplugs: the stream is started
  // again when the same meter comes back.
  void StartRecording(const record::TriggerSettings& triggers);
  // Stop recording: the session ends as stopped and the store is closed.
  void StopRecording();
  // Lists and shows the sessions of the store at path on the sessions page, and shows that page.
  void OpenSessionStore(const QString& path);
  // Closes without asking, even while recording (a stop signal): the session ends cleanly.
  void CloseWithoutAsking();

  // A HID device came or went: identify the meter again, unless a stream runs; while a
  // read-out or upgrade holds the link, once it has given the link back.
  void OnDevicesChanged();

  // Message boxes are window-modal unless turned off; messageShown is emitted either way.
  void SetMessageBoxesShown(bool shown);

  QPushButton& startButton() { return *startButton_; }
  QPushButton& buyButton() { return *buyButton_; }
  QPushButton& stopButton() { return *stopButton_; }
  LogView& log() { return *log_; }
  ProgressBar& progressBar() { return *progress_; }
  QLabel& statusField(StatusField field);
  PageTabCtrl& tabs() { return *tabs_; }
  ReadingsPage& readingsPage() { return *readingsPage_; }
  ChartPage& chartPage() { return *chartPage_; }
  FirmwarePage& firmwarePage() { return *firmwarePage_; }
  SessionsPage& sessionsPage() { return *sessionsPage_; }
  WindowRecording& recording() { return *recording_; }
  DeviceWatcher* deviceWatcher() { return watcher_; }
  const DialogUnits& dialogUnits() const { return units_; }
  // The window's size over its template's (1 as it opens).
  double layoutScale() const { return layout_->scale(); }
  WindowAlarms* alarms() { return alarms_.get(); }

 Q_SIGNALS:
  void beeped(bool success);
  void messageShown(const QString& text);
  // A read-out wrote the record file at path.
  void recordsReady(const QString& path);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // Reporter, on the GUI thread.
  void AppendLog(const std::string& text, LogLevel level) override;
  void NewLogLine() override;
  void ClearLog() override;
  void SetProgress(int position) override;
  void Beep(bool success) override;
  void SetStatus(StatusField field, const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  void FirmwareTooOld() override;
  void RecordsReady(std::string path) override;

  void CreatePages();
  void CreateWorkers();
  // Some sequence gave the link back; a deferred identification may run now.
  void OnLinkReleased();
  // Marks the readings page's fields whose quantities have an alarm raised.
  void ShowAlarmMarks();
  // The recording has ended, asked for or by itself.
  void RecordingEnded();
  // Once a second while recording: the figures and the growing session on the sessions page.
  void ShowRecording();
  // While recording and waiting for the meter: starts the stream again when it is back.
  void ResumeRecording();

  AppState& state_;
  MeterLink link_;
  GuiReporter reporter_;
  // Measured from the window's font when it is made; every page is laid out with them.
  DialogUnits units_;
  DialogLayout* layout_;
  bool messageBoxesShown_ = true;

  LogView* log_;
  PageTabCtrl* tabs_;
  QPushButton* startButton_;
  QPushButton* buyButton_;
  QPushButton* stopButton_;
  ProgressBar* progress_;
  QLabel* serialField_;
  QLabel* versionField_;
  QLabel* upgradeField_;
  QLabel* usbField_;
  ReadingsPage* readingsPage_ = nullptr;
  ChartPage* chartPage_ = nullptr;
  FirmwarePage* firmwarePage_ = nullptr;
  SessionsPage* sessionsPage_ = nullptr;
  DeviceWatcher* watcher_ = nullptr;

  // An identification asked for by a device change while a read-out or upgrade held the link.
  bool identifyPending_ = false;
  // Empty when no shop is configured; BUY is disabled then.
  QUrl shopUrl_;
  std::function<bool(const QUrl&)> urlOpener_;
  bool askBeforeClose_ = true;
  QTimer recordingTimer_;
  // The meter the recording waits for that was found not to be it, said once.
  std::string otherMeterSaid_;
  // The running session is listed and shown on the sessions page.
  bool sessionShown_ = false;

  // Subscribed to the live stream, so it goes after it.
  std::unique_ptr<WindowAlarms> alarms_;
  std::unique_ptr<WindowRecording> recording_;
  // Declared last: they go first, while everything they report to still exists.
  std::unique_ptr<LiveControl> live_;
  std::unique_ptr<ReadOutControl> readOut_;
  std::unique_ptr<UpgradeControl> upgrade_;
  std::unique_ptr<UpdateControl> update_;
};

}  // namespace vireo
