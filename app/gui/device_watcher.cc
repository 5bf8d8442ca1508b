#include "app/gui/device_watcher.h"

#include <QDir>

namespace vireo {

DeviceWatcher::DeviceWatcher(QObject* parent) : DeviceWatcher(DefaultFolders(), parent) {}

DeviceWatcher::DeviceWatcher(const QStringList& folders, QObject* parent)
    : QObject(parent), folders_(folders) {
  for (const QString& folder : folders_) {
    if (QDir(folder).exists()) {
      watcher_.addPath(folder);
    }
  }
  devices_ = Devices();
  settle_.setSingleShot(true);
  settle_.setInterval(kSettleMs);
  connect(&settle_, &QTimer::timeout, this, &DeviceWatcher::Rescan);
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settle_, qOverload<>(&QTimer::start));
}

QStringList DeviceWatcher::DefaultFolders() {
  QStringList folders{QStringLiteral("/dev")};
  const QString virtualFolder = qEnvironmentVariable("HIDLINK_VIRTUAL_DIR");
  if (!virtualFolder.isEmpty()) {
    folders << virtualFolder;
  }
  return folders;
}

QStringList DeviceWatcher::Devices() const {
  static const QStringList kPatterns{QStringLiteral("hidraw*"), QStringLiteral("hid-*.sock")};
  QStringList devices;
  for (const QString& folder : folders_) {
    const QDir dir(folder);
    const QStringList names =
        dir.entryList(kPatterns, QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
      devices << dir.filePath(name);
    }
  }
  return devices;
}

void DeviceWatcher::Rescan() {
  // Other files come and go in /dev too; only a change of the HID devices counts.
  QStringList devices = Devices();
  if (devices == devices_) {
    return;
  }
  devices_ = std::move(devices);
  Q_EMIT changed();
}

}  // namespace vireo
