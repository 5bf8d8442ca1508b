// The requests that use the meter link, against each other: START, ReadOff, DFUSTART and the
// identification on device changes, while the live stream, a read-out, an upgrade or an
// identification holds the link; what a refusal looks like, that every request that does not
// go on gives the link back, and that the requests never share the link when they come from
// several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/identify.h"
#include "app/live_control.h"
#include "app/read_out_control.h"
#include "app/upgrade_control.h"
#include "sim/test_image.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::LogEntry;
using testing::RecordingReporter;
using testing::WaitFor;

const std::string kBusy = "T34";

// Counts the red lines that tell of a second user on the link (the meter held elsewhere, a
// broken exchange), which START's clearing of the log would otherwise take away. The upgrade
// sequence's own refusal of a meter in normal mode is not one of them.
class CountingReporter : public RecordingReporter {
 public:
  void AppendLog(const std::string& text, LogLevel level) override {
    if (level == LogLevel::kError && (text == "T31" || text.find("T29") != std::string::npos))
      ++errors;
    RecordingReporter::AppendLog(text, level);
  }
  std::atomic<int> errors{0};
};

enum class Request { kStart, kReadOff, kDfuStart, kIdentify };

const char* RequestName(Request request) {
  switch (request) {
    case Request::kStart:
      return "START";
    case Request::kReadOff:
      return "ReadOff";
    case Request::kDfuStart:
      return "DFUSTART";
    case Request::kIdentify:
      return "Identification";
  }
  return "?";
}

class LinkRequestsTest : public testing::VirtualMeterTest {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    testing::NumberTexts(state.texts);
    link.Configure();
    state.ProgramFolder = folder_.string() + "/";  // a read-out writes below it
    dfuStart.firmwarePath = (folder_ / "app.lrm").string();
    ASSERT_TRUE(sim::WriteTestImage(dfuStart.firmwarePath));
    state.linkOwner.SetReleaseListener([this] { ++releases; });
  }
  void TearDown() override {
    live.Shutdown();
    readOut.Shutdown();
    upgrade.Shutdown();
    state.linkOwner.SetReleaseListener({});
    VirtualMeterTest::TearDown();
  }

  // A meter that streams fast and can be read out and upgraded, identified as start-up does.
  void PlugAndIdentify() {
    sim::EmulatorOptions options;
    options.frameIntervalUs = 2000;
    options.versionByte = 0x15;
    options.serial = "ABCDEF";
    PlugMeter(options);
    ASSERT_TRUE(IdentifyIfFree(link, state, reporter));
    reporter.ClearLog();
    releases = 0;
  }

  // Makes `holder` hold the link: the live stream for real, the others as a sequence in
  // progress does (their bodies end at once, so a test holds the link in their place).
  void Hold(LinkUser holder) {
    if (holder == LinkUser::kLive) {
      live.Start();
      ASSERT_EQ(state.LiveRunning, 1);
      ASSERT_TRUE(WaitFor([&] { return state.readings.Load().voltage > 0; }));
    } else {
      ASSERT_TRUE(state.linkOwner.TryTake(holder));
    }
    ASSERT_EQ(state.linkOwner.Holder(), holder);
  }

  void Free(LinkUser holder) {
    if (holder == LinkUser::kLive) {
      live.Stop();
    } else {
      ASSERT_TRUE(state.linkOwner.Release(holder));
    }
    ASSERT_TRUE(WaitFor([&] { return state.linkOwner.IsFree(); }));
  }

  // Asks as the button or the device change does; true when the request was taken on.
  bool Ask(Request request) {
    switch (request) {
      case Request::kStart:
        live.Start();
        return state.LiveRunning == 1;
      case Request::kReadOff:
        return readOut.Request();
      case Request::kDfuStart:
        return upgrade.Request(dfuStart);
      case Request::kIdentify:
        return IdentifyIfFree(link, state, reporter);
    }
    return false;
  }

  AppState state;
  MeterLink link;
  CountingReporter reporter;
  UpgradeRequest dfuStart;
  std::atomic<int> releases{0};
  LiveControl live{link, state, reporter};
  ReadOutControl readOut{link, state, reporter};
  UpgradeControl upgrade{link, state, reporter};
};

class RequestWhileHeld : public LinkRequestsTest,
                         public ::testing::WithParamInterface<std::tuple<LinkUser, Request>> {};

TEST_P(RequestWhileHeld, IsRefusedAndRunsOnceTheHolderHasReleased) {
  const auto [holder, request] = GetParam();
  PlugAndIdentify();
  Hold(holder);
  const int clears = reporter.clears();
  const std::vector<LogEntry> log = reporter.log();
  const std::string usb = reporter.status(StatusField::kUsb);
  const size_t beeps = reporter.beeps().size();

  const bool taken = Ask(request);
  if (request != Request::kStart || holder != LinkUser::kLive) {  // else: the running stream
    EXPECT_FALSE(taken);
  }
  EXPECT_EQ(state.linkOwner.Holder(), holder);
  if (request == Request::kIdentify) {
    // The identification says nothing: it waits for the release and is asked again then.
    EXPECT_TRUE(reporter.messages().empty());
  } else if (request == Request::kStart && holder == LinkUser::kLive) {
    EXPECT_TRUE(reporter.messages().empty()) << "a second START does nothing";
  } else {
    EXPECT_EQ(reporter.messages(), std::vector<std::string>{kBusy});
  }
  // Nothing else happened: the log is neither cleared nor written, no beep, no status.
  EXPECT_EQ(reporter.clears(), clears);
  if (holder != LinkUser::kLive) {  // the stream writes its progress, but no log line
    EXPECT_EQ(reporter.log(), log);
  }
  EXPECT_EQ(reporter.beeps().size(), beeps);
  EXPECT_EQ(reporter.status(StatusField::kUsb), usb);

  const int releasesBefore = releases;
  Free(holder);
  EXPECT_EQ(releases, releasesBefore + 1) << "the release listener follows the release";
  EXPECT_TRUE(Ask(request));
  if (request == Request::kStart)
    live.Stop();
  // A request that went on gives the link back when its sequence has ended.
  EXPECT_TRUE(WaitFor([&] { return state.linkOwner.IsFree(); }));
  EXPECT_EQ(releases, releasesBefore + 2);
}

