// Tells when a HID device comes or goes: watches /dev for hidraw nodes and the folder named by
// HIDLINK_VIRTUAL_DIR for virtual device sockets, and reports a change of either list. A burst
// of changes is reported once it has settled, so a node is not opened while udev still sets
// its permissions, nor a socket before its server listens. A folder that does not exist yet is
// picked up when it appears: until then its nearest existing parent is watched.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QStringList>
#include <QTimer>

namespace vireo {

class DeviceWatcher : public QObject {
  Q_OBJECT

 public:
  // Watches DefaultFolders().
  explicit DeviceWatcher(QObject* parent = nullptr);
  DeviceWatcher(const QStringList& folders, QObject* parent = nullptr);

  // /dev, and the virtual device folder when HIDLINK_VIRTUAL_DIR names one.
  static QStringList DefaultFolders();
  // The device nodes and sockets now in the folders, in name order.
  QStringList Devices() const;
  // The paths watched now: each folder, or its nearest existing parent while it is missing.
  QStringList WatchedPaths() const { return watcher_.directories(); }

 Q_SIGNALS:
  // The device list changed; emitted before rescanned().
  void changed();
  // A settled burst of file changes has been looked at, whether or not the devices changed.
  void rescanned();

 private:
  void OnDirectoryChanged();
  void Rescan();
  // Watches each folder, or its nearest existing parent while it is missing.
  void UpdateWatches();

  static constexpr int kSettleMs = 250;

  QFileSystemWatcher watcher_;
  QTimer settle_;
  QStringList folders_;
  QStringList devices_;
};

}  // namespace vireo
