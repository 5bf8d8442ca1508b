// The firmware page inside the main window on the offscreen platform: its layout and hidden
// logo controls, DFUSTART's checks in their order, the tolerance prompt, and an upgrade that
// carries a logo into the emulated meter.
#include "pages/firmware/firmware_page.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "gui/device_watcher.h"
#include "gui/main_window.h"
#include "meter/firmware_version.h"
#include "pages/dialog_units.h"
#include "pages/readings/page_tab_ctrl.h"
#include "sim/test_image.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using testing::VirtualMeterTest;

// A 24-bit 128 × 128 bitmap, bottom-up, whose pixel i (from the top left) is colour(i).
void WriteBmp(const fs::path& path, const std::function<uint32_t(int)>& colour, int bits = 24) {
  const int bytes = bits / 8;
  std::vector<uint8_t> file(54 + 128 * 128 * bytes, 0);
  auto put = [&file](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i)
      file[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  file[0] = 'B';
  file[1] = 'M';
  put(2, static_cast<uint32_t>(file.size()), 4);
  put(10, 54, 4);
  put(14, 40, 4);
  put(18, 128, 4);
  put(22, 128, 4);
  put(26, 1, 2);
  put(28, static_cast<uint32_t>(bits), 2);
  for (int i = 0; i < 128 * 128; ++i) {
    const int row = 127 - i / 128;  // stored from the bottom row up
    put(54 + (row * 128 + i % 128) * bytes, colour(i), 3);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
}

constexpr uint32_t kRed = 0xFF0000;  // as 0xRRGGBB, stored blue first

class FirmwarePageTest : public VirtualMeterTest {
 protected:
  void TearDown() override {
    window_.reset();
    VirtualMeterTest::TearDown();
  }

  MainWindow& Open() {
    window_ = std::make_unique<MainWindow>(state_);
    window_->SetMessageBoxesShown(false);
    QObject::connect(window_.get(), &MainWindow::beeped,
                     [this](bool success) { beeps_.push_back(success); });
    QObject::connect(window_.get(), &MainWindow::messageShown,
                     [this](const QString& text) { messages_ << text; });
    window_->Initialize();
    window_->show();
    // Meters plugged by the test are not identified behind its back.
    window_->deviceWatcher()->blockSignals(true);
    window_->reporter().ClearLog();
    messages_.clear();
    beeps_.clear();
    page_ = &window_->firmwarePage();
    page_->SetFileChooser([this](FirmwarePage::FileKind kind) {
      return kind == FirmwarePage::FileKind::kFirmware ? firmwareChoice_ : bitmapChoice_;
    });
    // The requests DFUSTART hands to the window, which goes on with them as before.
    page_->SetUpgradeStarter(
        [this, start = page_->upgradeStarter()](const UpgradeRequest& request) {
          requests_.push_back(request);
          start(request);
        });
    return *window_;
  }

  QString Text(TextId id) const { return QString::fromStdString(state_.texts[id]); }
  QString Log() const { return window_->log().toPlainText(); }
  QString Path(const std::string& name) const {
    return QString::fromStdString((folder_ / name).string());
  }
  void Version(uint8_t version) { state_.deviceInfo.Store(DeviceInfo{{}, version, true}); }
  // Presses DFUSTART and returns what it handed over.
  UpgradeRequest Start() {
    messages_.clear();
    requests_.clear();
    page_->startButton().click();
    EXPECT_EQ(requests_.size(), 1u);
    return requests_.empty() ? UpgradeRequest{} : requests_.back();
  }
  static bool Until(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 20000);
  }

  AppState state_;
  std::unique_ptr<MainWindow> window_;
  FirmwarePage* page_ = nullptr;
  std::vector<bool> beeps_;
  QStringList messages_;
  std::vector<UpgradeRequest> requests_;
  QString firmwareChoice_;
  QString bitmapChoice_;
};

TEST_F(FirmwarePageTest, TheLayoutShowsPathAndButtonsAndCreatesTheLogoControlsHidden) {
  Open();
  window_->tabs().tabBar().setCurrentIndex(2);
  FirmwarePage& page = *page_;
  ASSERT_TRUE(page.isVisible());
  const DialogUnits& units = window_->dialogUnits();
  EXPECT_EQ(page.firmwarePathEdit().geometry(), units.Rect(7, 154, 270, 14));
  EXPECT_EQ(page.firmwareButton().geometry(), units.Rect(282, 154, 41, 14));
  EXPECT_EQ(page.startButton().geometry(), units.Rect(128, 35, 79, 71));
  EXPECT_EQ(page.toleranceEdit().geometry(), units.Rect(151, 10, 24, 12));
  EXPECT_EQ(page.notice().geometry(), units.Rect(59, 28, 95, 8));
  for (QWidget* shown : std::initializer_list<QWidget*>{
           &page.firmwarePathEdit(), &page.firmwareButton(), &page.startButton()}) {
    EXPECT_TRUE(shown->isVisible());
  }
  for (QWidget* hidden : std::initializer_list<QWidget*>{
           &page.logoBox(), &page.toleranceLabel(), &page.toleranceEdit(), &page.bitmapPathEdit(),
           &page.bitmapButton(), &page.sizeEdit(), &page.sizeLabel(), &page.notice()}) {
    EXPECT_TRUE(hidden->isHidden());
  }
  EXPECT_FALSE(page.beforePicture().isHidden());
  EXPECT_FALSE(page.afterPicture().isHidden());

  EXPECT_EQ(page.firmwareButton().text(), Text(TXT_OPEN));
  EXPECT_EQ(page.startButton().text(), Text(TXT_UPGRADE_START));
  EXPECT_EQ(page.logoBox().text(), Text(TXT_LOGO));
  EXPECT_EQ(page.toleranceLabel().text(), Text(TXT_COLOR_TOLERANCE) + ":");
  EXPECT_EQ(page.bitmapButton().text(), Text(TXT_OPEN) + "bmp");
  EXPECT_EQ(page.sizeLabel().text(), Text(TXT_SIZE) + ":");
  EXPECT_EQ(page.notice().text(), "Notice");
  EXPECT_EQ(page.toleranceEdit().text(), "100");
  EXPECT_EQ(page.sizeEdit().text(), "0");

  // The logo inputs follow the check box, hidden or not.
  EXPECT_FALSE(page.toleranceEdit().isEnabled());
  EXPECT_FALSE(page.bitmapButton().isEnabled());
  page.logoBox().click();
  EXPECT_TRUE(page.toleranceEdit().isEnabled());
  EXPECT_TRUE(page.bitmapButton().isEnabled());
  page.logoBox().click();
  EXPECT_FALSE(page.bitmapButton().isEnabled());
}

TEST_F(FirmwarePageTest, TheContextMenuShowsAndHidesTheLogoControls) {
  Open();
  window_->tabs().tabBar().setCurrentIndex(2);
  FirmwarePage& page = *page_;
  QAction& show = page.showLogoControlsAction();
  EXPECT_EQ(page.contextMenuPolicy(), Qt::ActionsContextMenu);
  EXPECT_TRUE(page.actions().contains(&show));
  EXPECT_EQ(show.text(), "Show logo controls");
  const std::initializer_list<QWidget*> logo = {
      &page.logoBox(),      &page.toleranceLabel(), &page.toleranceEdit(), &page.bitmapPathEdit(),
      &page.bitmapButton(), &page.sizeEdit(),       &page.sizeLabel(),     &page.notice()};
  show.trigger();
  for (QWidget* control : logo) {
    EXPECT_TRUE(control->isVisible());
  }
  EXPECT_TRUE(page.firmwarePathEdit().isVisible());
  show.trigger();
  for (QWidget* control : logo) {
    EXPECT_TRUE(control->isHidden());
  }
  EXPECT_TRUE(page.startButton().isVisible());
}

TEST_F(FirmwarePageTest, DfuStartChecksInTheirOrderAndReportsOnlyTheFirstFailure) {
  Open();
  EXPECT_EQ(Start().firmwarePath, "");
  EXPECT_EQ(messages_, QStringList{Text(TXT_ERR_NO_FIRMWARE_FILE)});

  // The chosen file; every later check fails too from here on, so the order shows.
  firmwareChoice_ = Path("fw.lrm");
  ASSERT_TRUE(sim::WriteTestImage(firmwareChoice_.toStdString()));
  page_->firmwareButton().click();
  EXPECT_EQ(page_->firmwarePathEdit().text(), firmwareChoice_);
  page_->logoBox().click();
  bitmapChoice_ = Path("red.bmp");
  WriteBmp(bitmapChoice_.toStdString(), [](int) { return kRed; });
  page_->bitmapButton().click();
  page_->sizeEdit().setText("4097");
  Version(0x10);
  state_.LiveRunning = 1;
  EXPECT_EQ(Start().firmwarePath, firmwareChoice_.toStdString());
  EXPECT_EQ(messages_, QStringList{Text(TXT_BUSY)});
  state_.LiveRunning = 0;

  Start();
  EXPECT_EQ(messages_, QStringList{Text(TXT_ERR_NO_DEVICE)});

  PlugMeter();
  Start();
  EXPECT_EQ(messages_, QStringList{Text(TXT_ERR_UNSUPPORTED_DEVICE)});

  Version(0x15);
  window_->reporter().ClearLog();
  beeps_.clear();
  const UpgradeRequest tooBigRequest = Start();
  EXPECT_TRUE(tooBigRequest.logo.has_value());
  EXPECT_EQ(tooBigRequest.logoSize, 4097u);
  const QString tooBig = "bmp" + Text(TXT_NOTICE_TOO_BIG) + " >4096";
  EXPECT_EQ(messages_, QStringList{tooBig});
  EXPECT_EQ(Log(), tooBig + "\n");
  EXPECT_EQ(beeps_, std::vector<bool>{false});
  EXPECT_EQ(page_->sizeEdit().text(), "4097");

  // Exactly 4096 bytes go along; the meter in normal mode then stops the sequence itself.
  page_->sizeEdit().setText("4096");
  const UpgradeRequest fits = Start();
  EXPECT_TRUE(messages_.isEmpty());
  ASSERT_TRUE(fits.logo.has_value());
  EXPECT_EQ(*fits.logo, page_->logo());
  EXPECT_EQ(fits.logoSize, 4096u);
  ASSERT_TRUE(Until([&] { return Log().contains(Text(TXT_HINT_UPGRADE_MODE)); }));
  ASSERT_TRUE(Until([&] { return state_.linkOwner.IsFree(); }));
}

TEST_F(FirmwarePageTest, WithoutTheLogoTickedOrABitmapTheUpgradeCarriesNoLogo) {
  Open();
  PlugMeter();
  Version(0x15);
  page_->firmwarePathEdit().setText(Path("fw.lrm"));
  page_->sizeEdit().setText("9999");  // whatever the logo state
  EXPECT_FALSE(Start().logo.has_value());
  EXPECT_TRUE(messages_.isEmpty());
  ASSERT_TRUE(Until([&] { return state_.linkOwner.IsFree(); }));

  page_->logoBox().click();  // ticked, but no bitmap chosen
  EXPECT_FALSE(Start().logo.has_value());
  EXPECT_TRUE(messages_.isEmpty());
  ASSERT_TRUE(Until([&] { return state_.linkOwner.IsFree(); }));
}

TEST_F(FirmwarePageTest, ABitmapIsSearchedConvertedAndPreviewed) {
  Open();
  page_->logoBox().click();
  bitmapChoice_ = Path("red.bmp");
  WriteBmp(bitmapChoice_.toStdString(), [](int) { return kRed; });
  page_->bitmapButton().click();

  EXPECT_EQ(page_->bitmapPathEdit().text(), bitmapChoice_);
  EXPECT_EQ(page_->toleranceEdit().text(), "0");
  EXPECT_EQ(page_->sizeEdit().text(), "521");
  EXPECT_EQ(page_->notice().text(), Text(TXT_NOTICE) + " " + Text(TXT_NOTICE_FITS));
  EXPECT_EQ(Log(), Text(TXT_BMP_ACCEPTED) + "\n");
  EXPECT_EQ(page_->logo()[9], 0xE0);
  EXPECT_EQ(page_->logo()[10], 64);
  const fs::path preview = (bitmapChoice_ + "_Tarndeal.bmp").toStdString();
  EXPECT_EQ(fs::file_size(preview), 49208u);
  EXPECT_EQ(page_->beforePicture().pixmap().size(), QSize(128, 128));
  const QImage after = page_->afterPicture().pixmap().toImage();
  ASSERT_EQ(after.size(), QSize(128, 128));
  EXPECT_EQ(after.pixelColor(5, 100), QColor(255, 0, 0));

  // Cancelling the dialog changes nothing.
  bitmapChoice_.clear();
  page_->bitmapButton().click();
  EXPECT_EQ(page_->bitmapPathEdit().text(), Path("red.bmp"));
}

TEST_F(FirmwarePageTest, ARefusedBitmapIsToldAndChangesNothing) {
  Open();
  page_->logoBox().click();
  bitmapChoice_ = Path("deep.bmp");
  WriteBmp(
      bitmapChoice_.toStdString(), [](int) { return kRed; }, 32);
  page_->bitmapButton().click();
  EXPECT_EQ(messages_, QStringList{Text(TXT_ERR_BMP)});
  EXPECT_EQ(page_->bitmapPathEdit().text(), "");
  EXPECT_EQ(page_->toleranceEdit().text(), "100");
  EXPECT_TRUE(Log().isEmpty());
}

TEST_F(FirmwarePageTest, ABitmapNoToleranceFitsLeavesZeroAndSaysItIsTooBig) {
  Open();
  page_->logoBox().click();
  bitmapChoice_ = Path("noise.bmp");
  WriteBmp(bitmapChoice_.toStdString(), [](int i) { return i % 2 ? 0xFFFFFFu : 0u; });
  const LogoPatchBytes before = page_->logo();
  page_->bitmapButton().click();
  EXPECT_EQ(page_->toleranceEdit().text(), "0");
  EXPECT_EQ(Log(), Text(TXT_ERR_BMP_LIMIT) + "\n");
  EXPECT_EQ(beeps_, std::vector<bool>{false});
  EXPECT_EQ(page_->sizeEdit().text(), "32777");
  EXPECT_EQ(page_->notice().text(), Text(TXT_NOTICE) + " " + Text(TXT_NOTICE_TOO_BIG) + ": >4096");
  EXPECT_EQ(page_->logo(), before);
  EXPECT_FALSE(fs::exists((bitmapChoice_ + "_Tarndeal.bmp").toStdString()));
}

TEST_F(FirmwarePageTest, ABitmapWhosePixelsCannotBeReadNeverGoesAlongWithAnUpgrade) {
  Open();
  PlugMeter();
  Version(0x15);
  page_->firmwarePathEdit().setText(Path("fw.lrm"));
  page_->logoBox().click();
  bitmapChoice_ = Path("red.bmp");
  WriteBmp(bitmapChoice_.toStdString(), [](int) { return kRed; });
  page_->bitmapButton().click();
  ASSERT_EQ(page_->sizeEdit().text(), "521");

  // A header that promises 128 × 128 pixels, and rows cut short.
  const fs::path cut = (folder_ / "cut.bmp");
  WriteBmp(cut, [](int) { return 0x00FF00u; });
  fs::resize_file(cut, 54 + 1000);
  bitmapChoice_ = QString::fromStdString(cut.string());
  window_->reporter().ClearLog();
  beeps_.clear();
  page_->bitmapButton().click();
  EXPECT_EQ(page_->bitmapPathEdit().text(), bitmapChoice_);
  EXPECT_EQ(page_->toleranceEdit().text(), "0");
  EXPECT_EQ(Log(), Text(TXT_ERR_BMP_LIMIT) + "\n");
  EXPECT_EQ(page_->sizeEdit().text(), "521");  // the red picture's, as it was

  window_->reporter().ClearLog();
  const UpgradeRequest request = Start();
  EXPECT_TRUE(request.logo.has_value());
  EXPECT_FALSE(request.logoConverted);
  EXPECT_EQ(messages_, QStringList{Text(TXT_ERR_BMP)});
  EXPECT_EQ(Log(), Text(TXT_ERR_BMP) + "\n");
  EXPECT_TRUE(state_.linkOwner.IsFree());
}

TEST_F(FirmwarePageTest, ABadToleranceBringsThePromptAndTheLastValueBack) {
  Open();
  page_->logoBox().click();
  bitmapChoice_ = Path("red.bmp");
  WriteBmp(bitmapChoice_.toStdString(), [](int i) { return i < 8192 ? kRed : 0x0000F0u; });
  page_->bitmapButton().click();
  ASSERT_EQ(page_->toleranceEdit().text(), "0");

  page_->toleranceEdit().setText("37");
  EXPECT_EQ(page_->tolerance(), 37);
  EXPECT_TRUE(messages_.isEmpty());
  for (const char* bad : {"", "1000", "99999999999"}) {
    messages_.clear();
    page_->toleranceEdit().setText(bad);
    EXPECT_EQ(messages_, QStringList{page_->TolerancePrompt()}) << bad;
    EXPECT_EQ(page_->toleranceEdit().text(), "37") << bad;
    EXPECT_EQ(page_->tolerance(), 37);
    EXPECT_EQ(page_->sizeEdit().text(), "521");
  }
  EXPECT_EQ(page_->TolerancePrompt(), "Please enter an integer between 0 and 999.");
}

TEST_F(FirmwarePageTest, AnUpgradeFromThePageCarriesTheConvertedLogo) {
  sim::EmulatorOptions options;
  options.upgradeMode = true;
  sim::VirtualMeter& meter = PlugMeter(options);
  Open();
  firmwareChoice_ = Path("fw.lrm");
  ASSERT_TRUE(sim::WriteTestImage(firmwareChoice_.toStdString()));
  page_->firmwareButton().click();
  page_->logoBox().click();
  bitmapChoice_ = Path("red.bmp");
  WriteBmp(bitmapChoice_.toStdString(), [](int) { return kRed; });
  page_->bitmapButton().click();
  const LogoPatchBytes logo = page_->logo();

  Start();
  EXPECT_TRUE(messages_.isEmpty());
  ASSERT_TRUE(Until([&] { return Log().contains(Text(TXT_UPGRADE_DONE)); }));
  ASSERT_TRUE(Until([&] { return state_.linkOwner.IsFree(); }));
  EXPECT_EQ(window_->progressBar().value(), 100);
  EXPECT_EQ(beeps_.back(), true);
  std::vector<uint8_t> area;
  meter.WithEmulator([&](sim::MeterEmulator& m) {
    area.assign(m.flash().begin() + 0x400 + 5120, m.flash().begin() + 0x400 + 9216);
  });
  EXPECT_EQ(area, std::vector<uint8_t>(logo.begin(), logo.end()));
  // The meter is identified again: the status row shows the version byte just flashed.
  const uint8_t flashed = sim::MakePlainImage()[48 + 0x800];
  const QString version =
      Text(TXT_VERSION_LABEL) + ":" + QString::fromStdString(FirmwareVersionText(flashed));
  EXPECT_TRUE(Until([&] { return window_->statusField(StatusField::kVersion).text() == version; }));
}

}  // namespace
}  // namespace vireo
