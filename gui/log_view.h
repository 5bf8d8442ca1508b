// The main window's log: read-only text on black, each piece in the colour of its level (the
// log styles of app/reporter.h). Text is inserted as plain text.
#pragma once

#include <QString>
#include <QTextCharFormat>
#include <QTextEdit>

#include "app/reporter.h"

namespace vireo {

class LogView : public QTextEdit {
 public:
  explicit LogView(QWidget* parent = nullptr);

  // Appends text without a line break, then scrolls to the end.
  void AppendLog(const QString& text, LogLevel level);
  void NewLogLine();
  void ClearLog();

  static QTextCharFormat LevelFormat(LogLevel level);

 private:
  void ScrollToEnd();
};

}  // namespace vireo
