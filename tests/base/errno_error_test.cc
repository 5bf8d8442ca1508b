// The error numbers that code branches on get their kind, and every one a sentence that names
// the path.
#include "base/errno_error.h"

#include <gtest/gtest.h>

namespace vireo {
namespace {

TEST(ErrorFromErrno, GivesTheKindAndASentenceWithThePath) {
  const std::string path = "/dev/hidraw3";
  EXPECT_EQ(ErrorFromErrno(EACCES, path),
            (Error{ErrorKind::kPermission, "permission denied on /dev/hidraw3"}));
  EXPECT_EQ(ErrorFromErrno(ENOSPC, "/data/a.db"),
            (Error{ErrorKind::kNoSpace, "no room left on the disk of /data/a.db"}));
  EXPECT_EQ(ErrorFromErrno(ENODEV, path).kind, ErrorKind::kUnplugged);
  EXPECT_EQ(ErrorFromErrno(EWOULDBLOCK, path).kind, ErrorKind::kBusy);
  EXPECT_EQ(ErrorFromErrno(ENOENT, path).kind, ErrorKind::kNoDevice);
  EXPECT_EQ(ErrorFromErrno(ETIMEDOUT, path).kind, ErrorKind::kTimeout);
}

TEST(ErrorFromErrno, AnyOtherNumberGetsTheSystemsTextInLowerCase) {
  EXPECT_EQ(ErrorFromErrno(EIO, "/dev/hidraw3"),
            (Error{ErrorKind::kIo, "input/output error on /dev/hidraw3"}));
  EXPECT_EQ(ErrnoSentence(9999, "f"), "error 9999 on f");
  EXPECT_EQ(ErrnoSentence(ENODEV, ""), "the device was unplugged");
}

}  // namespace
}  // namespace vireo
