// The hidraw backend's pure steps: the shape of an input report as read(2) gives it, and the
// exclusive lock that keeps a second opener out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <vector>

#include "hidlink/backend.h"
#include "tests/hidlink/fake_device.h"

namespace vireo::hidlink::testing {
namespace {

struct Shape {
  const char* name;
  size_t received;             // bytes that read(2) returned into a 65-byte buffer
  std::optional<Bytes> after;  // the report (ID byte first), or none if it is refused
};

void PrintTo(const Shape& shape, std::ostream* os) {
  *os << shape.name;
}

// The buffer after read(2) put `received` bytes 0x10, 0x11, ... at its start.
Bytes ReadInto(size_t received) {
  Bytes buffer(65, 0xEE);
  std::iota(buffer.begin(), buffer.begin() + std::min<size_t>(received, buffer.size()), 0x10);
  return buffer;
}

Bytes Report(uint8_t id, uint8_t first) {
  Bytes report(65);
  report[0] = id;
  std::iota(report.begin() + 1, report.end(), first);
  return report;
}

class HidrawInputShape : public ::testing::TestWithParam<Shape> {};

TEST_P(HidrawInputShape, NumberedReportsStayAndUnnumberedOnesGetIdZero) {
  Bytes buffer = ReadInto(GetParam().received);
  const bool taken = ShapeHidrawInput(buffer, GetParam().received);
  ASSERT_EQ(taken, GetParam().after.has_value());
  if (taken) {
    EXPECT_EQ(buffer, *GetParam().after);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, HidrawInputShape,
    ::testing::Values(
        // A device with numbered reports: its first byte (0x10) is the report ID.
        Shape{"IdAndData", 65, Report(0x10, 0x11)},
        // A device without: 64 data bytes move up behind an ID byte of 0.
        Shape{"DataAlone", 64, Report(0x00, 0x10)}, Shape{"Short", 63, std::nullopt},
        Shape{"OneByte", 1, std::nullopt}, Shape{"Nothing", 0, std::nullopt},
        Shape{"Longer", 66, std::nullopt}),
    [](const ::testing::TestParamInfo<Shape>& p) { return std::string(p.param.name); });

TEST(HidrawInputShapeTest, AOneByteReportWithoutIdIsItsDataByte) {
  Bytes buffer = {0x42, 0xEE};
  EXPECT_TRUE(ShapeHidrawInput(buffer, 1));
  EXPECT_EQ(buffer, (Bytes{0x00, 0x42}));
}

// Two opens of one file are two holders, as two programs opening the meter would be.
TEST(ExclusiveLockTest, KeepsASecondHolderOutUntilTheFirstLetsGo) {
  TempDir dir;
  const std::string path = dir / "node";
  UniqueFd create(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(create);
  UniqueFd first(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  UniqueFd second(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(first && second);

  EXPECT_TRUE(LockExclusively(first.Get()));
  EXPECT_FALSE(LockExclusively(second.Get()));
  // Neither does a reader that asks to share get in.
  EXPECT_NE(::flock(second.Get(), LOCK_SH | LOCK_NB), 0);
  first.Reset();
  EXPECT_TRUE(LockExclusively(second.Get()));
}

}  // namespace
}  // namespace vireo::hidlink::testing
