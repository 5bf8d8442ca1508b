#include "pages/firmware/firmware_page.h"

namespace vireo {

FirmwarePage::FirmwarePage(QWidget* parent) : QWidget(parent) {}

}  // namespace vireo
