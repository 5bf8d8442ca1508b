#include "pages/sessions/trigger_dialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QVBoxLayout>

namespace vireo {
namespace {

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

TriggerDialog::TriggerDialog(const TextTable& texts, const record::TriggerSettings& settings,
                             QWidget* parent)
    : QDialog(parent),
      texts_(texts),
      accepted_(settings),
      startAboveBox_(new QCheckBox(Text(texts.Extra("start_above")), this)),
      startAbove_(new QDoubleSpinBox(this)),
      preRollBox_(new QCheckBox(Text(texts.Extra("pre_roll")), this)),
      preRoll_(new QDoubleSpinBox(this)),
      stopBelowBox_(new QCheckBox(Text(texts.Extra("stop_below")), this)),
      stopBelow_(new QDoubleSpinBox(this)),
      stopForBox_(new QCheckBox(Text(texts.Extra("stop_for")), this)),
      stopFor_(new QDoubleSpinBox(this)),
      reason_(new QLabel(this)) {
  setWindowTitle(Text(texts.Extra("triggers_title")));
  auto* grid = new QGridLayout;
  const struct Row {
    QCheckBox* box;
    QDoubleSpinBox* spin;
    ExtraKey tip;
    int decimals;
    double max;
    std::optional<double> value;
    double unset;
  } rows[] = {
      {startAboveBox_, startAbove_, "start_above_tip", 3, 1000, settings.startAbove, 0.1},
      {preRollBox_, preRoll_, "pre_roll_tip", 1, 1e6,
       settings.preRollSeconds > 0 ? std::optional(settings.preRollSeconds) : std::nullopt, 5},
      {stopBelowBox_, stopBelow_, "stop_below_tip", 3, 1000, settings.stopBelow, 0.05},
      {stopForBox_, stopFor_, "stop_for_tip", 1, 1e6,
       settings.stopBelow ? std::optional(settings.stopForSeconds) : std::nullopt,
       record::TriggerSettings().stopForSeconds},
  };
  int row = 0;
  for (const Row& r : rows) {
    const QString tip = Text(texts.Extra(r.tip));
    r.box->setToolTip(tip);
    r.spin->setToolTip(tip);
    r.spin->setAccessibleName(r.box->text());
    r.spin->setDecimals(r.decimals);
    r.spin->setRange(0, r.max);
    r.box->setChecked(r.value.has_value());
    r.spin->setValue(r.value.value_or(r.unset));
    r.spin->setEnabled(r.box->isChecked());
    connect(r.box, &QCheckBox::toggled, r.spin, &QWidget::setEnabled);
    grid->addWidget(r.box, row, 0);
    grid->addWidget(r.spin, row, 1);
    ++row;
  }
  reason_->setWordWrap(true);
  reason_->setAccessibleName(Text(texts.Extra("page_message_name")));
  reason_->hide();
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &TriggerDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TriggerDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(reason_);
  layout->addWidget(buttons);
}

record::TriggerSettings TriggerDialog::Settings(std::string& why) const {
  record::TriggerSettings t = accepted_;
  t.startAbove.reset();
  t.stopBelow.reset();
  if (startAboveBox_->isChecked()) {
    t.startAbove = startAbove_->value();
  }
  t.preRollSeconds = preRollBox_->isChecked() ? preRoll_->value() : 0;
  if (stopBelowBox_->isChecked()) {
    t.stopBelow = stopBelow_->value();
  }
  t.stopForSeconds =
      stopForBox_->isChecked() ? stopFor_->value() : record::TriggerSettings().stopForSeconds;
  why.clear();
  if (stopForBox_->isChecked() && !stopBelowBox_->isChecked()) {
    why = texts_.Extra("for_needs_stop");
  } else {
    why = t.Check();
  }
  return t;
}

void TriggerDialog::accept() {
  std::string why;
  const record::TriggerSettings t = Settings(why);
  if (!why.empty()) {
    reason_->setText(Text(FillIn(texts_.Extra("triggers_refused"), {why})));
    reason_->show();
    return;
  }
  accepted_ = t;
  QDialog::accept();
}

}  // namespace vireo
