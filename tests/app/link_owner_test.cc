// The link owner on its own: every holder refuses every contender, only the holder can release,
// the release listener follows each release, and threads that contend never share the link.
#include "app/link_owner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace vireo {
namespace {

constexpr LinkUser kUsers[] = {LinkUser::kIdentification, LinkUser::kLive, LinkUser::kReadOut,
                               LinkUser::kUpgrade};

std::string Name(LinkUser user) {
  std::string name = LinkUserName(user);
  std::erase(name, '-');
  return name;
}

TEST(LinkOwner, StartsFreeAndEveryUserCanTakeAndGiveItBack) {
  for (LinkUser user : kUsers) {
    LinkOwner owner;
    EXPECT_TRUE(owner.IsFree());
    EXPECT_TRUE(owner.TryTake(user)) << Name(user);
    EXPECT_EQ(owner.Holder(), user);
    EXPECT_FALSE(owner.IsFree());
    EXPECT_TRUE(owner.Release(user));
    EXPECT_TRUE(owner.IsFree());
    EXPECT_TRUE(owner.TryTake(user)) << "taken again after the release";
  }
}

TEST(LinkOwner, NobodyIsNoUser) {
  LinkOwner owner;
  EXPECT_FALSE(owner.TryTake(LinkUser::kNone));
  EXPECT_FALSE(owner.Release(LinkUser::kNone));
  EXPECT_TRUE(owner.IsFree());
  int releases = 0;
  owner.SetReleaseListener([&] { ++releases; });
  EXPECT_FALSE(owner.Release(LinkUser::kLive)) << "a free link has nothing to release";
  EXPECT_EQ(releases, 0);
}

class LinkOwnerPair : public ::testing::TestWithParam<std::tuple<LinkUser, LinkUser>> {
 protected:
  LinkUser holder() const { return std::get<0>(GetParam()); }
  LinkUser contender() const { return std::get<1>(GetParam()); }
};

TEST_P(LinkOwnerPair, TheHolderRefusesTheContender) {
  LinkOwner owner;
  ASSERT_TRUE(owner.TryTake(holder()));
  EXPECT_FALSE(owner.TryTake(contender()));
  EXPECT_EQ(owner.Holder(), holder());
}

TEST_P(LinkOwnerPair, OnlyTheHolderCanRelease) {
  LinkOwner owner;
  int releases = 0;
  owner.SetReleaseListener([&] { ++releases; });
  ASSERT_TRUE(owner.TryTake(holder()));
  if (contender() != holder()) {
    EXPECT_FALSE(owner.Release(contender()));
    EXPECT_EQ(owner.Holder(), holder());
    EXPECT_EQ(releases, 0);
  }
  EXPECT_TRUE(owner.Release(holder()));
  EXPECT_EQ(releases, 1);
  EXPECT_FALSE(owner.Release(holder())) << "released twice";
  EXPECT_EQ(releases, 1);
  EXPECT_TRUE(owner.TryTake(contender())) << "free for the contender once released";
}

INSTANTIATE_TEST_SUITE_P(EveryPair, LinkOwnerPair,
                         ::testing::Combine(::testing::ValuesIn(kUsers),
                                            ::testing::ValuesIn(kUsers)),
                         [](const auto& test) {
                           return Name(std::get<0>(test.param)) + "_holds_" +
                                  Name(std::get<1>(test.param)) + "_asks";
                         });

TEST(LinkOwner, TheListenerRunsAfterTheReleaseAndSeesTheLinkFree) {
  LinkOwner owner;
  std::vector<LinkUser> seen;
  owner.SetReleaseListener([&] { seen.push_back(owner.Holder()); });
  for (LinkUser user : kUsers) {
    ASSERT_TRUE(owner.TryTake(user));
    ASSERT_TRUE(owner.Release(user));
  }
  EXPECT_EQ(seen, std::vector<LinkUser>(4, LinkUser::kNone));
}

TEST(LinkOwner, AThrowingListenerDoesNotUndoTheRelease) {
  LinkOwner owner;
  owner.SetReleaseListener([] { throw std::runtime_error("listener"); });
  ASSERT_TRUE(owner.TryTake(LinkUser::kReadOut));
  EXPECT_TRUE(owner.Release(LinkUser::kReadOut));
  EXPECT_TRUE(owner.IsFree());
}

// Four threads, one per user, take and give back the link until each has held it kTakes
// times. Inside, each counts itself as a holder: more than one at a time would be a broken
// rule. A plain counter written by the holder just before it releases is what the rule
// protects: with a broken rule, or one without the ordering of a lock, ThreadSanitizer
// reports a race on it. So that nothing but the owner orders the threads, every other counter
// belongs to one thread. Every release is followed by one listener call.
TEST(LinkOwner, ContendersOnManyThreadsNeverShareTheLink) {
  constexpr int kThreads = 4;
  constexpr int kTakes = 100000;
  struct Counts {
    std::atomic<int> takes{0}, refusals{0}, overlaps{0}, wrongReleases{0}, listenerCalls{0};
  };
  static thread_local int self = -1;
  Counts counts[kThreads];
  LinkOwner owner;
  std::atomic<int> holders{0};
  int guarded = 0;  // touched only by the holder
  owner.SetReleaseListener([&] { ++counts[self].listenerCalls; });
  std::atomic<bool> go{false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      self = t;
      Counts& mine = counts[t];
      const LinkUser me = kUsers[t];
      const LinkUser other = kUsers[(t + 1) % kThreads];
      while (!go) {
        std::this_thread::yield();
      }
      while (mine.takes < kTakes && std::chrono::steady_clock::now() < deadline) {
        if (!owner.TryTake(me)) {
          ++mine.refusals;
          continue;
        }
        if (holders.fetch_add(1) != 0 || owner.Holder() != me)
          ++mine.overlaps;
        if (owner.Release(other))  // a non-holder's release must change nothing
          ++mine.wrongReleases;
        holders.fetch_sub(1);
        ++guarded;
        ++mine.takes;
        if (!owner.Release(me))
          ++mine.wrongReleases;
      }
    });
  }
  go = true;
  for (std::thread& thread : threads)
    thread.join();
  int refusals = 0;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(counts[t].takes, kTakes) << t;
    EXPECT_EQ(counts[t].overlaps, 0) << t;
    EXPECT_EQ(counts[t].wrongReleases, 0) << t;
    EXPECT_EQ(counts[t].listenerCalls, kTakes) << t;
    refusals += counts[t].refusals;
  }
  EXPECT_EQ(guarded, kThreads * kTakes);
  EXPECT_TRUE(owner.IsFree());
  std::printf("%d takes, %d refusals while another held the link\n", kThreads * kTakes, refusals);
}

}  // namespace
}  // namespace vireo
