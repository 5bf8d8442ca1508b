#include "gui/meter_app.h"

#include <QFile>

#include "base/data_dir.h"
#include "gui/main_window.h"

namespace vireo {
namespace {

constexpr const char* kSkinFile = "skin/skin.dat";

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
  window.Initialize();
  window.show();
  if (onShown) {
    onShown(window);
  }
  return exec();
}

}  // namespace vireo
