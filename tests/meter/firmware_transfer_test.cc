// The firmware transfer against the emulated meter in upgrade mode: the requests on the wire,
// the block loops and their progress, the logo patch, and the failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "meter/meter_link.h"
#include "sim/test_image.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using sim::MeterEmulator;
using testing::VirtualMeterTest;

constexpr uint32_t kApp = 0x08003400;

class FirmwareTransferTest : public VirtualMeterTest {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    sim::EmulatorOptions options;
    options.upgradeMode = true;
    meter_ = &PlugMeter(options);
    link_.Configure();
    ASSERT_TRUE(link_.Open());
    meter_->WithEmulator([](MeterEmulator& m) { m.ClearHistory(); });
  }
  void TearDown() override {
    link_.Close();
    VirtualMeterTest::TearDown();
  }

  std::string WriteImage(const sim::TestImageOptions& options, const std::string& name = "fw.lrm") {
    const std::string path = (folder_ / name).string();
    EXPECT_TRUE(sim::WriteTestImage(path, options));
    return path;
  }

  std::vector<MeterEmulator::Command> History() {
    std::vector<MeterEmulator::Command> history;
    meter_->WithEmulator([&](MeterEmulator& m) { history = m.history(); });
    return history;
  }
  std::vector<uint8_t> Application(uint32_t length) {
    std::vector<uint8_t> bytes;
    meter_->WithEmulator([&](MeterEmulator& m) {
      const auto start = m.flash().begin() + (kApp - 0x08003000);
      bytes.assign(start, start + length);
    });
    return bytes;
  }

  ProgressCallback Record() {
    progress_.clear();
    return [this](int p) { progress_.push_back(p); };
  }

  static std::vector<int> Steps(int step) {
    std::vector<int> steps = {0};
    for (int p = step; p <= 100; p += step)
      steps.push_back(p);
    steps.push_back(100);
    return steps;
  }

  MeterLink link_;
  sim::VirtualMeter* meter_ = nullptr;
  std::vector<int> progress_;
};

TEST_F(FirmwareTransferTest, EraseSendsFiftyPagesInsideTheBracket) {
  ASSERT_TRUE(link_.EraseApplication(Record()));
  EXPECT_EQ(progress_, Steps(2));
  const auto history = History();
  ASSERT_EQ(history.size(), 52u);
  EXPECT_EQ(history.front().code, 5);
  EXPECT_EQ(history.back().code, 4);
  for (uint32_t i = 0; i < 50; ++i) {
    EXPECT_EQ(history[1 + i], (MeterEmulator::Command{8, kApp + 1024 * i})) << i;
  }
  EXPECT_EQ(history[50].argument, 0x0800F800u);
  EXPECT_EQ(Application(51200), std::vector<uint8_t>(51200, 0xFF));
}

TEST_F(FirmwareTransferTest, EraseWithoutTheMeterConsentingFailsAndErasesNothing) {
  meter_->faults().wrongReplyCode = true;
  const auto before = Application(51200);
  EXPECT_FALSE(link_.EraseApplication(Record()));
  EXPECT_EQ(progress_, (std::vector<int>{0}));
  EXPECT_EQ(link_.lastFault(), MeterFault::kBadReply);
  EXPECT_EQ(Application(51200), before);
  const auto history = History();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].code, 5);
  EXPECT_EQ(history[1].code, 4);
}

TEST_F(FirmwareTransferTest, WriteGoesOutIn1024ByteBlocksOf40ByteFrames) {
  sim::TestImageOptions options;
  options.payloadLength = 25600;  // a file of 25648 bytes
  const std::string path = WriteImage(options);
  ASSERT_TRUE(link_.EraseApplication({}));
  meter_->WithEmulator([](MeterEmulator& m) { m.ClearHistory(); });

  ASSERT_TRUE(link_.WriteApplication(path, nullptr, Record()));
  EXPECT_EQ(progress_, Steps(4));
  const auto history = History();
  ASSERT_EQ(history.size(), 2u + 25 * 26);
  EXPECT_EQ(history.front().code, 5);
  EXPECT_EQ(history.back().code, 4);
  for (uint32_t block = 0; block < 25; ++block) {
    for (uint32_t frame = 0; frame < 26; ++frame) {
      const auto& c = history[1 + block * 26 + frame];
      ASSERT_EQ(c, (MeterEmulator::Command{9, kApp + block * 1024 + frame * 40}));
    }
  }
  const auto plain = sim::MakePlainImage(options);
  EXPECT_EQ(Application(25600), std::vector<uint8_t>(plain.begin() + 48, plain.end()));
  EXPECT_TRUE(link_.VerifyApplication(path, nullptr, Record()));
  EXPECT_EQ(progress_, Steps(4));
}

TEST_F(FirmwareTransferTest, AShortLastBlockEndsTheProgressAt100) {
  sim::TestImageOptions options;
  options.payloadLength = 1500;
  const std::string path = WriteImage(options);
  ASSERT_TRUE(link_.EraseApplication({}));
  ASSERT_TRUE(link_.WriteApplication(path, nullptr, Record()));
  EXPECT_EQ(progress_, (std::vector<int>{0, 68, 100, 100}));
  EXPECT_TRUE(link_.VerifyApplication(path, nullptr, Record()));
}

