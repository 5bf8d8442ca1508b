// The About page, slot 3 of the tab control: the product's logo, an etched line, "ZEV-", the
// maker's name and the legal notice, at the layout's places. It has no handlers.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QWidget>

#include "pages/dialog_units.h"

namespace vireo {

class AboutPage : public QWidget {
 public:
  static constexpr const char* kMakerName = "VireoMeter";
  static constexpr const char* kLegalNotice = "Free software, GPL-3.0-or-later";

  // Laid out in `units`, those of the window's font.
  explicit AboutPage(const DialogUnits& units = DialogUnits::Of(QFont()),
                     QWidget* parent = nullptr);

  const QLabel& picture() const { return *picture_; }
  const QFrame& line() const { return *line_; }
  const QLabel& series() const { return *series_; }
  const QLabel& maker() const { return *maker_; }
  const QLabel& legalNotice() const { return *legal_; }

 private:
  void ShowLogo();

  DialogLayout* layout_;
  QLabel* picture_;
  QFrame* line_;
  QLabel* series_;
  QLabel* maker_;
  QLabel* legal_;
};

// The product's logo at a size of the icon theme (16 to 256 pixels); null if none was built in.
QPixmap ProductLogo(int size);
// The logo at every size, for window icons.
QIcon ProductIcon();

}  // namespace vireo
