#include "gui/alarms_dialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QSaveFile>
#include <QScrollArea>
#include <algorithm>
#include <set>

#include "alarms/alarm_rule.h"

namespace vireo {
namespace {

QString FromUtf8(const std::string& text) {
  return QString::fromStdString(text);
}

QLabel* ErrorLabel(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, Qt::red);
  label->setPalette(palette);
  label->hide();
  return label;
}

void ShowError(QLabel& label, const QString& text) {
  label.setText(text);
  label.setVisible(!text.isEmpty());
}

}  // namespace

AlarmsDialog::AlarmsDialog(const TextTable& texts, std::string path, QWidget* parent)
    : QDialog(parent), texts_(texts), path_(std::move(path)) {
  setWindowTitle(FromUtf8(texts_.Extra("alarms_title")));
  auto* layout = new QVBoxLayout(this);
  auto* area = new QScrollArea(this);
  area->setWidgetResizable(true);
  auto* list = new QWidget(area);
  rowsLayout_ = new QVBoxLayout(list);
  rowsLayout_->addStretch();
  area->setWidget(list);
  layout->addWidget(area);

  add_ = new QPushButton(FromUtf8(texts_.Extra("alarm_add")), this);
  add_->setAutoDefault(false);
  connect(add_, &QPushButton::clicked, this, [this] { AddRow().rule->setFocus(); });
  fileError_ = ErrorLabel(this);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  buttons->addButton(add_, QDialogButtonBox::ActionRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &AlarmsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &AlarmsDialog::reject);
  layout->addWidget(fileError_);
  layout->addWidget(buttons);

  QFile file(FromUtf8(path_));
  if (file.open(QIODevice::ReadOnly)) {
    for (const alarms::AlarmFileEntry& entry :
         alarms::ParseAlarmFile(file.readAll().toStdString())) {
      AddRow(entry);
    }
  }
  Check();
  resize(fontMetrics().averageCharWidth() * 90, fontMetrics().height() * 20);
}

AlarmsDialog::Row& AlarmsDialog::AddRow(const alarms::AlarmFileEntry& entry) {
  auto* widget = new QWidget;
  auto* grid = new QGridLayout(widget);
  grid->setContentsMargins(0, 0, 0, 0);
  Row row{widget, new QCheckBox(FromUtf8(texts_.Extra("alarm_enabled")), widget),
          new QLineEdit(FromUtf8(entry.text), widget), ErrorLabel(widget),
          new QPushButton(FromUtf8(texts_.Extra("alarm_remove")), widget)};
  row.enabled->setChecked(entry.enabled);
  row.rule->setPlaceholderText(FromUtf8(texts_.Extra("alarm_example")));
  row.remove->setAutoDefault(false);
  grid->addWidget(row.enabled, 0, 0);
  grid->addWidget(row.rule, 0, 1);
  grid->addWidget(row.remove, 0, 2);
  grid->addWidget(row.error, 1, 1, 1, 2);
  grid->setColumnStretch(1, 1);
  connect(row.enabled, &QCheckBox::toggled, this, &AlarmsDialog::Check);
  connect(row.rule, &QLineEdit::textChanged, this, &AlarmsDialog::Check);
  connect(row.remove, &QPushButton::clicked, this, [this, widget] { RemoveRow(widget); });
  rowsLayout_->insertWidget(rowsLayout_->count() - 1, widget);  // before the stretch
  rows_.push_back(row);
  Check();
  return rows_.back();
}

void AlarmsDialog::RemoveRow(QWidget* widget) {
  std::erase_if(rows_, [widget](const Row& row) { return row.widget == widget; });
  widget->deleteLater();
  Check();
}

void AlarmsDialog::Check() {
  bool allFine = true;
  std::set<std::string> names;  // of the switched-on rules above
  for (const Row& row : rows_) {
    const std::string text = row.rule->text().trimmed().toStdString();
    QString error;
    if (!text.empty()) {
      const alarms::RuleParse parsed = alarms::ParseAlarmRule(text);
      if (!parsed.rule) {
        error = FromUtf8(parsed.error);
      } else if (row.enabled->isChecked() && !names.insert(parsed.rule->name).second) {
        error = FromUtf8(FillIn(texts_.Extra("alarm_duplicate"), {parsed.rule->name}));
      }
    }
    ShowError(*row.error, error);
    allFine = allFine && error.isEmpty();
  }
  ok_->setEnabled(allFine);
}

std::vector<alarms::AlarmFileEntry> AlarmsDialog::Entries() const {
  std::vector<alarms::AlarmFileEntry> entries;
  for (const Row& row : rows_) {
    const QString text = row.rule->text().trimmed();
    if (!text.isEmpty()) {
      entries.push_back({text.toStdString(), row.enabled->isChecked()});
    }
  }
  return entries;
}

void AlarmsDialog::accept() {
  Check();
  if (!ok_->isEnabled()) {
    return;
  }
  const QString path = FromUtf8(path_);
  // Written whole or not at all: a crash never leaves half a file for the next start.
  QSaveFile file(path);
  const std::string text = alarms::AlarmFileText(Entries());
  // A folder that cannot be made shows in the open's error.
  QDir().mkpath(QFileInfo(path).absolutePath());
  const bool written = file.open(QIODevice::WriteOnly) &&
                       file.write(text.data(), static_cast<qint64>(text.size())) ==
                           static_cast<qint64>(text.size()) &&
                       file.commit();
  if (!written) {
    const QString reason = file.errorString().isEmpty() ? QStringLiteral("?") : file.errorString();
    ShowError(*fileError_,
              FromUtf8(FillIn(texts_.Extra("alarms_unwritable"), {path_, reason.toStdString()})));
    return;
  }
  QDialog::accept();
}

}  // namespace vireo
