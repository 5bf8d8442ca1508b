// AlarmsDialog: the alarms of the desktop program, one row per rule: a checkbox that switches
// it on and off, the rule's text, the parser's sentence (with its column) beside a rule that is
// wrong, and a button that removes the row. Rules are checked as they are typed; OK is refused
// while one is wrong or two switched-on rules share a name. OK writes the alarms file in the
// command line's format (a rule switched off as "# disabled: RULE") and stays open with the
// reason when the file cannot be written.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <string>
#include <vector>

#include "alarms/alarm_file.h"
#include "text/text_table.h"

namespace vireo {

class AlarmsDialog : public QDialog {
 public:
  // The rows are the file's rules; a file that cannot be read gives none.
  AlarmsDialog(const TextTable& texts, std::string path, QWidget* parent = nullptr);

  struct Row {
    QWidget* widget;
    QCheckBox* enabled;
    QLineEdit* rule;
    QLabel* error;  // empty while the rule is fine
    QPushButton* remove;
  };
  const std::vector<Row>& rows() const { return rows_; }
  // A new row, its field focused.
  Row& AddRow(const alarms::AlarmFileEntry& entry = {});
  QPushButton& addButton() { return *add_; }
  QPushButton& okButton() { return *ok_; }
  QLabel& fileError() { return *fileError_; }
  // The rows as the file keeps them; empty rows are left out.
  std::vector<alarms::AlarmFileEntry> Entries() const;

  void accept() override;

 private:
  void RemoveRow(QWidget* row);
  // Checks every row, shows the errors and allows OK when there is none.
  void Check();

  const TextTable& texts_;
  const std::string path_;
  QVBoxLayout* rowsLayout_;
  std::vector<Row> rows_;
  QPushButton* add_;
  QPushButton* ok_;
  QLabel* fileError_;
};

}  // namespace vireo
