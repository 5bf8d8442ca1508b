#include "pages/chart/chart_page.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>

#include "app/sample_store.h"
#include "pages/design_font.h"
#include "pages/dialog_units.h"

namespace vireo {
namespace {

QString FromUtf8(const std::string& text) {
  return QString::fromStdString(text);
}

// A path as the file system takes it, and back for showing it.
std::string FileName(const QString& path) {
  return QFile::encodeName(path).toStdString();
}
QString ShownPath(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

}  // namespace

ChartPage::ChartPage(AppState& state, Reporter& reporter, const DialogUnits& units, QWidget* parent)
    : QWidget(parent),
      state_(state),
      reporter_(reporter),
      layout_(new DialogLayout(*this, units, 334, 178)) {
  view_ = layout_->Place(new ChartView(state_, this), 2, 1, 331, 162);
  // Combo boxes are placed by the height of their closed box; the layout's heights include
  // the drop-down list.
  mode_ = layout_->Place(new QComboBox(this), 2, 165, 43, 12);
  rate_ = layout_->Place(new QComboBox(this), 50, 165, 41, 12);
  for (const char* item : {"100HZ", "50HZ", "20HZ", "10HZ", "5HZ", "2HZ", "1HZ"}) {
    rate_->addItem(QString::fromLatin1(item));
  }
  readOff_ = layout_->Place(new QPushButton(QStringLiteral("ReadOff"), this), 47, 165, 40, 12);
  path_ = layout_->Place(new QLineEdit(this), 124, 165, 168, 12);
  path_->setReadOnly(true);
  showOff_ = layout_->Place(new QPushButton(QStringLiteral("ShowOff"), this), 293, 165, 40, 12);
  full_ = layout_->Place(new QCheckBox(QStringLiteral("FULL"), this), 89, 166, 33, 10);
  view_->setAccessibleName(FromUtf8(state_.texts[TXT_TAB_CHART]));
  // A combo box is named by the item it shows; these say what it chooses.
  mode_->setAccessibleName(FromUtf8(state_.texts.Extra("chart_mode_name")));
  mode_->setAccessibleDescription(mode_->accessibleName());
  rate_->setAccessibleName(FromUtf8(state_.texts.Extra("sample_rate_name")));
  rate_->setAccessibleDescription(rate_->accessibleName());
  // The layout's small buttons leave no room for a skin's wide padding around their captions.
  for (QPushButton* button : {readOff_, showOff_}) {
    button->setStyleSheet(QStringLiteral("QPushButton { padding: 0px 2px; }"));
  }
  path_->setAccessibleName(FromUtf8(state_.texts.Extra("record_file_name")));

  // The page's initialisation, in order.
  // The chart is drawn in the pixels of its design size and scaled to the control's.
  view_->Initialise(
      DialogUnits(DialogUnits::kDesignBaseX, DialogUnits::kDesignBaseY).Size(331, 162));
  view_->setFocusPolicy(Qt::TabFocus);
  mode_->addItem(PlainCaption(FromUtf8(state_.texts[TXT_CHART_LIVE])));
  mode_->addItem(PlainCaption(FromUtf8(state_.texts[TXT_CHART_OFFLINE])));
  mode_->setCurrentIndex(kLive);
  rate_->setCurrentIndex(0);
  samplingTimer_.setTimerType(Qt::PreciseTimer);
  connect(&samplingTimer_, &QTimer::timeout, this, &ChartPage::Tick);
  samplingTimer_.start(static_cast<int>(SamplePeriodMs()));
  ApplyMode();
  readOff_->setText(PlainCaption(FromUtf8(state_.texts[TXT_READ_OFF])));
  showOff_->setText(PlainCaption(FromUtf8(state_.texts[TXT_SHOW_OFF])));
  full_->setText(PlainCaption(FromUtf8(state_.texts[TXT_FULL])));
  chartMode_ = kLive;

  // A pick in the mode combo, the same item included, chooses the mode anew.
  connect(mode_, &QComboBox::activated, this, &ChartPage::SelectMode);
  connect(rate_, &QComboBox::currentIndexChanged, this, &ChartPage::RateChanged);
  connect(readOff_, &QPushButton::clicked, this, &ChartPage::ReadOff);
  connect(showOff_, &QPushButton::clicked, this, &ChartPage::ShowOff);
  connect(full_, &QCheckBox::toggled, this, &ChartPage::FullToggled);

  chooseRecordFile = [this] {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("*.vat(*.vat)"));
    dialog.setDefaultSuffix(QStringLiteral("vat"));
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
  };
  chooseSaveFile = [this](const QString& caption, const QString& filter, const QString& suffix) {
    QFileDialog dialog(this, caption);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(suffix);
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
  };