TEST_F(FirmwareTransferTest, TheLogoIsWrittenWithItsSumAndVerifies) {
  const std::string path = WriteImage({});
  LogoPatchBytes logo;
  for (size_t i = 0; i < logo.size(); ++i)
    logo[i] = static_cast<uint8_t>(i * 13);
  ASSERT_TRUE(link_.EraseApplication({}));
  ASSERT_TRUE(link_.WriteApplication(path, &logo, {}));
  const auto flashed = Application(51200);
  EXPECT_TRUE(std::equal(logo.begin(), logo.end(), flashed.begin() + 5120));
  uint32_t sum = 0;
  for (size_t i = 0; i + 4 < flashed.size(); ++i)
    sum += flashed[i];
  EXPECT_EQ(GetU32(flashed.data() + flashed.size() - 4), sum);
  EXPECT_TRUE(link_.VerifyApplication(path, &logo, {}));
  // Against the unpatched image the flash differs.
  EXPECT_FALSE(link_.VerifyApplication(path, nullptr, {}));
}

TEST_F(FirmwareTransferTest, AnImageWithoutALogoAreaIsWrittenUnchanged) {
  sim::TestImageOptions options;
  options.logoArea = false;
  const std::string path = WriteImage(options);
  LogoPatchBytes logo;
  logo.fill(0x33);
  ASSERT_TRUE(link_.EraseApplication({}));
  ASSERT_TRUE(link_.WriteApplication(path, &logo, {}));
  const auto plain = sim::MakePlainImage(options);
  EXPECT_EQ(Application(51200), std::vector<uint8_t>(plain.begin() + 48, plain.end()));
}

TEST_F(FirmwareTransferTest, VerifyFindsAByteThatDiffers) {
  const std::string path = WriteImage({});
  ASSERT_TRUE(link_.EraseApplication({}));
  ASSERT_TRUE(link_.WriteApplication(path, nullptr, {}));
  meter_->WithEmulator([](MeterEmulator& m) { m.flash()[0x400 + 30000] ^= 0x01; });
  meter_->WithEmulator([](MeterEmulator& m) { m.ClearHistory(); });
  EXPECT_FALSE(link_.VerifyApplication(path, nullptr, Record()));
  // Blocks 0..29 verified, block 29 (bytes 29696..30719) differs; no bracket commands.
  EXPECT_EQ(progress_.size(), 1u + 29);
  EXPECT_EQ(progress_.back(), 58);
  EXPECT_EQ(link_.lastFault(), MeterFault::kMismatch);
  const auto history = History();
  ASSERT_EQ(history.size(), 30u);
  EXPECT_EQ(history.back(), (MeterEmulator::Command{11, kApp + 29 * 1024}));
}

TEST_F(FirmwareTransferTest, WriteAndVerifyRefuseAFileThatIsMissingOrNoLongerValid) {
  const std::string missing = (folder_ / "missing.lrm").string();
  EXPECT_FALSE(link_.WriteApplication(missing, nullptr, Record()));
  EXPECT_EQ(progress_, (std::vector<int>{0}));
  EXPECT_EQ(link_.lastFault(), MeterFault::kImageChanged);
  EXPECT_FALSE(link_.VerifyApplication(missing, nullptr, {}));

  const std::string path = WriteImage({});
  {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekg(1000);
    const char stored = static_cast<char>(file.get());
    file.seekp(1000);
    file.put(static_cast<char>(stored ^ 0x01));  // changed after it was checked
  }
  EXPECT_FALSE(link_.WriteApplication(path, nullptr, {}));
  // The meter handles requests in order: once it has answered this one, it has seen every
  // request sent before it, and there were none.
  ASSERT_TRUE(link_.QueryUpgradeMode());
  const auto history = History();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].code, 3);
}

TEST_F(FirmwareTransferTest, WriteWithoutTheMeterConsentingFails) {
  const std::string path = WriteImage({});
  meter_->faults().wrongReplyCode = true;
  EXPECT_FALSE(link_.WriteApplication(path, nullptr, Record()));
  EXPECT_EQ(progress_, (std::vector<int>{0}));
  const auto history = History();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].code, 5);
  EXPECT_EQ(history[1].code, 4);
}

TEST_F(FirmwareTransferTest, AMeterUnpluggedDuringTheWriteFailsIt) {
  const std::string path = WriteImage({});
  ASSERT_TRUE(link_.EraseApplication({}));
  meter_->faults().unplugAfterReports = 200;
  EXPECT_FALSE(link_.WriteApplication(path, nullptr, Record()));
  EXPECT_EQ(link_.lastFault(), MeterFault::kUnplugged);
  // Requests that wait for nothing may run some blocks ahead of the meter, never to the end.
  EXPECT_LT(progress_.back(), 100);
}

}  // namespace
}  // namespace vireo
