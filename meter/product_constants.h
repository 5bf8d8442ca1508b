// The meter's fixed tables and identifier, shared by the program, the emulator and the tests.
#pragma once

#include <array>
#include <cstdint>

namespace vireo {

// A stored firmware image byte b reads as kImageTable[b].
extern const std::array<uint8_t, 256> kImageTable;
// A stored identity-block byte b reads as kIdentityTable[b].
extern const std::array<uint8_t, 256> kIdentityTable;
// The identifier that a firmware image for this meter carries at header offset 20.
extern const std::array<uint8_t, 16> kProductIdentifier;

// Both tables are permutations; the inverse turns plain bytes into stored ones.
std::array<uint8_t, 256> InvertTable(const std::array<uint8_t, 256>& table);

}  // namespace vireo
