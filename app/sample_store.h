// SampleStore: the newest samples of one live quantity for the chart, right-aligned in a fixed
// array of 460 slots, one per pixel column of the plot. Only the GUI thread touches a store.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vireo {

struct SampleStore {
  static constexpr int kCapacity = 460;

  // The valid samples, oldest first; the newest is always the last slot.
  std::span<const float> Held() const {
    return std::span<const float>(slots).subspan(static_cast<size_t>(kCapacity - count));
  }

  int32_t count = 0;  // 0..460
  std::array<float, kCapacity> slots{};
};

// Empties the store; the slots keep what they held, but no longer count as samples.
void ClearStore(SampleStore& store);
// Moves every slot one place towards the start, puts the value into the last slot and counts
// it, up to 460. The cost is the same whatever the count.
void PushSample(SampleStore& store, float value);

}  // namespace vireo
