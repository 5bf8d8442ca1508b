// MeterApp: the application object. It applies the skin and runs the main window over the
// state it is handed; the program ends when the window closes, or on SIGTERM, SIGINT or SIGHUP,
// which close the window as its close button does.
#pragma once

#include <QApplication>
#include <QSocketNotifier>
#include <QString>
#include <functional>

#include "app/app_state.h"
#include "base/posix.h"

namespace vireo {

class MainWindow;

class MeterApp : public QApplication {
 public:
  MeterApp(int& argc, char** argv);
  ~MeterApp() override;

  // From here on, the stop signals close the window once Run shows it, and a signal that came
  // before closes it as soon as it is shown. A stop signal the program was started with
  // ignored, as nohup does with SIGHUP, stays ignored.
  void CloseOnStopSignals();

  // Shows the main window and runs until it is closed; `onShown` runs once it is shown.
  int Run(AppState& state, const std::function<void(MainWindow&)>& onShown = {});

  // The style sheet of "skin/skin.dat" in the current directory, else of the program's
  // installed data; empty when there is none, which leaves the standard look.
  static QString ReadSkin();

 private:
  // The signal handler only writes the signal's number to a pipe; this reads it on the GUI
  // thread, closes the window and ends the event loop.
  void OnStopSignal();

  posix::UniqueFd signalRead_;
  posix::UniqueFd signalWrite_;
  QSocketNotifier* signalNotifier_ = nullptr;
  MainWindow* window_ = nullptr;
};

// Opens a record file named on the command line, or by the file manager through the desktop
// entry, on the chart page and shows that page. A refused file leaves the page without curves;
// the log says why in red, and so does standard error.
void OpenRecordFileAtStart(MainWindow& window, const TextTable& texts, const QString& path);

}  // namespace vireo
