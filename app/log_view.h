// The main window's log: read-only text on black, each piece in the colour of its level
// (0 blue, 1 green, 2 yellow bold, 3 and any other red bold). Text is inserted as plain text.
#pragma once

#include <QString>
#include <QTextCharFormat>
#include <QTextEdit>

namespace vireo {

class LogView : public QTextEdit {
 public:
  explicit LogView(QWidget* parent = nullptr);

  // Appends text without a line break, then scrolls to the end.
  void AppendLog(const QString& text, int level);
  void NewLogLine();
  void ClearLog();

  static QTextCharFormat LevelFormat(int level);

 private:
  void ScrollToEnd();
};

}  // namespace vireo
