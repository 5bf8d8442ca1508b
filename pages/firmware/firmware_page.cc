#include "pages/firmware/firmware_page.h"

#include <QAction>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QImage>
#include <QPixmap>
#include <QRegularExpressionValidator>
#include <utility>

#include "pages/design_font.h"

namespace vireo {
namespace {

QString FromUtf8(const std::string& text) {
  return QString::fromStdString(text);
}

template <typename W>
W* Place(DialogLayout& layout, W* widget, int x, int y, int w, int h, bool shown) {
  layout.Place(widget, x, y, w, h);
  if (!shown)
    widget->hide();
  return widget;
}

QLabel* Static(DialogLayout& layout, const QString& text, int x, int y, int w, int h, bool shown) {
  auto* label = new QLabel(text, &layout.window());
  label->setTextFormat(Qt::PlainText);
  return Place(layout, label, x, y, w, h, shown);
}

// Sets the text only when it differs, so that putting an unchanged value back is no change.
void SetText(QLineEdit& edit, const QString& text) {
  if (edit.text() != text)
    edit.setText(text);
}

// A picture control shows its bitmap at its own size from its top left corner.
void ShowPicture(QLabel& picture, const QString& path) {
  QImage image;
  if (!image.load(path))
    return;
  picture.setPixmap(QPixmap::fromImage(image));
  picture.resize(image.size());
}

}  // namespace

FirmwarePage::FirmwarePage(AppState& state, Reporter& reporter, UpgradeStarter startUpgrade,
                           const DialogUnits& units, QWidget* parent)
    : QWidget(parent),
      state_(state),
      reporter_(reporter),
      startUpgrade_(std::move(startUpgrade)),
      layout_(new DialogLayout(*this, units, 334, 178)) {
  DialogLayout& layout = *layout_;
  // The layout's controls in its order; those it does not show are created hidden.
  firmwarePath_ = Place(layout, new QLineEdit(this), 7, 154, 270, 14, true);
  firmwareButton_ =
      Place(layout, new QPushButton(QStringLiteral("DFU"), this), 282, 154, 41, 14, true);
  startButton_ =
      Place(layout, new QPushButton(QStringLiteral("DFUSTART"), this), 128, 35, 79, 71, true);
  auto* separator = Place(layout, new QFrame(this), 196, 6, 1, 140, false);
  separator->setFrameShape(QFrame::VLine);
  separator->setFrameShadow(QFrame::Sunken);
  logoBox_ = Place(layout, new QCheckBox(QStringLiteral("LOGO"), this), 7, 12, 73, 10, false);
  Static(layout, QStringLiteral("‰"), 179, 13, 8, 8, false);
  toleranceLabel_ = Static(layout, QStringLiteral("容许色差"), 111, 13, 34, 8, false);
  toleranceEdit_ = Place(layout, new QLineEdit(this), 151, 10, 24, 12, false);
  toleranceEdit_->setAlignment(Qt::AlignCenter);
  toleranceEdit_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this));
  toleranceEdit_->setEnabled(false);
  bitmapPath_ = Place(layout, new QLineEdit(this), 7, 132, 140, 12, false);
  bitmapPath_->setReadOnly(true);
  bitmapButton_ =
      Place(layout, new QPushButton(QStringLiteral("BMP"), this), 151, 131, 36, 13, false);
  bitmapButton_->setEnabled(false);
  afterPicture_ = Static(layout, QString(), 112, 47, 13, 13, true);
  sizeEdit_ = Place(layout, new QLineEdit(this), 29, 27, 28, 12, false);
  sizeEdit_->setReadOnly(true);
  Place(layout, new QGroupBox(this), 111, 42, 76, 86, false);
  beforePicture_ = Static(layout, QString(), 8, 46, 13, 13, true);
  Place(layout, new QGroupBox(this), 7, 41, 76, 86, false);
  sizeLabel_ = Static(layout, QStringLiteral("SIZE"), 7, 28, 22, 8, false);
  notice_ = Static(layout, QStringLiteral("Notice"), 59, 28, 95, 8, false);
  Static(layout, QStringLiteral("→"), 92, 78, 8, 8, false);
  // A picture shows its bitmap at the bitmap's own size.
  layout.KeepSize(afterPicture_);
  layout.KeepSize(beforePicture_);

  // The captions from the texts; the Notice line keeps its text until the first conversion.
  const TextTable& texts = state_.texts;
  firmwareButton_->setText(PlainCaption(FromUtf8(texts[TXT_OPEN])));
  startButton_->setText(PlainCaption(FromUtf8(texts[TXT_UPGRADE_START])));
  logoBox_->setText(PlainCaption(FromUtf8(texts[TXT_LOGO])));
  toleranceLabel_->setText(FromUtf8(texts[TXT_COLOR_TOLERANCE] + ":"));
  bitmapButton_->setText(PlainCaption(FromUtf8(texts[TXT_OPEN] + "bmp")));
  sizeLabel_->setText(FromUtf8(texts[TXT_SIZE] + ":"));
  // Controls without a caption are named by their label, or by a word of their own.
  firmwarePath_->setAccessibleName(FromUtf8(texts.Extra("firmware_file_name")));
  bitmapPath_->setAccessibleName(FromUtf8(texts.Extra("bitmap_file_name")));
  toleranceEdit_->setAccessibleName(FromUtf8(texts[TXT_COLOR_TOLERANCE]));
  sizeEdit_->setAccessibleName(FromUtf8(texts[TXT_SIZE]));
  beforePicture_->setAccessibleName(FromUtf8(texts.Extra("bitmap_picture_name")));
  afterPicture_->setAccessibleName(FromUtf8(texts.Extra("logo_preview_name")));
  PutValues();

  connect(firmwareButton_, &QPushButton::clicked, this, [this] { ChooseFirmwareFile(); });
  connect(startButton_, &QPushButton::clicked, this, [this] { StartUpgrade(); });
  connect(bitmapButton_, &QPushButton::clicked, this, [this] { ChooseBitmap(); });
  connect(toleranceEdit_, &QLineEdit::textChanged, this, [this] {
    if (putting_) {
      toleranceChanged_ = true;
    } else {
      ConvertAgain();
    }
  });
  connect(logoBox_, &QCheckBox::clicked, this, [this] { EnableLogoInputs(); });

  // The controls hidden above are the logo's; the page's context menu shows and hides them.
  QList<QWidget*> logoControls;
  for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (!child->isVisibleTo(this))
      logoControls.append(child);
  }
  showLogoControls_ = new QAction(FromUtf8(texts.Extra("show_logo_controls")), this);
  showLogoControls_->setCheckable(true);
  connect(showLogoControls_, &QAction::toggled, this, [logoControls](bool shown) {
    for (QWidget* control : logoControls)
      control->setVisible(shown);
  });
  addAction(showLogoControls_);
  setContextMenuPolicy(Qt::ActionsContextMenu);
}

