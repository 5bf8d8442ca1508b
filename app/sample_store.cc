#include "app/sample_store.h"

#include <algorithm>

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

}  // namespace vireo
