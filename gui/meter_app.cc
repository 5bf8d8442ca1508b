#include "gui/meter_app.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "base/data_dir.h"
#include "gui/main_window.h"
#include "pages/chart/chart_page.h"
#include "pages/readings/page_tab_ctrl.h"

namespace vireo {
namespace {

constexpr const char* kSkinFile = "skin/skin.dat";
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kChartTab = 1;

// The pipe's write end, for the signal handler.
std::atomic<int> stopSignalFd{-1};

extern "C" void WriteStopSignal(int signal) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t written =
      ::write(stopSignalFd.load(std::memory_order_relaxed), &byte, 1);
  errno = saved;
}

QString SkinPath() {
  const QStringList candidates{
      QString::fromLatin1(kSkinFile),
      qEnvironmentVariable("VIREOMETER_DATA_DIR") + "/" + kSkinFile,
      QString::fromStdString(InstalledDataDir(VIREO_INSTALL_DATA_DIR)) + "/" + kSkinFile,
      QStringLiteral(VIREO_BUILD_DATA_DIR "/") + kSkinFile,
  };
  for (const QString& path : candidates) {
    if (QFile::exists(path)) {
      return path;
    }
  }
  return {};
}

}  // namespace

MeterApp::MeterApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("vireometer"));
  // Desktops match the window to the desktop entry, and so to its icon, by this name.
  setDesktopFileName(QStringLiteral("vireometer"));
}

void MeterApp::CloseOnStopSignals() {
  if (signalWrite_) {
    return;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    return;  // the signals keep ending the program at once
  }
  signalRead_.Reset(fds[0]);
  signalWrite_.Reset(fds[1]);
  stopSignalFd.store(fds[1]);
  signalNotifier_ = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
  connect(signalNotifier_, &QSocketNotifier::activated, this, [this] { OnStopSignal(); });
  for (const int signal : kStopSignals) {
    struct sigaction action {};
    if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
      continue;
    }
    action = {};
    action.sa_handler = WriteStopSignal;
    sigemptyset(&action.sa_mask);
    // A second Ctrl+C ends the program at once, should closing hang. A hangup may come twice
    // (from the terminal and from the shell), so SIGHUP and SIGTERM stay caught.
    action.sa_flags = SA_RESTART | (signal == SIGINT ? SA_RESETHAND : 0);
    ::sigaction(signal, &action, nullptr);
  }
}

MeterApp::~MeterApp() {
  if (!signalWrite_) {
    return;
  }
  for (const int signal : kStopSignals) {
    struct sigaction action {};
    if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == WriteStopSignal) {
      ::signal(signal, SIG_DFL);
    }
  }
  stopSignalFd.store(-1);
}

void MeterApp::OnStopSignal() {
  unsigned char bytes[16];
  while (::read(signalRead_.Get(), bytes, sizeof bytes) > 0) {
  }
  // Stops the stream, joins the workers and releases the link, as the close button does.
  if (window_ != nullptr) {
    window_->CloseWithoutAsking();
  }
  quit();
}

QString MeterApp::ReadSkin() {
  QFile file(SkinPath());
  if (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
    return {};
  }
  return QString::fromUtf8(file.readAll());
}

int MeterApp::Run(AppState& state, const std::function<void(MainWindow&)>& onShown) {
  setStyleSheet(ReadSkin());
  MainWindow window(state);
  window_ = &window;
  window.Initialize();
  window.show();
  if (onShown) {
    onShown(window);
  }
  const int status = exec();
  window_ = nullptr;
  return status;
}

void OpenRecordFileAtStart(MainWindow& window, const TextTable& texts, const QString& path) {
  ChartPage& page = window.chartPage();
  page.OpenRecordFile(path);
  window.tabs().tabBar().setCurrentIndex(kChartTab);
  if (page.view().recordSet()) {
    return;
  }
  const RecordFileResult& load = page.view().lastLoad();
  std::string reason(RecordFileErrorText(load.error));
  if (!load.detail.empty()) {
    reason.append(": ").append(load.detail);
  }
  window.reporter().AppendLog(
      FillIn(texts.Extra("record_file_refused"), {path.toStdString(), reason}), LogLevel::kError);
  window.reporter().NewLogLine();
  std::fprintf(stderr, "vireometer: %s: %s\n", path.toLocal8Bit().constData(), reason.c_str());
}

}  // namespace vireo
