// The meter's firmware version byte as the program shows it.
#pragma once

#include <cstdint>
#include <string>

namespace vireo {

// "x.y": the major version is the byte's high nibble, the minor its low nibble (0x15 is
// "1.5", 0xA0 is "10.0").
std::string FirmwareVersionText(uint8_t version);

}  // namespace vireo
