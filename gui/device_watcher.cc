#include "gui/device_watcher.h"

#include <QDir>
#include <QFileInfo>

namespace vireo {
namespace {

// The folder itself when it exists, else its nearest existing parent; empty if none is left.
QString NearestExisting(const QString& folder) {
  QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
  while (!QFileInfo(path).isDir()) {
    const QString parent = QFileInfo(path).path();
    if (parent == path) {
      return {};
    }
    path = parent;
  }
  return path;
}

}  // namespace

DeviceWatcher::DeviceWatcher(QObject* parent) : DeviceWatcher(DefaultFolders(), parent) {}

DeviceWatcher::DeviceWatcher(const QStringList& folders, QObject* parent)
    : QObject(parent), folders_(folders) {
  UpdateWatches();
  devices_ = Devices();
  settle_.setSingleShot(true);
  settle_.setInterval(kSettleMs);
  connect(&settle_, &QTimer::timeout, this, &DeviceWatcher::Rescan);
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, this,
          &DeviceWatcher::OnDirectoryChanged);
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

void DeviceWatcher::OnDirectoryChanged() {
  // A watched parent may have gained the missing folder, or a watched folder gone away.
  UpdateWatches();
  settle_.start();
}

void DeviceWatcher::UpdateWatches() {
  QStringList wanted;
  for (const QString& folder : folders_) {
    const QString path = NearestExisting(folder);
    if (!path.isEmpty() && !wanted.contains(path)) {
      wanted << path;
    }
  }
  QStringList stale;
  for (const QString& path : watcher_.directories()) {
    if (!wanted.contains(path)) {
      stale << path;
    }
  }
  if (!stale.isEmpty()) {
    watcher_.removePaths(stale);
  }
  QStringList missing;
  const QStringList watched = watcher_.directories();
  for (const QString& path : wanted) {
    if (!watched.contains(path)) {
      missing << path;
    }
  }
  if (!missing.isEmpty()) {
    watcher_.addPaths(missing);
  }
}

void DeviceWatcher::Rescan() {
  // A folder may have appeared between its parent's change and its own watch.
  UpdateWatches();
  // Other files come and go in /dev too; only a change of the HID devices counts.
  QStringList devices = Devices();
  if (devices != devices_) {
    devices_ = std::move(devices);
    Q_EMIT changed();
  }
  Q_EMIT rescanned();
}

}  // namespace vireo
