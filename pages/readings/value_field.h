// One value field of the readings page: coloured figures on a black field. The text is drawn
// as it stands, never read as markup, and in a smaller size only when it would not fit. A
// marked field (an alarm on its quantity is raised) has a red frame around the same figures;
// a dimmed one shows figures that are not live. Its font is the widget's, so a layout can scale
// it.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

namespace vireo {

class ValueField : public QWidget {
 public:
  ValueField(const QColor& colour, const QFont& font, QWidget* parent = nullptr);

  void SetText(const QString& text);
  const QString& text() const { return text_; }
  const QColor& colour() const { return colour_; }
  void SetMarked(bool marked);
  bool marked() const { return marked_; }
  // A dimmed field shows values that are not live, at half their brightness.
  void SetDimmed(bool dimmed);
  bool dimmed() const { return dimmed_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor colour_;
  QString text_;
  bool marked_ = false;
  bool dimmed_ = false;
};

}  // namespace vireo
