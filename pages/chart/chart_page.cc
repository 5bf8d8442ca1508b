#include "pages/chart/chart_page.h"

namespace vireo {

ChartPage::ChartPage(QWidget* parent) : QWidget(parent) {}

}  // namespace vireo