QString FirmwarePage::TolerancePrompt() const {
  return FromUtf8(state_.texts.Extra("tolerance_range"));
}

bool FirmwarePage::TakeValues() {
  firmwarePathValue_ = firmwarePath_->text().toStdString();
  bool ok = false;
  const uint value = toleranceEdit_->text().toUInt(&ok);
  if (!ok || value > static_cast<uint>(kMaxLogoTolerance)) {
    reporter_.ShowMessage(TolerancePrompt().toStdString());
    return false;
  }
  tolerance_ = static_cast<int>(value);
  bitmapPathValue_ = bitmapPath_->text().toStdString();
  const uint size = sizeEdit_->text().toUInt(&ok);
  if (ok)
    size_ = size;
  return true;
}

void FirmwarePage::PutValues() {
  // A changed tolerance text converts again, but only once every value is back in its
  // control, so the conversion never takes a half-updated page.
  putting_ = true;
  SetText(*firmwarePath_, FromUtf8(firmwarePathValue_));
  SetText(*toleranceEdit_, QString::number(tolerance_));
  SetText(*bitmapPath_, FromUtf8(bitmapPathValue_));
  SetText(*sizeEdit_, QString::number(size_));
  putting_ = false;
  if (std::exchange(toleranceChanged_, false))
    ConvertAgain();
}

