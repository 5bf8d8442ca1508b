// The About page, slot 3 of the tab control. Empty for now; its texts and links come later.
#pragma once

#include <QWidget>

namespace vireo {

class AboutPage : public QWidget {
 public:
  explicit AboutPage(QWidget* parent = nullptr);
};

}  // namespace vireo