  menu_ = new QMenu(this);
  saveImage_ = menu_->addAction(FromUtf8(state_.texts.Extra("save_image")));
  exportCsv_ = menu_->addAction(FromUtf8(state_.texts.Extra("export_csv")));
  connect(saveImage_, &QAction::triggered, this, &ChartPage::SaveImage);
  connect(exportCsv_, &QAction::triggered, this, &ChartPage::ExportCsv);
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(view_, &QWidget::customContextMenuRequested, this, &ChartPage::ShowContextMenu);
}

uint32_t ChartPage::SamplePeriodMs() const {
  return SamplePeriodForRate(rate_->currentIndex());
}

void ChartPage::Tick() {
  if (SamplingTick(state_, chartMode_ == kLive, SamplePeriodMs())) {
    view_->Invalidate();
    // A rate chosen since the last tick takes effect here.
    samplingTimer_.start(static_cast<int>(SamplePeriodMs()));
  }
}

void ChartPage::ApplyMode() {
  chartMode_ = mode_->currentIndex();
  const bool live = chartMode_ == kLive;
  rate_->setVisible(live);
  readOff_->setVisible(!live);
  path_->setVisible(!live);
  showOff_->setVisible(!live);
  full_->setVisible(!live);
  view_->SetSamplePeriod(live ? SamplePeriodMs() : 0);
}

void ChartPage::SelectMode() {
  ApplyMode();
  ClearStores(state_);
  view_->Invalidate();
  if (chartMode_ == kLive) {
    view_->ReleaseRecordSet();
  } else if (!path_->text().isEmpty()) {
    view_->LoadRecordFile(recordPath_);
  }
}

void ChartPage::RateChanged() {
  ClearStores(state_);
  view_->SetSamplePeriod(SamplePeriodMs());
  view_->Invalidate();
}

void ChartPage::FullToggled() {
  view_->SetFullMode(full_->isChecked());
  view_->Invalidate();
}

void ChartPage::ReadOff() {
  if (onReadOff) {
    onReadOff();
  }
}

void ChartPage::ShowOff() {
  const QString chosen = chooseRecordFile();
  if (chosen.isEmpty()) {
    return;
  }
  LoadRecords(FileName(QFileInfo(chosen).absoluteFilePath()));
}

void ChartPage::LoadRecords(const std::string& path) {
  recordPath_ = path;
  path_->setText(ShownPath(recordPath_));
  view_->LoadRecordFile(recordPath_);
}

void ChartPage::OpenRecordFile(const QString& path) {
  mode_->setCurrentIndex(kRecords);
  SelectMode();
  LoadRecords(FileName(QFileInfo(path).absoluteFilePath()));
}

void ChartPage::ShowContextMenu(const QPoint& at) {
  exportCsv_->setEnabled(view_->recordSet() != nullptr || state_.VoltageStore.count > 0);
  menu_->popup(view_->mapToGlobal(at));
}

void ChartPage::SaveImage() {
  const QString caption = FromUtf8(state_.texts.Extra("save_image"));
  const QString filter = FromUtf8(state_.texts.Extra("png_files")) + QStringLiteral(" (*.png)");
  const QString path = chooseSaveFile(caption, filter, QStringLiteral("png"));
  if (path.isEmpty()) {
    return;
  }
  const QImage image = view_->Render();
  SaveFile(path, [&image](QIODevice& device) { return image.save(&device, "PNG"); });
}

void ChartPage::ExportCsv() {
  const QString caption = FromUtf8(state_.texts.Extra("export_csv"));
  const QString filter = FromUtf8(state_.texts.Extra("csv_files")) + QStringLiteral(" (*.csv)");
  const QString path = chooseSaveFile(caption, filter, QStringLiteral("csv"));
  if (path.isEmpty()) {
    return;
  }
  const std::string text =
      view_->recordSet() ? RecordRowsCsv(*view_->recordSet())
                         : SampleRowsCsv(state_.VoltageStore.Held(), state_.CurrentStore.Held(),
                                         state_.TemperatureStore.Held(), SamplePeriodMs());
  SaveFile(path, [&text](QIODevice& device) {
    return device.write(text.data(), static_cast<qint64>(text.size())) ==
           static_cast<qint64>(text.size());
  });
}

void ChartPage::SaveFile(const QString& path, const std::function<bool(QIODevice&)>& write) {
  QSaveFile file(path);
  bool saved = file.open(QIODevice::WriteOnly) && write(file);
  if (!saved) {
    file.cancelWriting();
  }
  saved = saved && file.commit();
  const std::string shown = path.toStdString();
  if (saved) {
    reporter_.AppendLog(state_.texts[TXT_SAVED] + ":" + shown, LogLevel::kSuccess);
    reporter_.NewLogLine();
    return;
  }
  reporter_.AppendLog(
      state_.texts[TXT_ERR_SAVE] + ":" + shown + " (" + file.errorString().toStdString() + ")",
      LogLevel::kError);
  reporter_.NewLogLine();
  reporter_.Beep(false);
}

}  // namespace vireo
