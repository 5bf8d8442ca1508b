// One value field of the readings page: coloured figures on a black field. The text is drawn
// as it stands, never read as markup, and in a smaller size only when it would not fit.
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

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor colour_;
  QFont font_;
  QString text_;
};

}  // namespace vireo
