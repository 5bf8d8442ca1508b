// The emulator's answers, frame by frame, as the host sees them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "meter/product_constants.h"
#include "meter/readings_record.h"
#include "sim/meter_emulator.h"
#include "sim_test_util.h"

namespace vireo::sim {
namespace {

using test::Address;
using test::Options;
using test::Request;
using test::Sealed;

std::vector<Frame> Exchange(MeterEmulator& meter, const Frame& request) {
  std::vector<Frame> out;
  meter.HandleReport(request, out);
  return out;
}

std::vector<uint8_t> Data(const Frame& f) {
  return {f.begin() + 10, f.begin() + 10 + f[9]};
}

// Reads flash bytes through ReadFlash (code 10), one exchange.
std::vector<uint8_t> ReadFlash(MeterEmulator& meter, uint32_t address, uint8_t count) {
  const auto replies = Exchange(meter, Request(10, Address(address, {count})));
  EXPECT_EQ(replies.size(), 1u);
  if (replies.size() != 1)
    return {};
  EXPECT_TRUE(Sealed(replies[0]));
  EXPECT_EQ(replies[0][8], 10);
  return Data(replies[0]);
}

TEST(MeterEmulator, QueryUpgradeModeIsAcknowledgedOnlyInUpgradeMode) {
  for (const bool upgrade : {true, false}) {
    MeterEmulator meter(Options([&](auto& o) { o.upgradeMode = upgrade; }));
    const auto replies = Exchange(meter, Request(3));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_TRUE(Sealed(replies[0]));
    EXPECT_EQ(replies[0][8], upgrade ? 2 : 3);
  }
}

class Acknowledged : public testing::TestWithParam<uint8_t> {};
TEST_P(Acknowledged, CommandGetsCodeTwo) {
  MeterEmulator meter(Options([](auto& o) { o.upgradeMode = true; }));
  const auto replies = Exchange(meter, Request(GetParam()));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_TRUE(Sealed(replies[0]));
  EXPECT_EQ(replies[0][8], 2);
}
INSTANTIATE_TEST_SUITE_P(Commands, Acknowledged, testing::Values(4, 5, 22, 23));

TEST(MeterEmulator, UpgradeCompleteReturnsToNormalMode) {
  MeterEmulator meter(Options([](auto& o) { o.upgradeMode = true; }));
  Exchange(meter, Request(23));
  EXPECT_EQ(Exchange(meter, Request(3)).at(0)[8], 3);
}

TEST(MeterEmulator, IdentityBlockDescramblesToSerialAndVersionByteReads) {
  MeterEmulator meter(Options([](auto& o) {
    o.serial = "Q7X2Z9";
    o.versionByte = 0x21;
  }));
  const auto block = ReadFlash(meter, 0x080030DC, 36);
  ASSERT_EQ(block.size(), 36u);
  std::string serial;
  for (int i = 30; i < 36; ++i)
    serial += static_cast<char>(kIdentityTable[block[i]]);
  EXPECT_EQ(serial, "Q7X2Z9");
  EXPECT_EQ(ReadFlash(meter, 0x08003C00, 1), std::vector<uint8_t>{0x21});
  EXPECT_EQ(ReadFlash(meter, 0x0800FFFE, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(MeterEmulator, ReadFlashLongOf1024BytesComesAs26Frames) {
  MeterEmulator meter;
  const auto replies = Exchange(meter, Request(11, Address(0x08003400, {0x00, 0x04})));
  ASSERT_EQ(replies.size(), 26u);
  std::vector<uint8_t> joined;
  for (size_t k = 0; k < replies.size(); ++k) {
    EXPECT_TRUE(Sealed(replies[k]));
    EXPECT_EQ(replies[k][8], 11);
    EXPECT_EQ(replies[k][9], k < 25 ? 40 : 24);
    const auto data = Data(replies[k]);
    joined.insert(joined.end(), data.begin(), data.end());
  }
  const auto& flash = meter.flash();
  EXPECT_EQ(joined, std::vector<uint8_t>(flash.begin() + 0x400, flash.begin() + 0x800));
}

struct EraseCase {
  bool upgradeMode;
  uint32_t address;
  bool erases;
};
class ErasePage : public testing::TestWithParam<EraseCase> {};
TEST_P(ErasePage, ErasesTheWholeUnitOnlyInTheApplicationInUpgradeMode) {
  MeterEmulator meter(Options([this](auto& o) { o.upgradeMode = GetParam().upgradeMode; }));
  auto unitAt = [&](uint32_t address) {
    const auto first = meter.flash().begin() + ((address & ~0x3FFu) - 0x08003000);
    return std::vector<uint8_t>(first, first + 1024);
  };
  const auto before = unitAt(GetParam().address);
  const auto next = unitAt(GetParam().address + 1024);
  ASSERT_NE(before, std::vector<uint8_t>(1024, 0xFF));
  EXPECT_TRUE(Exchange(meter, Request(8, Address(GetParam().address))).empty());
  EXPECT_EQ(unitAt(GetParam().address),
            GetParam().erases ? std::vector<uint8_t>(1024, 0xFF) : before);
  EXPECT_EQ(unitAt(GetParam().address + 1024), next);
}
INSTANTIATE_TEST_SUITE_P(Cases, ErasePage,
                         testing::Values(EraseCase{true, 0x08003400, true},
                                         EraseCase{true, 0x08003C07, true},  // mid-unit
                                         EraseCase{false, 0x08003400, false},
                                         EraseCase{true, 0x08003000, false}));  // identity page

TEST(MeterEmulator, WrittenBytesReadBackAndUnerasedFlashOnlyLosesBits) {
  MeterEmulator meter(Options([](auto& o) { o.upgradeMode = true; }));
  Exchange(meter, Request(8, Address(0x08003800)));
  std::vector<uint8_t> data(40);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i * 7 + 1);
  std::vector<uint8_t> write = Address(0x08003810, {40});
  write.insert(write.end(), data.begin(), data.end());
  EXPECT_TRUE(Exchange(meter, Request(9, write)).empty());
  EXPECT_EQ(ReadFlash(meter, 0x08003810, 40), data);

  // A second write without an erase programs old AND new.
  std::vector<uint8_t> again = Address(0x08003810, {1, 0xF0});
  Exchange(meter, Request(9, again));
  EXPECT_EQ(ReadFlash(meter, 0x08003810, 1)[0], data[0] & 0xF0);
}

TEST(MeterEmulator, ShowTextFillsScreenLinesAndClearScreenEmptiesThem) {
  MeterEmulator meter(Options([](auto& o) { o.upgradeMode = true; }));
  auto showText = [&](uint16_t y, const std::string& text) {
    std::vector<uint8_t> p = {0, 0, static_cast<uint8_t>(y), static_cast<uint8_t>(y >> 8),
                              static_cast<uint8_t>(text.size())};
    p.insert(p.end(), text.begin(), text.end());
    p.resize(52, 0);
    return Exchange(meter, Request(21, p));
  };
  EXPECT_EQ(showText(0, "Start...").at(0)[8], 2);
  showText(24, "Install new app...");
  ASSERT_EQ(meter.screenLines().size(), 3u);
  EXPECT_EQ(meter.screenLines()[0], "Start...");
  EXPECT_EQ(meter.screenLines()[2], "Install new app...");
  Exchange(meter, Request(22));
  EXPECT_TRUE(meter.screenLines().empty());
}

TEST(MeterEmulator, RecordMemoryHoldsCountersSettingsAndRealisticRecords) {
  MeterEmulator meter(Options([](auto& o) {
    o.recordCount = 120;
    o.settingsByte = 2;
  }));
  auto read = [&](uint32_t address, uint8_t count) {
    const auto replies = Exchange(meter, Request(25, Address(address, {count})));
    EXPECT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies.at(0)[8], 25);
    return Data(replies.at(0));
  };
  EXPECT_EQ(read(68, 43).at(10), 2);
  EXPECT_EQ(read(2016, 8), (std::vector<uint8_t>{120, 0, 0, 0, 120, 0, 0, 0}));
  for (uint32_t i = 0; i < 120; i += 10) {
    const auto block = read(256 + 5 * i, 50);
    for (int r = 0; r < 10; ++r) {
      const uint8_t* rec = &block[5 * r];
      const double volts = (rec[0] | rec[1] << 8) * 0.001;
      const double amps = static_cast<int16_t>(rec[2] | rec[3] << 8) * 0.001;
      const int celsius = static_cast<int8_t>(rec[4]);
      EXPECT_NEAR(volts, 5.1, 0.3);
      EXPECT_GE(amps, 0.2);
      EXPECT_LE(amps, 2.0);
      EXPECT_NEAR(celsius, 30, 6);
    }
  }
}

TEST(MeterEmulator, StreamReadingsOwesTheLastCountWithRunningFrameNumbers) {
  MeterEmulator meter(Options([](auto& o) { o.probeCelsius = 41.5f; }));
  EXPECT_TRUE(Exchange(meter, Request(26, {5})).empty());
  std::vector<ReadingsRecord> readings;
  for (int i = 0; i < 2; ++i) {
    const auto frame = meter.NextLiveFrame();
    ASSERT_TRUE(frame.has_value());
    readings.push_back(ReadingsRecord::FromBytes(frame->data() + 10));
  }
  Exchange(meter, Request(26, {5}));  // set, not added
  EXPECT_EQ(meter.PendingLiveFrames(), 5u);
  while (const auto frame = meter.NextLiveFrame()) {
    EXPECT_TRUE(Sealed(*frame));
    EXPECT_EQ((*frame)[8], 26);
    EXPECT_EQ((*frame)[9], 44);
    readings.push_back(ReadingsRecord::FromBytes(frame->data() + 10));
  }
  ASSERT_EQ(readings.size(), 7u);
  for (size_t i = 0; i < readings.size(); ++i) {
    const ReadingsRecord& r = readings[i];
    EXPECT_EQ(r.spare1, static_cast<float>(i));
    EXPECT_NEAR(r.voltage, 5.1, 0.2);
    EXPECT_GE(r.current, 0.2f);
    EXPECT_LE(r.current, 2.0f);
    EXPECT_NEAR(r.power, r.voltage * r.current, 1e-3);
    EXPECT_NEAR(r.dPlus, 0.6, 0.05);
    EXPECT_NEAR(r.dMinus, 0.6, 0.05);
    EXPECT_NEAR(r.tempInternal, 30, 3);
    EXPECT_NEAR(r.tempExternal, 41.5, 0.5);
    EXPECT_NEAR(r.voltageFast, r.voltage, 0.01);
    EXPECT_NEAR(r.currentFast, r.current, 0.01);
  }
  EXPECT_NE(readings.front().voltage, readings.back().voltage);
  EXPECT_EQ(MeterEmulator().NextLiveFrame(), std::nullopt);
}

TEST(MeterEmulator, WithoutProbeTheExternalTemperatureReadsNoProbe) {
  MeterEmulator meter;
  Exchange(meter, Request(26, {1}));
  EXPECT_LT(ReadingsRecord::FromBytes(meter.NextLiveFrame()->data() + 10).tempExternal, -50);
}

TEST(MeterEmulator, BadChecksumFaultCorruptsEveryNthFrameSent) {
  MeterEmulator meter;
  meter.faults().badChecksumEvery = 3;
  Exchange(meter, Request(26, {3}));
  std::vector<Frame> sent;
  for (int i = 0; i < 3; ++i)
    sent.push_back(Exchange(meter, Request(10, Address(0x08003C00, {1}))).at(0));
  for (int i = 0; i < 3; ++i)
    sent.push_back(*meter.NextLiveFrame());
  for (size_t i = 0; i < sent.size(); ++i)
    EXPECT_EQ(Sealed(sent[i]), (i + 1) % 3 != 0) << i;
}

TEST(MeterEmulator, WrongReplyCodeFaultBreaksAcksAndDataButNeverFakesAnAck) {
  MeterEmulator meter;
  meter.faults().wrongReplyCode = true;
  EXPECT_NE(Exchange(meter, Request(5)).at(0)[8], 2);
  EXPECT_NE(Exchange(meter, Request(10, Address(0x08003C00, {1}))).at(0)[8], 10);
  EXPECT_NE(Exchange(meter, Request(3)).at(0)[8], 2);  // normal mode
}

TEST(MeterEmulator, SilentMeterAnswersNothingAndForgetsOwedFrames) {
  MeterEmulator meter;
  Exchange(meter, Request(26, {10}));
  meter.faults().silent = true;
  EXPECT_TRUE(Exchange(meter, Request(3)).empty());
  EXPECT_EQ(meter.NextLiveFrame(), std::nullopt);
  meter.faults().silent = false;
  EXPECT_EQ(meter.NextLiveFrame(), std::nullopt);
}

// Corrupt frames and requests whose fields do not fit are ignored without a reply.
class Ignored : public testing::TestWithParam<std::function<Frame()>> {};
TEST_P(Ignored, RequestGetsNoReply) {
  MeterEmulator meter(Options([](auto& o) { o.upgradeMode = true; }));
  const auto before = meter.flash();
  EXPECT_TRUE(Exchange(meter, GetParam()()).empty());
  EXPECT_EQ(meter.flash(), before);
}
Frame Flipped(int byte) {
  Frame f = Request(10, Address(0x08003C00, {1}));
  f[byte] ^= 0x01;
  return f;
}
INSTANTIATE_TEST_SUITE_P(
    Requests, Ignored,
    testing::Values([] { return Flipped(0); }, [] { return Flipped(1); },
                    [] { return Flipped(62); }, [] { return Flipped(63); },
                    [] { return Flipped(20); },                             // payload byte
                    [] { return Request(10, Address(0x08003C00, {53})); },  // count too big
                    [] {
                      return Request(8, {0x00, 0x34});
                    },                                                     // short address
                    [] { return Request(9, Address(0x08003400, {41})); },  // count > 40
                    [] {
                      return Request(9, Address(0x08003400, {10, 1, 2}));
                    },                             // data missing
                    [] { return Request(99); }));  // unknown

TEST(MeterEmulator, ByDefaultTheRecordMemoryHoldsADayOfRecords) {
  MeterEmulator meter;
  const auto& memory = meter.recordMemory();
  EXPECT_EQ(memory[78], 24);  // RecordHours
  EXPECT_EQ(std::vector<uint8_t>(memory.begin() + 2016, memory.begin() + 2024),
            (std::vector<uint8_t>{0x60, 1, 0, 0, 0x60, 1, 0, 0}));  // 352 and 352
  int charging = 0;
  for (int i = 0; i < 352; ++i) {
    const uint8_t* rec = &memory[256 + 5 * i];
    const int milliamps = static_cast<int16_t>(rec[2] | rec[3] << 8);
    EXPECT_NEAR((rec[0] | rec[1] << 8) * 0.001, 5.1, 0.2) << i;
    EXPECT_NEAR(static_cast<int8_t>(rec[4]), 30, 6) << i;
    charging += milliamps > 1000;
  }
  // Hours of charging among hours of a standing load.
  EXPECT_GT(charging, 20);
  EXPECT_LT(charging, 200);
}

TEST(MeterEmulator, CountersCanDifferFromTheStoredRecords) {
  MeterEmulator meter(Options([](auto& o) {
    o.recordCount = 5;
    o.counterA = 400;
    o.counterB = 0x01020304;
  }));
  const auto& memory = meter.recordMemory();
  EXPECT_EQ(std::vector<uint8_t>(memory.begin() + 2016, memory.begin() + 2024),
            (std::vector<uint8_t>{0x90, 1, 0, 0, 4, 3, 2, 1}));
  // Past the stored records the memory reads erased.
  EXPECT_EQ(memory[256 + 25], 0xFF);
}

}  // namespace
}  // namespace vireo::sim
