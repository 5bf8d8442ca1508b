#include "gui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFrame>
#include <QMessageBox>
#include <algorithm>

#include "alarms/alarm_file.h"
#include "app/curl_http_client.h"
#include "app/identify.h"
#include "app/update_check.h"
#include "gui/alarms_dialog.h"
#include "gui/device_watcher.h"
#include "meter/firmware_version.h"
#include "pages/about/about_page.h"
#include "pages/chart/chart_page.h"
#include "pages/design_font.h"
#include "pages/dialog_units.h"
#include "pages/firmware/firmware_page.h"
#include "pages/readings/page_tab_ctrl.h"
#include "pages/readings/readings_page.h"
#include "pages/sessions/sessions_page.h"

namespace vireo {
namespace {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 2;
// The client area covers every control of the layout (dialog units).
constexpr int kClientWidth = 461;
constexpr int kClientHeight = 270;
// Every page's template (dialog units).
constexpr int kPageWidth = 334;
constexpr int kPageHeight = 178;
// The sessions page comes after the four of the design.
constexpr int kSessionsTab = 4;
constexpr int kRecordingFiguresMs = 1000;

QString FromUtf8(const std::string& text) {
  return QString::fromStdString(text);
}

QFrame* EtchedLine(QFrame::Shape shape, QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(shape);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QLabel* StatusLabel(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return label;
}

}  // namespace

MainWindow::MainWindow(AppState& state, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      state_(state),
      reporter_(*this, *this),
      units_(DialogUnits::Of(font())) {
  // The window's font, scaled with the window, must reach its controls under a skin too; Qt
  // passes a parent's font on to styled children only when asked to.
  QApplication::setAttribute(Qt::AA_UseStyleSheetPropagationInWidgetStyles);
  // The desktop's font is the dialog font: the layout grows with it. The window opens at the
  // template's size and may be made larger, never smaller.
  layout_ = new DialogLayout(*this, units_, kClientWidth, kClientHeight);
  setMinimumSize(layout_->templateSize());
  // Placeholder captions, as the layout carries them; the texts replace them at start.
  setWindowTitle(QStringLiteral("VireoMeter"));

  // Beyond the template's proportions the log takes the spare width and height, the status
  // row stays at the bottom and the controls right of the log keep to the right.
  using L = DialogLayout;
  log_ = layout_->Place(new LogView(this), 3, 7, 110, 240, L::kGrowWidth | L::kGrowHeight);
  log_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  log_->setFocusPolicy(Qt::StrongFocus);
  log_->setTabChangesFocus(true);
  tabs_ = layout_->Place(new PageTabCtrl(this), 115, 4, 342, 198, L::kMoveRight | L::kGrowHeight);
  const int buttonsFollow = L::kMoveRight | L::kMoveDown;
  startButton_ = layout_->Place(new QPushButton(QStringLiteral("START"), this), 116, 203, 81, 31,
                                buttonsFollow);
  buyButton_ = layout_->Place(new QPushButton(QStringLiteral("BUY"), this), 198, 203, 175, 31,
                              buttonsFollow);
  stopButton_ = layout_->Place(new QPushButton(QStringLiteral("STOP"), this), 375, 203, 81, 31,
                               buttonsFollow);
  progress_ = layout_->Place(new ProgressBar(this), 114, 237, 343, 10, buttonsFollow);
  progress_->setRange(0, 100);
  progress_->setTextVisible(false);

  serialField_ = layout_->Place(StatusLabel(this), 7, 252, 68, 12, L::kMoveDown);
  versionField_ = layout_->Place(StatusLabel(this), 79, 252, 69, 12, L::kMoveDown);
  upgradeField_ =
      layout_->Place(StatusLabel(this), 153, 252, 163, 12, L::kMoveDown | L::kGrowWidth);
  usbField_ = layout_->Place(StatusLabel(this), 358, 252, 63, 12, L::kMoveDown | L::kMoveRight);
  for (int y : {249, 266}) {
    layout_->Place(EtchedLine(QFrame::HLine, this), 3, y, 454, 2, L::kMoveDown | L::kGrowWidth);
  }
  for (int x : {77, 150, 337, 424}) {
    layout_->Place(EtchedLine(QFrame::VLine, this), x, 250, 2, 16,
                   x > 300 ? L::kMoveDown | L::kMoveRight : L::kMoveDown);
  }
  // The pages keep their template's proportions too, at the window's scale.
  layout_->SetOnLayout([this](double scale) {
    const QSize page = units_.Size(kPageWidth, kPageHeight);
    tabs_->SetPageSize(QSize(qRound(page.width() * scale), qRound(page.height() * scale)));
  });
  layout_->Apply();

  connect(startButton_, &QPushButton::clicked, this, &MainWindow::OnStart);
  connect(stopButton_, &QPushButton::clicked, this, &MainWindow::OnStop);
  connect(buyButton_, &QPushButton::clicked, this, &MainWindow::OnBuy);
  urlOpener_ = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

MainWindow::~MainWindow() {
  Shutdown();
  // Every worker has ended; nothing releases the link on another thread any more.
  state_.linkOwner.SetReleaseListener({});
}

void MainWindow::Initialize() {
  setWindowIcon(ProductIcon());
  state_.ProgramFolder = QDir::currentPath().toStdString() + "/";
  setWindowTitle(QString::asprintf("Vireo_Meter %d.%d", kVersionMajor, kVersionMinor));
  link_.Configure();
  const ProgramTextsLoad texts = LoadProgramTexts(state_.texts, state_.ProgramFolder);
  for (const std::string& warning : texts.warnings) {
    reporter_.AppendLog(warning, LogLevel::kWarning);
    reporter_.NewLogLine();
  }
  IdentifyIfFree(link_, state_, reporter_);
  reporter_.AppendLog(state_.texts[TXT_WELCOME], LogLevel::kNormal);
  reporter_.NewLogLine();
  startButton_->setText(PlainCaption(FromUtf8(state_.texts[TXT_START])));
  stopButton_->setText(PlainCaption(FromUtf8(state_.texts[TXT_STOP])));
  buyButton_->setText(PlainCaption(FromUtf8(state_.texts[TXT_BUY])));
  shopUrl_ = QUrl(FromUtf8(ShopUrl()), QUrl::StrictMode);
  buyButton_->setEnabled(shopUrl_.isValid() && !shopUrl_.isEmpty());
  progress_->setValue(100);
  log_->setAccessibleName(FromUtf8(state_.texts.Extra("log_name")));
  progress_->setAccessibleName(FromUtf8(state_.texts.Extra("progress_name")));
  CreatePages();
  state_.readings.Clear();
  CreateWorkers();
  watcher_ = new DeviceWatcher(this);
  connect(watcher_, &DeviceWatcher::changed, this, &MainWindow::OnDevicesChanged);
  // A meter unplugged and plugged again within the watcher's settling time leaves the list as
  // it was; a recording that waits for its meter looks whenever the devices were looked at.
  connect(watcher_, &DeviceWatcher::rescanned, this, [this] {
    if (recording_->WaitingForMeter() && !state_.LiveRunning && link_.IsPresent()) {
      OnDevicesChanged();
    }
  });
}

void MainWindow::CreatePages() {
  for (TextId caption : {TXT_TAB_READINGS, TXT_TAB_CHART, TXT_TAB_FIRMWARE, TXT_TAB_ABOUT}) {
    tabs_->InsertItem(PlainCaption(FromUtf8(state_.texts[caption])));
  }
  tabs_->InsertItem(FromUtf8(state_.texts.Extra("sessions_tab")));
  tabs_->Init(PageTabCtrl::kMaxPages);
  readingsPage_ = new ReadingsPage(state_, units_);
  readingsPage_->onAlarms = [this] { OpenAlarms(); };
  tabs_->SetPage(0, readingsPage_);
  chartPage_ = new ChartPage(state_, reporter_, units_);
  chartPage_->onReadOff = [this] { StartReadOut(); };
  tabs_->SetPage(1, chartPage_);
  firmwarePage_ = new FirmwarePage(
      state_, reporter_, [this](const UpgradeRequest& request) { StartUpgrade(request); }, units_);
  tabs_->SetPage(2, firmwarePage_);
  tabs_->SetPage(3, new AboutPage(units_));
  sessionsPage_ = new SessionsPage(state_.texts, units_);
  sessionsPage_->SetMessageBoxesShown(messageBoxesShown_);
  sessionsPage_->onRecord = [this](const record::TriggerSettings& triggers) {
    StartRecording(triggers);
  };
  sessionsPage_->onStopRecording = [this] { StopRecording(); };
  tabs_->SetPage(kSessionsTab, sessionsPage_);
  tabs_->SetPageFillsArea(kSessionsTab);
  tabs_->LayoutPages();
  tabs_->tabBar().setFocus();
  // The keyboard goes from the log to the tabs, the page shown, and the buttons under it.
  setTabOrder(log_, &tabs_->tabBar());
  QWidget* last = &tabs_->tabBar();
  for (int slot = 0; slot < tabs_->pageCount(); ++slot) {
    QWidget* page = tabs_->page(slot);
    page->setAccessibleName(tabs_->tabBar().tabText(slot));
    for (QWidget* control : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (control->focusPolicy() & Qt::TabFocus) {
        setTabOrder(last, control);
        last = control;
      }
    }
  }
  setTabOrder(last, startButton_);
  setTabOrder(startButton_, buyButton_);
  setTabOrder(buyButton_, stopButton_);
}

void MainWindow::CreateWorkers() {
  state_.linkOwner.SetReleaseListener([this] {
    QMetaObject::invokeMethod(
        this, [this] { OnLinkReleased(); }, Qt::QueuedConnection);
  });
  live_ = std::make_unique<LiveControl>(link_, state_, reporter_);
  alarms_ = std::make_unique<WindowAlarms>(live_->stream(), state_.texts, reporter_);
  connect(alarms_.get(), &WindowAlarms::changed, this, &MainWindow::ShowAlarmMarks);
  alarms_->Load(alarms::AlarmFilePath());
  recording_ = std::make_unique<WindowRecording>(live_->stream(), [this](const std::string& line) {
    reporter_.AppendLog(line, LogLevel::kNormal);
    reporter_.NewLogLine();
  });
  // The page's reader lets go first, so that the store is left as one file.
  recording_->beforeClose = [this] { sessionsPage_->ReleaseStore(); };
  connect(recording_.get(), &WindowRecording::ended, this, &MainWindow::RecordingEnded);
  recordingTimer_.setInterval(kRecordingFiguresMs);
  connect(&recordingTimer_, &QTimer::timeout, this, &MainWindow::ShowRecording);
  readOut_ = std::make_unique<ReadOutControl>(link_, state_, reporter_);
  upgrade_ = std::make_unique<UpgradeControl>(link_, state_, reporter_);
  update_ = std::make_unique<UpdateControl>(std::make_unique<CurlHttpClient>(), UpdateBaseUrl(),
                                            state_, reporter_);
  update_->Start();
}

void MainWindow::Shutdown() {
  if (live_) {
    live_->Shutdown();
  }
  if (readOut_) {
    readOut_->Shutdown();
  }
  if (upgrade_) {
    upgrade_->Shutdown();
  }
  if (update_) {
    update_->Shutdown();
  }
}

void MainWindow::OnStart() {
  if (live_) {
    const bool wasRunning = state_.LiveRunning != 0;
    if (!wasRunning) {
      recording_->BeforeStreamStart();
    }
    live_->Start();
    if (state_.LiveRunning) {
      alarms_->StreamStarted();
      if (!wasRunning) {
        const DeviceInfo info = state_.deviceInfo.Load();
        recording_->StreamStarted(SerialText(info), FirmwareVersionText(info.version));
      }
    }
  }
}

void MainWindow::StartRecording(const record::TriggerSettings& triggers) {
  if (!recording_ || recording_->Recording()) {
    return;
  }
  const std::string path = sessionsPage_->storePath().toStdString();
  std::string error;
  const bool begun = recording_->Begin(
      path, triggers,
      [this](int64_t done, int64_t total) {
        reporter_.SetProgress(total > 0 ? static_cast<int>(done * 100 / total) : 100);
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
      },
      error);
  reporter_.SetProgress(100);
  if (!begun) {
    reporter_.AppendLog(FillIn(state_.texts.Extra("recording_refused"), {error}), LogLevel::kError);
    reporter_.NewLogLine();
    Beep(false);
    return;
  }
  reporter_.AppendLog(FillIn(state_.texts.Extra("recording_into"), {path}), LogLevel::kSuccess);
  reporter_.NewLogLine();
  otherMeterSaid_.clear();
  sessionShown_ = false;
  sessionsPage_->SetRecording(true);
  recordingTimer_.start();
  if (state_.LiveRunning) {
    const DeviceInfo info = state_.deviceInfo.Load();
    recording_->StreamStarted(SerialText(info), FirmwareVersionText(info.version));
  } else {
    OnStart();
  }
  ShowRecording();
}

void MainWindow::StopRecording() {
  if (recording_ && recording_->Recording()) {
    recording_->End();
    RecordingEnded();
  }
}

void MainWindow::RecordingEnded() {
  recordingTimer_.stop();
  reporter_.AppendLog(FillIn(state_.texts.Extra("recording_ended"), {recording_->storePath()}),
                      LogLevel::kNormal);
  reporter_.NewLogLine();
  sessionsPage_->SetRecording(false);
  sessionsPage_->Refresh(true);
}

void MainWindow::ShowRecording() {
  if (!recording_->Recording()) {
    return;
  }
  RecordingFigures shown;
  if (const std::optional<record::Summary> figures = recording_->Figures()) {
    shown.elapsedSeconds = figures->durationSeconds;
    shown.samples = figures->samples;
    shown.energyWh = figures->energyWh;
    shown.chargeMah = figures->chargeMah;
    shown.gaps = figures->gaps;
    shown.coverage = figures->coverage;
  } else {
    shown.waitingForTrigger = true;
  }
  sessionsPage_->ShowRecordingFigures(shown);
  // A session that has begun is shown as it grows.
  const bool began = !shown.waitingForTrigger && !sessionShown_;
  sessionShown_ = !shown.waitingForTrigger;
  sessionsPage_->Refresh(began);
}

void MainWindow::ResumeRecording() {
  if (!recording_ || !recording_->Recording() || state_.LiveRunning) {
    return;
  }
  const DeviceInfo info = state_.deviceInfo.Load();
  if (!info.identified) {
    return;
  }
  const std::string serial = SerialText(info);
  if (!recording_->serial().empty() && serial != recording_->serial()) {
    if (otherMeterSaid_ != serial) {
      otherMeterSaid_ = serial;
      reporter_.AppendLog(
          FillIn(state_.texts.Extra("recording_other_meter"), {serial, recording_->serial()}),
          LogLevel::kWarning);
      reporter_.NewLogLine();
    }
    return;
  }
  OnStart();
}

void MainWindow::OpenSessionStore(const QString& path) {
  if (sessionsPage_) {
    sessionsPage_->SetStorePath(path);
    tabs_->tabBar().setCurrentIndex(kSessionsTab);
  }
}

void MainWindow::SetMessageBoxesShown(bool shown) {
  messageBoxesShown_ = shown;
  if (sessionsPage_) {
    sessionsPage_->SetMessageBoxesShown(shown);
  }
}

void MainWindow::CloseWithoutAsking() {
  askBeforeClose_ = false;
  close();
}

void MainWindow::OnStop() {
  if (live_) {
    live_->Stop();
  }
}

void MainWindow::StartReadOut() {
  if (readOut_) {
    readOut_->Request();
  }
}

void MainWindow::StartUpgrade(const UpgradeRequest& request) {
  if (upgrade_) {
    upgrade_->Request(request);
  }
}

AlarmsDialog* MainWindow::OpenAlarms() {
  const std::string path = alarms::AlarmFilePath();
  auto* dialog = new AlarmsDialog(state_.texts, path, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowModality(Qt::WindowModal);
  connect(dialog, &QDialog::accepted, this, [this, path] {
    if (alarms_) {
      alarms_->Load(path);
    }
  });
  dialog->open();
  return dialog;
}

void MainWindow::ShowAlarmMarks() {
  // The fast readings have no field of their own; they mark the field of their quantity.
  struct Marked {
    ReadingsPage::Field field;
    std::string_view quantities[2];
  };
  static constexpr Marked kMarked[] = {
      {ReadingsPage::kVoltage, {"voltage", "voltage_fast"}},
      {ReadingsPage::kCurrent, {"current", "current_fast"}},
      {ReadingsPage::kPower, {"power"}},
      {ReadingsPage::kDPlus, {"dplus"}},
      {ReadingsPage::kDMinus, {"dminus"}},
      {ReadingsPage::kTempInternal, {"temp_internal"}},
      {ReadingsPage::kTempExternal, {"temp_external"}},
  };
  if (!readingsPage_ || !alarms_) {
    return;
  }
  for (const Marked& marked : kMarked) {
    readingsPage_->SetMarked(marked.field,
                             std::ranges::any_of(marked.quantities, [this](std::string_view q) {
                               return !q.empty() && alarms_->Raised(q);
                             }));
  }
}

void MainWindow::OnBuy() {
  if (buyButton_->isEnabled() && urlOpener_) {
    urlOpener_(shopUrl_);
  }
}

void MainWindow::OnDevicesChanged() {
  if (!live_ || state_.LiveRunning) {
    return;  // no identification while a stream runs
  }
  // While a read-out or an upgrade holds the link, the identification waits for its release.
  identifyPending_ = !IdentifyIfFree(link_, state_, reporter_);
  if (!identifyPending_) {
    ResumeRecording();
  }
}

void MainWindow::OnLinkReleased() {
  // After an upgrade the status row shows the version the meter runs now.
  const bool newFirmware = upgrade_ && upgrade_->TakeNewFirmware();
  if (identifyPending_ || newFirmware) {
    OnDevicesChanged();
  }
}

QLabel& MainWindow::statusField(StatusField field) {
  switch (field) {
    case StatusField::kSerial:
      return *serialField_;
    case StatusField::kVersion:
      return *versionField_;
    case StatusField::kUpgrade:
      return *upgradeField_;
    case StatusField::kUsb:
      break;
  }
  return *usbField_;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (recording_ && recording_->Recording() && askBeforeClose_ && messageBoxesShown_ &&
      QMessageBox::question(this, windowTitle(),
                            FromUtf8(state_.texts.Extra("close_while_recording"))) !=
          QMessageBox::Yes) {
    event->ignore();
    return;
  }
  // Ends the recording, every sequence and joins its worker, so nothing outlives the window;
  // the window is hidden first, so it goes from the screen at once.
  hide();
  StopRecording();
  Shutdown();
  event->accept();
}

void MainWindow::AppendLog(const std::string& text, LogLevel level) {
  log_->AppendLog(FromUtf8(text), level);
}

void MainWindow::NewLogLine() {
  log_->NewLogLine();
}

void MainWindow::ClearLog() {
  log_->ClearLog();
}

void MainWindow::SetProgress(int position) {
  progress_->Show(position);
}

void MainWindow::Beep(bool success) {
  QApplication::beep();
  Q_EMIT beeped(success);
}

void MainWindow::SetStatus(StatusField field, const std::string& text) {
  statusField(field).setText(FromUtf8(text));
}

void MainWindow::ShowMessage(const std::string& text) {
  const QString message = FromUtf8(text);
  Q_EMIT messageShown(message);
  if (!messageBoxesShown_) {
    return;
  }
  QString shown = message;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  // Window-modal without a nested event loop, so no sequence runs again inside it.
  auto* box = new QMessageBox(QMessageBox::NoIcon, QString(), shown, QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setTextFormat(Qt::PlainText);
  box->open();
}

void MainWindow::FirmwareTooOld() {
  ShowFirmwareTooOld(state_.texts, *this);
}

void MainWindow::RecordsReady(std::string path) {
  // The read-out's file becomes the one the chart page shows.
  if (chartPage_) {
    chartPage_->LoadRecords(path);
  }
  Q_EMIT recordsReady(QString::fromStdString(path));
}

}  // namespace vireo
