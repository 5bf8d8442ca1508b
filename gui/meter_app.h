// MeterApp: the application object. It applies the skin and runs the main window over the
// state it is handed; the program ends when the window closes.
#pragma once

#include <QApplication>
#include <QString>
#include <functional>

#include "app/app_state.h"

namespace vireo {

class MainWindow;

class MeterApp : public QApplication {
 public:
  MeterApp(int& argc, char** argv);

  // Shows the main window and runs until it is closed; `onShown` runs once it is shown.
  int Run(AppState& state, const std::function<void(MainWindow&)>& onShown = {});

  // The style sheet of "skin/skin.dat" in the current directory, else of the program's
  // installed data; empty when there is none, which leaves the standard look.
  static QString ReadSkin();
};

}  // namespace vireo