INSTANTIATE_TEST_SUITE_P(
    EveryHolder, RequestWhileHeld,
    ::testing::Combine(::testing::Values(LinkUser::kIdentification, LinkUser::kLive,
                                         LinkUser::kReadOut, LinkUser::kUpgrade),
                       ::testing::Values(Request::kStart, Request::kReadOff, Request::kDfuStart,
                                         Request::kIdentify)),
    [](const auto& test) {
      std::string holder = LinkUserName(std::get<0>(test.param));
      std::erase(holder, '-');
      return std::string(RequestName(std::get<1>(test.param))) + "_while_" + holder;
    });

// A request whose own checks fail (no meter, firmware too old, a meter that cannot be
// upgraded) gives the link back at once.
struct FailedCheck {
  const char* name;
  Request request;
  bool meter;
  uint8_t version;
};

class RequestThatFails : public LinkRequestsTest,
                         public ::testing::WithParamInterface<FailedCheck> {};

TEST_P(RequestThatFails, GivesTheLinkBack) {
  const FailedCheck& check = GetParam();
  if (check.meter) {
    sim::EmulatorOptions options;
    options.versionByte = check.version;
    PlugMeter(options);
    Identify(link, state, reporter);
  }
  EXPECT_FALSE(Ask(check.request));
  EXPECT_TRUE(state.linkOwner.IsFree());
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(state.LiveRunning, 0);
  EXPECT_FALSE(readOut.IsRunning());
  EXPECT_FALSE(upgrade.IsRunning());
}

INSTANTIATE_TEST_SUITE_P(
    EveryCheck, RequestThatFails,
    ::testing::Values(FailedCheck{"StartWithoutMeter", Request::kStart, false, 0},
                      FailedCheck{"StartWithOldFirmware", Request::kStart, true, 0x14},
                      FailedCheck{"ReadOffWithoutMeter", Request::kReadOff, false, 0},
                      FailedCheck{"ReadOffWithOldFirmware", Request::kReadOff, true, 0x14},
                      FailedCheck{"DfuStartWithoutMeter", Request::kDfuStart, false, 0},
                      FailedCheck{"DfuStartUnsupportedMeter", Request::kDfuStart, true, 0x10}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(LinkRequestsTest, ARequestAfterShutdownGivesTheLinkBack) {
  PlugAndIdentify();
  readOut.Shutdown();
  upgrade.Shutdown();
  live.Shutdown();
  for (Request request : {Request::kStart, Request::kReadOff, Request::kDfuStart}) {
    EXPECT_FALSE(Ask(request)) << RequestName(request);
    EXPECT_TRUE(state.linkOwner.IsFree()) << RequestName(request);
  }
}

// START, ReadOff, DFUSTART and the identification from four threads at once against one meter.
// Whoever holds the link is alone on it: a second user would find the meter held (the
// emulator serves one client at a time, TXT_ERR_OPEN) or race on the link (ThreadSanitizer).
TEST_F(LinkRequestsTest, RequestsFromSeveralThreadsNeverShareTheLink) {
  PlugAndIdentify();
  std::atomic<int> accepted[4] = {};
  std::atomic<int> refused{0};
  std::atomic<bool> go{false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  // Each asks until it has been taken on `wanted` times.
  auto contender = [&](Request request, int wanted) {
    return std::thread([&, request, wanted] {
      std::atomic<int>& mine = accepted[static_cast<int>(request)];
      while (!go)
        std::this_thread::yield();
      while (mine < wanted && std::chrono::steady_clock::now() < deadline) {
        if (!Ask(request)) {
          ++refused;
          std::this_thread::yield();
          continue;
        }
        ++mine;
        if (request == Request::kStart) {
          live.RequestStop();
          WaitFor([&] { return state.LiveRunning == 0; });
        }
      }
    });
  };
  std::vector<std::thread> threads;
  threads.push_back(contender(Request::kStart, 5));
  threads.push_back(contender(Request::kReadOff, 100));
  threads.push_back(contender(Request::kDfuStart, 100));
  threads.push_back(contender(Request::kIdentify, 20));
  go = true;
  for (std::thread& thread : threads)
    thread.join();
  ASSERT_TRUE(WaitFor([&] { return state.linkOwner.IsFree(); }));

  for (const std::string& message : reporter.messages())
    EXPECT_EQ(message, kBusy);
  EXPECT_EQ(accepted[0], 5);
  EXPECT_EQ(accepted[1], 100);
  EXPECT_EQ(accepted[2], 100);
  EXPECT_EQ(accepted[3], 20);
  EXPECT_EQ(reporter.errors, 0);
  EXPECT_FALSE(link.IsOpen());
  std::printf("%d requests refused while another held the link\n", refused.load());
}

}  // namespace
}  // namespace vireo
