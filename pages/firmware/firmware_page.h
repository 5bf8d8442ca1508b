// The logo and firmware page, slot 2 of the tab control: the firmware image's path with its
// file dialog, and DFUSTART, which hands the path and the logo to the upgrade. Its
// logo controls (check box, tolerance, bitmap, size, Notice line, the two pictures) are
// created hidden, as the layout has them, and work all the same; the page's context menu entry
// "Show logo controls" shows them.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <functional>

#include "app/app_state.h"
#include "app/reporter.h"
#include "app/upgrade_control.h"
#include "meter/logo_conversion.h"
#include "pages/dialog_units.h"

namespace vireo {

class FirmwarePage : public QWidget {
 public:
  // Asks the main window to start the upgrade; its checks decide whether it runs.
  using UpgradeStarter = std::function<void(const UpgradeRequest&)>;
  // Which file the user chose, or an empty text when the dialog was cancelled.
  enum class FileKind { kFirmware, kBitmap };
  using FileChooser = std::function<QString(FileKind)>;

  // Laid out in `units`, those of the window's font.
  FirmwarePage(AppState& state, Reporter& reporter, UpgradeStarter startUpgrade,
               const DialogUnits& units = DialogUnits::Of(QFont()), QWidget* parent = nullptr);

  // The handlers of the page's controls.
  void ChooseFirmwareFile();
  void StartUpgrade();
  void ChooseBitmap();
  // Choosing the bitmap once its file is known.
  void UseBitmap(const QString& path);
  // A changed tolerance: converts again when the text is a tolerance, else prompts and puts
  // the last valid tolerance back.
  void ConvertAgain();
  void EnableLogoInputs();

  // Replaces the file dialogs (tests answer them).
  void SetFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
  // What DFUSTART calls; tests see the requests through it.
  const UpgradeStarter& upgradeStarter() const { return startUpgrade_; }
  void SetUpgradeStarter(UpgradeStarter start) { startUpgrade_ = std::move(start); }

  QLineEdit& firmwarePathEdit() { return *firmwarePath_; }
  QPushButton& firmwareButton() { return *firmwareButton_; }
  QPushButton& startButton() { return *startButton_; }
  QCheckBox& logoBox() { return *logoBox_; }
  QLabel& toleranceLabel() { return *toleranceLabel_; }
  QLineEdit& toleranceEdit() { return *toleranceEdit_; }
  QLineEdit& bitmapPathEdit() { return *bitmapPath_; }
  QPushButton& bitmapButton() { return *bitmapButton_; }
  QLineEdit& sizeEdit() { return *sizeEdit_; }
  QLabel& sizeLabel() { return *sizeLabel_; }
  QLabel& notice() { return *notice_; }
  QLabel& beforePicture() { return *beforePicture_; }
  QLabel& afterPicture() { return *afterPicture_; }
  // The context menu's checkable entry that shows the logo controls.
  QAction& showLogoControlsAction() { return *showLogoControls_; }
  int tolerance() const { return tolerance_; }
  uint32_t size() const { return size_; }
  // The logo as the last conversions left it; all zeros before the first.
  const LogoPatchBytes& logo() const { return logo_; }

  // The prompt shown for a tolerance that is not a whole number from 0 to 999.
  QString TolerancePrompt() const;

 private:
  // The page's values from its controls and back, as the dialog's data exchange does. Taking
  // stops at a tolerance that is no tolerance, with the prompt; false then.
  bool TakeValues();
  void PutValues();
  void Convert();
  QString DefaultChooser(FileKind kind);

  AppState& state_;
  Reporter& reporter_;
  UpgradeStarter startUpgrade_;
  FileChooser chooseFile_;
  DialogLayout* layout_;

  QLabel* notice_;
  QLineEdit* toleranceEdit_;
  QLabel* sizeLabel_;
  QLabel* beforePicture_;
  QLabel* afterPicture_;
  QPushButton* bitmapButton_;
  QLabel* toleranceLabel_;
  QCheckBox* logoBox_;
  QPushButton* startButton_;
  QPushButton* firmwareButton_;
  QLineEdit* firmwarePath_;
  QLineEdit* bitmapPath_;
  QLineEdit* sizeEdit_;
  QAction* showLogoControls_;

  std::string firmwarePathValue_;
  int tolerance_ = kDefaultLogoTolerance;
  std::string bitmapPathValue_;
  LogoHeader header_;
  LogoPatchBytes logo_{};
  uint32_t size_ = 0;
  // The bitmap whose pixels the last conversion read: the size and the logo are its.
  std::string convertedPath_;
  bool putting_ = false;
  bool toleranceChanged_ = false;
};

}  // namespace vireo
