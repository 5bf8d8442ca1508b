// The chart's sample stores and the sampling tick that fills them from the current readings.
#include "app/sample_store.h"

#include <gtest/gtest.h>

#include "app/app_state.h"

namespace vireo {
namespace {

TEST(SampleStore, FillsUpToTheCapacityThenDropsTheOldest) {
  SampleStore store;
  for (int i = 1; i <= 459; ++i)
    PushSample(store, static_cast<float>(i));
  EXPECT_EQ(store.count, 459);
  EXPECT_EQ(store.Held().size(), 459u);
  EXPECT_EQ(store.Held().front(), 1.0f);
  EXPECT_EQ(store.slots[459], 459.0f);
  PushSample(store, 460.0f);
  EXPECT_EQ(store.count, 460);
  EXPECT_EQ(store.slots[0], 1.0f);
  PushSample(store, 461.0f);
  EXPECT_EQ(store.count, 460);
  EXPECT_EQ(store.slots[0], 2.0f);
  EXPECT_EQ(store.slots[459], 461.0f);
}

TEST(SampleStore, AClearThenOnePushHoldsOneSampleInTheLastSlot) {
  SampleStore store;
  for (int i = 0; i < 10; ++i)
    PushSample(store, 1.0f);
  ClearStore(store);
  EXPECT_EQ(store.count, 0);
  EXPECT_TRUE(store.Held().empty());
  PushSample(store, 7.5f);
  EXPECT_EQ(store.count, 1);
  ASSERT_EQ(store.Held().size(), 1u);
  EXPECT_EQ(store.Held()[0], 7.5f);
  EXPECT_EQ(store.slots[459], 7.5f);
}

TEST(SamplePeriod, RateIndexToPeriod) {
  const uint32_t expected[] = {10, 20, 50, 100, 200, 500, 1000};
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(SamplePeriodForRate(i), expected[i]) << i;
  EXPECT_EQ(SamplePeriodForRate(-1), 1000u);
  EXPECT_EQ(SamplePeriodForRate(7), 1000u);
}

class SamplingTickTest : public ::testing::Test {
 protected:
  SamplingTickTest() {
    ReadingsRecord r;
    r.voltage = 5.0f;
    r.current = 1.0f;
    r.voltageFast = 5.5f;
    r.currentFast = 1.5f;
    r.tempExternal = 30.0f;
    r.tempInternal = 40.0f;
    state.readings.Store(r);
    state.LiveRunning = 1;
  }
  AppState state;
};

TEST_F(SamplingTickTest, FastRatesTakeTheFastFieldsAndTemperatureAlwaysTheProbe) {
  for (uint32_t period : {10u, 20u, 50u}) {
    ClearStores(state);
    EXPECT_TRUE(SamplingTick(state, true, period));
    EXPECT_EQ(state.VoltageStore.Held().back(), 5.5f) << period;
    EXPECT_EQ(state.CurrentStore.Held().back(), 1.5f) << period;
    EXPECT_EQ(state.TemperatureStore.Held().back(), 30.0f) << period;
  }
  for (uint32_t period : {100u, 1000u}) {
    ClearStores(state);
    EXPECT_TRUE(SamplingTick(state, true, period));
    EXPECT_EQ(state.VoltageStore.Held().back(), 5.0f) << period;
    EXPECT_EQ(state.CurrentStore.Held().back(), 1.0f) << period;
    EXPECT_EQ(state.TemperatureStore.Held().back(), 30.0f) << period;
  }
}

TEST_F(SamplingTickTest, NothingIsSampledInRecordsModeOrWithoutAStream) {
  EXPECT_FALSE(SamplingTick(state, false, 10));
  state.LiveRunning = 0;
  EXPECT_FALSE(SamplingTick(state, true, 10));
  EXPECT_EQ(state.VoltageStore.count, 0);
  EXPECT_EQ(state.CurrentStore.count, 0);
  EXPECT_EQ(state.TemperatureStore.count, 0);
}

TEST_F(SamplingTickTest, TheStoresAreClearedAndPushedTogether) {
  for (int i = 0; i < 3; ++i)
    SamplingTick(state, true, 10);
  EXPECT_EQ(state.VoltageStore.count, 3);
  EXPECT_EQ(state.CurrentStore.count, 3);
  EXPECT_EQ(state.TemperatureStore.count, 3);
  ClearStores(state);
  EXPECT_EQ(state.VoltageStore.count + state.CurrentStore.count + state.TemperatureStore.count, 0);
}

}  // namespace
}  // namespace vireo
