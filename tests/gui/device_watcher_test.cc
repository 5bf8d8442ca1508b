// The device watcher: a change of the HID device list is reported, other files are not, and a
// device folder that appears, goes and comes back is followed.
#include "gui/device_watcher.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace vireo {
namespace {

constexpr int kDeadlineMs = 5000;

void Touch(const QString& path) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
}

TEST(DeviceWatcher, ReportsDevicesComingAndGoingButNotOtherFiles) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  Touch(folder.filePath("hidraw3"));
  DeviceWatcher watcher(QStringList{folder.path()});
  EXPECT_EQ(watcher.Devices(), QStringList{folder.filePath("hidraw3")});
  QSignalSpy changes(&watcher, &DeviceWatcher::changed);
  QSignalSpy rescans(&watcher, &DeviceWatcher::rescanned);

  Touch(folder.filePath("tty5"));
  ASSERT_TRUE(rescans.wait(kDeadlineMs));
  EXPECT_EQ(changes.count(), 0);

  Touch(folder.filePath("hid-0716-5027-0100-meter.sock"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return changes.count() == 1; }, kDeadlineMs));

  ASSERT_TRUE(QFile::remove(folder.filePath("hidraw3")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return changes.count() == 2; }, kDeadlineMs));
  EXPECT_EQ(watcher.Devices(), QStringList{folder.filePath("hid-0716-5027-0100-meter.sock")});
}

TEST(DeviceWatcher, AFolderThatIsMissingAtStartIsWatchedOnceItAppears) {
  QTemporaryDir base;
  ASSERT_TRUE(base.isValid());
  const QString folder = base.filePath("later/virtual");
  const QString socket = folder + "/hid-0716-5027-0100-meter.sock";
  DeviceWatcher watcher(QStringList{folder});
  EXPECT_EQ(watcher.WatchedPaths(), QStringList{base.path()});
  QSignalSpy changes(&watcher, &DeviceWatcher::changed);

  ASSERT_TRUE(QDir().mkpath(folder));
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return watcher.WatchedPaths() == QStringList{folder}; }, kDeadlineMs));
  Touch(socket);
  ASSERT_TRUE(QTest::qWaitFor([&] { return changes.count() == 1; }, kDeadlineMs));
  EXPECT_EQ(watcher.Devices(), QStringList{socket});

  // Gone again: its devices with it, and the parent is watched until it comes back.
  ASSERT_TRUE(QDir(base.filePath("later")).removeRecursively());
  ASSERT_TRUE(QTest::qWaitFor([&] { return changes.count() == 2; }, kDeadlineMs));
  EXPECT_TRUE(watcher.Devices().isEmpty());
  EXPECT_EQ(watcher.WatchedPaths(), QStringList{base.path()});
  ASSERT_TRUE(QDir().mkpath(folder));
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return watcher.WatchedPaths() == QStringList{folder}; }, kDeadlineMs));
  Touch(socket);
  ASSERT_TRUE(QTest::qWaitFor([&] { return changes.count() == 3; }, kDeadlineMs));
}

TEST(DeviceWatcher, WatchesTheVirtualFolderNamedByTheEnvironment) {
  qputenv("HIDLINK_VIRTUAL_DIR", "/tmp/some-virtual-folder");
  EXPECT_EQ(DeviceWatcher::DefaultFolders(), (QStringList{"/dev", "/tmp/some-virtual-folder"}));
  qunsetenv("HIDLINK_VIRTUAL_DIR");
  EXPECT_EQ(DeviceWatcher::DefaultFolders(), QStringList{"/dev"});
}

}  // namespace
}  // namespace vireo
