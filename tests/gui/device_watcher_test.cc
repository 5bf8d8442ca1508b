// The device watcher: a change of the HID device list is reported, other files are not.
#include "app/gui/device_watcher.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace vireo {
namespace {

void Touch(const QString& path) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

TEST(DeviceWatcher, ReportsDevicesComingAndGoingButNotOtherFiles) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  Touch(folder.filePath("hidraw3"));
  DeviceWatcher watcher(QStringList{folder.path()});
  EXPECT_EQ(watcher.Devices(), QStringList{folder.filePath("hidraw3")});
  QSignalSpy changes(&watcher, &DeviceWatcher::changed);

  Touch(folder.filePath("tty5"));
  QTest::qWait(600);
  EXPECT_EQ(changes.count(), 0);

  Touch(folder.filePath("hid-0716-5027-0100-meter.sock"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return changes.count() == 1; }, 3000));

  ASSERT_TRUE(QFile::remove(folder.filePath("hidraw3")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return changes.count() == 2; }, 3000));
  EXPECT_EQ(watcher.Devices(), QStringList{folder.filePath("hid-0716-5027-0100-meter.sock")});
}

TEST(DeviceWatcher, WatchesTheVirtualFolderNamedByTheEnvironment) {
  qputenv("HIDLINK_VIRTUAL_DIR", "/tmp/some-virtual-folder");
  EXPECT_EQ(DeviceWatcher::DefaultFolders(), (QStringList{"/dev", "/tmp/some-virtual-folder"}));
  qunsetenv("HIDLINK_VIRTUAL_DIR");
  EXPECT_EQ(DeviceWatcher::DefaultFolders(), QStringList{"/dev"});
}

}  // namespace
}  // namespace vireo
