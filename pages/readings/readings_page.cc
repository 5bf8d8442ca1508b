#include "pages/readings/readings_page.h"

#include <QContextMenuEvent>
#include <QMenu>

#include "pages/design_font.h"
#include "pages/dialog_units.h"
#include "pages/readings/readings_format.h"

namespace vireo {
namespace {

constexpr const char* kFontFace = "Trebuchet MS";
constexpr int kValueFontHeight = 50;
constexpr int kLabelFontHeight = 30;

// Where each field stands (dialog units), its label's text slot and its colour.
struct FieldDesign {
  int x;
  int y;
  int labelX;
  TextId labelText;
  QColor colour;
};

const std::array<FieldDesign, ReadingsPage::kFieldCount>& Designs() {
  static const std::array<FieldDesign, ReadingsPage::kFieldCount> designs = {{
      {46, 15, 1, TXT_VOLTAGE, QColor(221, 221, 0)},
      {46, 46, 1, TXT_CURRENT, QColor(0, 221, 221)},
      {46, 77, 1, TXT_POWER, QColor(221, 0, 221)},
      {46, 108, 1, TXT_RESISTANCE, QColor(255, 248, 220)},
      {204, 15, 158, TXT_DPLUS, QColor(95, 223, 0)},
      {204, 46, 158, TXT_DMINUS, QColor(255, 127, 80)},
      {204, 77, 158, TXT_TEMP_INTERNAL, QColor(65, 105, 225)},
      {204, 108, 158, TXT_TEMP_EXTERNAL, QColor(255, 0, 0)},
  }};
  return designs;
}

}  // namespace

ReadingsPage::ReadingsPage(const AppState& state, const DialogUnits& units, QWidget* parent)
    : QWidget(parent), state_(state), layout_(new DialogLayout(*this, units, 334, 178)) {
  const QFont valueFont = DesignFont(kFontFace, kValueFontHeight);
  const QFont labelFont = DesignFont(kFontFace, kLabelFontHeight);
  for (int i = 0; i < kFieldCount; ++i) {
    const FieldDesign& design = Designs()[i];
    fields_[i] =
        layout_->Place(new ValueField(design.colour, valueFont, this), design.x, design.y, 102, 31);
    layout_->SetDesignFont(fields_[i], valueFont);
    labels_[i] = new QLabel(this);
    labels_[i]->setTextFormat(Qt::PlainText);
    labels_[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const std::string& name = state_.texts[design.labelText];
    labels_[i]->setText(QString::fromStdString(name + ":"));
    layout_->Place(labels_[i], design.labelX, design.y + 5, 43, 21);
    layout_->SetDesignFont(labels_[i], labelFont, true);
    // A field has no text of its own to be named by: it takes its label's.
    fields_[i]->setAccessibleName(QString::fromStdString(name));
  }
  fahrenheit_ = layout_->Place(
      new QCheckBox(PlainCaption(QString::fromStdString(state_.texts[TXT_FAHRENHEIT])), this), 204,
      153, 74, 10);

  // Restarted after each refresh, so the next one comes a full period after this one ended.
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] {
    Refresh();
    timer_.start(kRefreshMs);
  });
  timer_.start(kRefreshMs);
}

void ReadingsPage::contextMenuEvent(QContextMenuEvent* event) {
  if (!onAlarms) {
    return;
  }
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->addAction(QString::fromStdString(state_.texts.Extra("alarms_menu")), this,
                  [this] { onAlarms(); });
  menu->popup(event->globalPos());
}

void ReadingsPage::Refresh() {
  const ReadingsTexts texts = FormatReadings(state_.readings.Load(), fahrenheit_->isChecked());
  const bool dimmed = !live_.Update(state_);
  const auto show = [this, dimmed](Field which, const std::string& text) {
    fields_[which]->SetText(QString::fromStdString(text));
    fields_[which]->SetDimmed(dimmed);
  };
  show(kVoltage, texts.voltage);
  show(kCurrent, texts.current);
  show(kPower, texts.power);
  show(kResistance, texts.resistance);
  show(kDMinus, texts.dMinus);
  show(kDPlus, texts.dPlus);
  show(kTempInternal, texts.tempInternal);
  show(kTempExternal, texts.tempExternal);
}

}  // namespace vireo
