#include "gui/log_view.h"

#include <QScrollBar>
#include <QTextCursor>

namespace vireo {

LogView::LogView(QWidget* parent) : QTextEdit(parent) {
  setReadOnly(true);
  setAcceptRichText(false);
  setLineWrapMode(QTextEdit::WidgetWidth);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // Set on the widget itself, so that no skin can take the black away from the coloured text.
  setStyleSheet(QStringLiteral("QTextEdit { background-color: black; }"));
}

QTextCharFormat LogView::LevelFormat(LogLevel level) {
  const LogStyle style = StyleOf(level);
  QTextCharFormat format;
  format.setForeground(QColor(style.red, style.green, style.blue));
  format.setFontWeight(style.bold ? QFont::Bold : QFont::Normal);
  return format;
}

void LogView::AppendLog(const QString& text, LogLevel level) {
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text, LevelFormat(level));
  ScrollToEnd();
}

void LogView::NewLogLine() {
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertBlock();
  ScrollToEnd();
}

void LogView::ClearLog() {
  clear();
  moveCursor(QTextCursor::End);
}

void LogView::ScrollToEnd() {
  QScrollBar* bar = verticalScrollBar();
  bar->setValue(bar->maximum());
}

}  // namespace vireo