QString FirmwarePage::DefaultChooser(FileKind kind) {
  const bool firmware = kind == FileKind::kFirmware;
  QFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(firmware ? QStringLiteral("lrm") : QStringLiteral("bmp"));
  dialog.setNameFilter(firmware ? QStringLiteral("*.lrm(*.lrm)") : QStringLiteral("*.bmp(*.bmp)"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
    return {};
  return dialog.selectedFiles().front();
}

void FirmwarePage::ChooseFirmwareFile() {
  const QString path =
      chooseFile_ ? chooseFile_(FileKind::kFirmware) : DefaultChooser(FileKind::kFirmware);
  if (path.isEmpty())
    return;
  TakeValues();
  firmwarePathValue_ = path.toStdString();
  PutValues();
}

void FirmwarePage::StartUpgrade() {
  TakeValues();
  UpgradeRequest request;
  request.firmwarePath = firmwarePathValue_;
  if (logoBox_->isChecked() && !bitmapPathValue_.empty())
    request.logo = logo_;
  request.logoSize = size_;
  request.logoConverted = convertedPath_ == bitmapPathValue_;
  if (startUpgrade_)
    startUpgrade_(request);
  PutValues();
}

void FirmwarePage::ChooseBitmap() {
  const QString path =
      chooseFile_ ? chooseFile_(FileKind::kBitmap) : DefaultChooser(FileKind::kBitmap);
  if (!path.isEmpty())
    UseBitmap(path);
}

void FirmwarePage::UseBitmap(const QString& path) {
  const std::string file = path.toStdString();
  if (!CheckLogoBitmap(file)) {
    reporter_.ShowMessage(state_.texts[TXT_ERR_BMP]);
    return;
  }
  TakeValues();
  bitmapPathValue_ = file;
  const int found = FindLogoTolerance(file);
  if (found < kNoLogoTolerance) {
    tolerance_ = found;
    reporter_.AppendLog(state_.texts[TXT_BMP_ACCEPTED], LogLevel::kSuccess);
  } else {
    tolerance_ = 0;
    reporter_.AppendLog(state_.texts[TXT_ERR_BMP_LIMIT], LogLevel::kError);
    reporter_.Beep(false);
  }
  reporter_.NewLogLine();
  PutValues();
  ShowPicture(*beforePicture_, path);
  ConvertAgain();
}

void FirmwarePage::ConvertAgain() {
  if (TakeValues() && !bitmapPathValue_.empty())
    Convert();
  // After a refused text this puts the last valid tolerance back, which converts once more.
  PutValues();
}

void FirmwarePage::Convert() {
  const auto pixels = LoadLogoPixels(bitmapPathValue_);
  if (!pixels)
    return;
  convertedPath_ = bitmapPathValue_;
  size_ = ConvertLogo(*pixels, tolerance_, header_, logo_);
  notice_->setText(FromUtf8(LogoNotice(state_.texts, size_)));
  if (size_ > kLogoSizeLimit)
    return;
  const std::string preview = LogoPreviewName(bitmapPathValue_);
  if (WriteLogoPreview(preview, logo_))
    ShowPicture(*afterPicture_, FromUtf8(preview));
}

void FirmwarePage::EnableLogoInputs() {
  const bool ticked = logoBox_->isChecked();
  bitmapButton_->setEnabled(ticked);
  toleranceEdit_->setEnabled(ticked);
}

}  // namespace vireo
