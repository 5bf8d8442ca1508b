#include "meter/firmware_version.h"

#include <gtest/gtest.h>

namespace vireo {
namespace {

TEST(FirmwareVersionText, HighNibbleDotLowNibble) {
  EXPECT_EQ(FirmwareVersionText(0x15), "1.5");
  EXPECT_EQ(FirmwareVersionText(0x00), "0.0");
  EXPECT_EQ(FirmwareVersionText(0x1A), "1.10");
  EXPECT_EQ(FirmwareVersionText(0xA0), "10.0");
  EXPECT_EQ(FirmwareVersionText(0xFF), "15.15");
}

}  // namespace
}  // namespace vireo
