#include "meter/firmware_version.h"

namespace vireo {

std::string FirmwareVersionText(uint8_t version) {
  return std::to_string(version >> 4) + "." + std::to_string(version & 0x0F);
}

}  // namespace vireo
