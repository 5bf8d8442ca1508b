#include "pages/about/about_page.h"

namespace vireo {

AboutPage::AboutPage(QWidget* parent) : QWidget(parent) {}

}  // namespace vireo
