#include "app/worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::WaitFor;

TEST(Worker, RunsOnceForEachRequestAndDropsRequestsWhileRunning) {
  std::atomic<int> runs{0};
  std::atomic<bool> release{false};
  Worker worker([&] {
    ++runs;
    WaitFor([&] { return release.load(); });
  });
  ASSERT_TRUE(worker.RequestRun());
  ASSERT_TRUE(WaitFor([&] { return runs == 1; }));
  EXPECT_TRUE(worker.IsRunning());
  EXPECT_TRUE(worker.RequestRun());  // dropped
  release = true;
  worker.WaitIdle();
  EXPECT_FALSE(worker.IsRunning());
  EXPECT_EQ(runs, 1);
  ASSERT_TRUE(worker.RequestRun());
  worker.WaitIdle();
  EXPECT_EQ(runs, 2);
}

TEST(Worker, AfterRunFollowsEveryRun) {
  std::atomic<int> runs{0};
  std::atomic<int> after{0};
  Worker worker([&] { ++runs; }, [&] { after = runs.load(); });
  ASSERT_TRUE(worker.RequestRun());
  ASSERT_TRUE(WaitFor([&] { return after == 1; }));
  ASSERT_TRUE(worker.RequestRun());
  ASSERT_TRUE(WaitFor([&] { return after == 2; }));
}

TEST(Worker, AThrowingBodyEndsOnlyItsRun) {
  std::atomic<int> runs{0};
  Worker worker([&] {
    ++runs;
    throw std::runtime_error("meter gone");
  });
  worker.RequestRun();
  ASSERT_TRUE(WaitFor([&] { return runs == 1 && !worker.IsRunning(); }));
  worker.RequestRun();
  ASSERT_TRUE(WaitFor([&] { return runs == 2; }));
}

TEST(Worker, StopJoinsAndRefusesFurtherRequests) {
  Worker worker([] {});
  worker.Stop();
  EXPECT_FALSE(worker.RequestRun());
  EXPECT_FALSE(worker.IsRunning());
  worker.WaitIdle();  // returns at once
  worker.Stop();      // twice is harmless
}

}  // namespace
}  // namespace vireo
