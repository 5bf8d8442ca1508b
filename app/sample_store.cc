#include "app/sample_store.h"

#include <algorithm>

#include "app/app_state.h"

namespace vireo {

void ClearStore(SampleStore& store) {
  store.count = 0;
}

void PushSample(SampleStore& store, float value) {
  std::copy(store.slots.begin() + 1, store.slots.end(), store.slots.begin());
  store.slots.back() = value;
  if (store.count < SampleStore::kCapacity)
    ++store.count;
}

void ClearStores(AppState& state) {
  ClearStore(state.VoltageStore);
  ClearStore(state.CurrentStore);
  ClearStore(state.TemperatureStore);
}

uint32_t SamplePeriodForRate(int rateIndex) {
  static constexpr uint32_t kPeriods[] = {10, 20, 50, 100, 200, 500, 1000};
  if (rateIndex < 0 || rateIndex >= static_cast<int>(std::size(kPeriods)))
    return 1000;
  return kPeriods[rateIndex];
}

bool SamplingTick(AppState& state, bool liveMode, uint32_t samplePeriodMs) {
  if (!liveMode || !state.LiveRunning)
    return false;
  // Each field is read once; the three may come from two successive frames.
  const ReadingsRecord r = state.readings.Load();
  const bool fast = samplePeriodMs < 100;
  PushSample(state.VoltageStore, fast ? r.voltageFast : r.voltage);
  PushSample(state.CurrentStore, fast ? r.currentFast : r.current);
  PushSample(state.TemperatureStore, r.tempExternal);
  return true;
}

}  // namespace vireo
