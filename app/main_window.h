// MainWindow: the program's one window, with the log, START, BUY and STOP, the progress bar,
// the status row and the page tabs. It is wiring and presentation: the identification and the
// live stream are the sequences of app/, which report back through a GuiReporter. It owns the
// meter link and the workers, and joins every worker before it goes.
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <memory>

#include "app/app_state.h"
#include "app/gui_reporter.h"
#include "app/live_control.h"
#include "app/log_view.h"
#include "app/reporter.h"
#include "app/worker.h"
#include "meter/meter_link.h"

namespace vireo {

class DeviceWatcher;
class PageTabCtrl;
class ReadingsPage;

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
  void StartUpgrade();
  // Stops a stream as STOP does and joins every worker; closing and the destructor do it too.
  // A subclass that overrides a worker body calls it in its own destructor.
  void Shutdown();

  // A HID device came or went: identify the meter again, unless a stream runs; while a
  // read-out or upgrade holds the link, once it has finished.
  void OnDevicesChanged();

  // Message boxes are window-modal unless turned off; messageShown is emitted either way.
  void SetMessageBoxesShown(bool shown) { messageBoxesShown_ = shown; }

  QPushButton& startButton() { return *startButton_; }
  QPushButton& buyButton() { return *buyButton_; }
  QPushButton& stopButton() { return *stopButton_; }
  LogView& log() { return *log_; }
  QProgressBar& progressBar() { return *progress_; }
  QLabel& statusField(StatusField field);
  PageTabCtrl& tabs() { return *tabs_; }
  ReadingsPage& readingsPage() { return *readingsPage_; }
  DeviceWatcher* deviceWatcher() { return watcher_; }

 signals:
  void beeped(bool success);
  void messageShown(const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

  // The bodies of the read-out and upgrade workers, run on their threads.
  virtual void ReadOutBody() {}
  virtual void UpgradeBody() {}

 private:
  // Reporter, on the GUI thread.
  void AppendLog(const std::string& text, int level) override;
  void NewLogLine() override;
  void ClearLog() override;
  void SetProgress(int position) override;
  void Beep(bool success) override;
  void SetStatus(StatusField field, const std::string& text) override;
  void ShowMessage(const std::string& text) override;

  void CreatePages();
  void CreateWorkers();
  // A read-out or an upgrade holds the link.
  bool WorkerBusy() const;
  void OnWorkerIdle();
  void IdentifyMeter();

  AppState& state_;
  MeterLink link_;
  GuiReporter reporter_;
  bool messageBoxesShown_ = true;

  LogView* log_;
  PageTabCtrl* tabs_;
  QPushButton* startButton_;
  QPushButton* buyButton_;
  QPushButton* stopButton_;
  QProgressBar* progress_;
  QLabel* serialField_;
  QLabel* versionField_;
  QLabel* upgradeField_;
  QLabel* usbField_;
  ReadingsPage* readingsPage_ = nullptr;
  DeviceWatcher* watcher_ = nullptr;

  // An identification asked for by a device change while a read-out or upgrade held the link.
  bool identifyPending_ = false;

  // Declared last: they go first, while everything they report to still exists.
  std::unique_ptr<LiveControl> live_;
  std::unique_ptr<Worker> readOutWorker_;
  std::unique_ptr<Worker> upgradeWorker_;
};

}  // namespace vireo
