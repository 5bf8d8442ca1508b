// The logo and firmware page, slot 2 of the tab control. Empty for now; choosing an image and
// starting the upgrade come later.
#pragma once

#include <QWidget>

namespace vireo {

class FirmwarePage : public QWidget {
 public:
  explicit FirmwarePage(QWidget* parent = nullptr);
};

}  // namespace vireo
