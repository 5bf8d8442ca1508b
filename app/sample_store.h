// SampleStore: the newest samples of one live quantity for the chart, right-aligned in a fixed
// array of 460 slots, one per pixel column of the plot. Only the GUI thread touches a store.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vireo {

struct AppState;

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

// The three chart stores are always cleared together, so their counts stay equal.
void ClearStores(AppState& state);

// The sample period in ms of a rate combo index: 100, 50, 20, 10, 5, 2 and 1 Hz; any other
// index (none selected) counts as 1 s.
uint32_t SamplePeriodForRate(int rateIndex);

// One tick of the chart page's sampling timer: in Live mode while the live stream runs, one
// sample of each quantity from the current readings (the fast voltage and current below
// 100 ms). True when it sampled; the page then repaints and re-arms its timer.
bool SamplingTick(AppState& state, bool liveMode, uint32_t samplePeriodMs);

}  // namespace vireo
