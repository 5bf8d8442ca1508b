#include "meter/frame.h"

#include <algorithm>

namespace vireo {

namespace {

uint8_t Sum(const Frame& frame, int from, int to) {
  unsigned sum = 0;
  for (int i = from; i <= to; ++i)
    sum += frame[i];
  return static_cast<uint8_t>(sum);
}

}  // namespace

Frame BuildFrame(uint8_t command, std::span<const uint8_t> payload, bool wantsReply,
                 uint32_t tick) {
  Frame frame{};
  frame[0] = kFrameStart0;
  frame[1] = kFrameStart1;
  frame[2] = static_cast<uint8_t>(tick / 1000);
  frame[3] = static_cast<uint8_t>(tick % 1000);
  frame[4] = static_cast<uint8_t>((wantsReply ? 0x80 : 0) | ((tick / 30) % 128));
  frame[5] = static_cast<uint8_t>(tick / 100);
  frame[6] = static_cast<uint8_t>(tick % 100);
  frame[7] = static_cast<uint8_t>(tick / 80);
  frame[kCommandOffset] = command;
  const size_t n = std::min<size_t>(payload.size(), kMaxPayload);
  if (n > 0) {
    std::copy_n(payload.begin(), n, frame.begin() + kPayloadOffset);
    frame[kLengthOffset] = static_cast<uint8_t>(n);
  }
  SealFrame(frame);
  return frame;
}

void SealFrame(Frame& frame) {
  frame[kDataChecksumOffset] = Sum(frame, kCommandOffset, 61);
  frame[kFrameChecksumOffset] = Sum(frame, 0, 61);
}

bool IsValidFrame(const Frame& frame) {
  return frame[0] == kFrameStart0 && frame[1] == kFrameStart1 &&
         frame[kDataChecksumOffset] == Sum(frame, kCommandOffset, 61) &&
         frame[kFrameChecksumOffset] == Sum(frame, 0, 61);
}

}  // namespace vireo
