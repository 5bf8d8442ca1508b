// The meter's 64-byte frame: building requests and checking replies. Pure functions of bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vireo {

// A report of the meter's HID interface, each way: one frame.
inline constexpr uint32_t kReportBytes = 64;

using Frame = std::array<uint8_t, kReportBytes>;

inline constexpr uint8_t kFrameStart0 = 0xFF;
inline constexpr uint8_t kFrameStart1 = 0x55;
inline constexpr int kCommandOffset = 8;
inline constexpr int kLengthOffset = 9;
inline constexpr int kPayloadOffset = 10;
inline constexpr int kMaxPayload = 52;
inline constexpr int kDataChecksumOffset = 62;
inline constexpr int kFrameChecksumOffset = 63;

// Command and reply codes.
enum Command : uint8_t {
  kAcknowledge = 2,
  kQueryUpgradeMode = 3,
  kEndFlashUpdate = 4,
  kBeginFlashUpdate = 5,
  kErasePage = 8,
  kWriteFlash = 9,
  kReadFlash = 10,
  kReadFlashLong = 11,
  kShowText = 21,
  kClearScreen = 22,
  kUpgradeComplete = 23,
  kReadRecordMemory = 25,
  kStreamReadings = 26,
};

// Fills bytes 0..7 from the tick, the command, the payload (at most 52 bytes; more is cut)
// and both checksums.
Frame BuildFrame(uint8_t command, std::span<const uint8_t> payload, bool wantsReply, uint32_t tick);

// Recomputes bytes 62 and 63 from the rest of the frame.
void SealFrame(Frame& frame);

// True when the start bytes and both checksums hold.
bool IsValidFrame(const Frame& frame);

// Little-endian helpers for payloads.
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t GetU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace vireo
