#include "app/log_view.h"

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

QTextCharFormat LogView::LevelFormat(int level) {
  QTextCharFormat format;
  switch (level) {
    case 0:
      format.setForeground(QColor(64, 131, 242));
      format.setFontWeight(QFont::Normal);
      break;
    case 1:
      format.setForeground(QColor(128, 186, 1));
      format.setFontWeight(QFont::Normal);
      break;
    case 2:
      format.setForeground(QColor(204, 204, 17));
      format.setFontWeight(QFont::Bold);
      break;
    default:
      format.setForeground(QColor(219, 6, 1));
      format.setFontWeight(QFont::Bold);
      break;
  }
  return format;
}

void LogView::AppendLog(const QString& text, int level) {
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
