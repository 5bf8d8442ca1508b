// TriggerDialog: the triggers of the next recording, as `vireometer-cli record` takes them:
// start above a current (with a pre-roll), stop below a current for some seconds. Each is
// optional. OK keeps the dialog open, with the reason shown, while the settings are ones the
// recorder refuses.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QLabel>

#include "record/session_keeper.h"
#include "text/text_table.h"

namespace vireo {

class TriggerDialog : public QDialog {
 public:
  TriggerDialog(const TextTable& texts, const record::TriggerSettings& settings,
                QWidget* parent = nullptr);

  // The settings as the controls give them; empty `why` when they may be used.
  record::TriggerSettings Settings(std::string& why) const;
  // The settings last accepted (the ones given while none was).
  const record::TriggerSettings& accepted() const { return accepted_; }

  void accept() override;

  QCheckBox& startAboveBox() { return *startAboveBox_; }
  QDoubleSpinBox& startAbove() { return *startAbove_; }
  QCheckBox& preRollBox() { return *preRollBox_; }
  QDoubleSpinBox& preRoll() { return *preRoll_; }
  QCheckBox& stopBelowBox() { return *stopBelowBox_; }
  QDoubleSpinBox& stopBelow() { return *stopBelow_; }
  QCheckBox& stopForBox() { return *stopForBox_; }
  QDoubleSpinBox& stopFor() { return *stopFor_; }
  QString reason() const { return reason_->text(); }

 private:
  const TextTable& texts_;
  record::TriggerSettings accepted_;
  QCheckBox* startAboveBox_;
  QDoubleSpinBox* startAbove_;
  QCheckBox* preRollBox_;
  QDoubleSpinBox* preRoll_;
  QCheckBox* stopBelowBox_;
  QDoubleSpinBox* stopBelow_;
  QCheckBox* stopForBox_;
  QDoubleSpinBox* stopFor_;
  QLabel* reason_;
};

}  // namespace vireo
