// The chart page, slot 1 of the tab control. Empty for now; its curves and controls come later.
#pragma once

#include <QWidget>

namespace vireo {

class ChartPage : public QWidget {
 public:
  explicit ChartPage(QWidget* parent = nullptr);
};

}  // namespace vireo
