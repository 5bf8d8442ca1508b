// The request-side checks of ReadOff and DFUSTART, as far as they look at the meter's identity.
#include <atomic>
#include <memory>
#include <mutex>
#include <type_traits>

#include "app/identify.h"
#include "app/read_out_control.h"
#include "app/upgrade_control.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::LogEntry;
using testing::RecordingReporter;
using testing::WaitFor;

// Records the log as the request left it: a sequence that runs after an accepted request
// starts by clearing the log, and what stood there then is kept.
class RequestReporter : public RecordingReporter {
 public:
  void ClearLog() override {
    if (armed_.exchange(false)) {
      std::lock_guard lock(mutex_);
      atSequence_ = lines();
      sequenceCleared_ = true;
    }
    RecordingReporter::ClearLog();
  }
  // The next clear is the sequence's.
  void Arm() { armed_ = true; }
  std::vector<LogEntry> requestLines() const {
    std::lock_guard lock(mutex_);
    return sequenceCleared_ ? atSequence_ : lines();
  }

 private:
  std::atomic<bool> armed_{false};
  mutable std::mutex mutex_;
  bool sequenceCleared_ = false;
  std::vector<LogEntry> atSequence_;
};

// Either control behind one face, so each case runs for both. An accepted request is followed
// to the end of its sequence.
class Control {
 public:
  virtual ~Control() = default;
  virtual bool Request() = 0;
};

template <typename T>
class ControlOf : public Control {
 public:
  ControlOf(MeterLink& link, AppState& state, RequestReporter& reporter)
      : reporter_(reporter), control_(link, state, reporter) {}
  bool Request() override {
    if constexpr (std::is_same_v<T, UpgradeControl>) {
      reporter_.Arm();
      UpgradeRequest request;
      request.firmwarePath = "fw.lrm";
      const bool accepted = control_.Request(request);
      control_.WaitIdle();
      return accepted;
    } else {
      // The read-out's sequence also starts by clearing the log.
      reporter_.Arm();
      const bool accepted = control_.Request();
      WaitFor([this] { return !control_.IsRunning(); });
      return accepted;
    }
  }

 private:
  RequestReporter& reporter_;
  T control_;
};

class RequestTest : public testing::VirtualMeterTest {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    testing::NumberTexts(state.texts);
    // A read-out that runs writes its file under the test's own folder.
    state.ProgramFolder = folder_.string() + "/";
    link.Configure();
  }
  AppState state;
  MeterLink link;
  RequestReporter reporter;
};

enum class Kind { kReadOut, kUpgrade };

void PrintTo(Kind kind, std::ostream* os) {
  *os << (kind == Kind::kReadOut ? "ReadOut" : "Upgrade");
}

class ControlRequestTest : public RequestTest, public ::testing::WithParamInterface<Kind> {
 protected:
  void SetUp() override {
    RequestTest::SetUp();
    if (GetParam() == Kind::kReadOut) {
      control = std::make_unique<ControlOf<ReadOutControl>>(link, state, reporter);
    } else {
      control = std::make_unique<ControlOf<UpgradeControl>>(link, state, reporter);
    }
  }
  void TearDown() override {
    control.reset();
    RequestTest::TearDown();
  }

  // Identifies while another program holds the meter, as a start-up may have.
  void FailAnIdentification() {
    MeterLink holder;
    holder.Configure();
    ASSERT_TRUE(holder.Open());
    ASSERT_FALSE(Identify(link, state, reporter));
    reporter.ClearLog();
  }

  std::unique_ptr<Control> control;
};

TEST_P(ControlRequestTest, IdentifiesAgainWhenTheLastIdentificationFailed) {
  PlugMeter();
  FailAnIdentification();
  EXPECT_TRUE(control->Request());
  // No firmware notice; a read-out that ran reports its file.
  for (const std::string& notice : reporter.notices())
    EXPECT_NE(notice, testing::kFirmwareTooOldNotice);
  EXPECT_TRUE(reporter.messages().empty());
  EXPECT_EQ(reporter.requestLines(), (std::vector<LogEntry>{{"T6", 1}}));
  EXPECT_EQ(reporter.status(StatusField::kVersion), "T1:1.5");
  // The worker's sequence gives the link back.
  EXPECT_TRUE(WaitFor([&] { return state.linkOwner.IsFree(); }));
}

TEST_P(ControlRequestTest, ReportsAFailedIdentificationInsteadOfCheckingTheVersion) {
  PlugMeter();
  MeterLink holder;
  holder.Configure();
  ASSERT_TRUE(holder.Open());
  EXPECT_FALSE(control->Request());
  ASSERT_FALSE(link.lastOpenError().message.empty());
  EXPECT_EQ(reporter.requestLines(),
            (std::vector<LogEntry>{{"T31", 3}, {link.lastOpenError().message, 2}}));
  EXPECT_EQ(reporter.beeps(), std::vector<bool>{false});
  EXPECT_TRUE(reporter.notices().empty());
  EXPECT_TRUE(reporter.messages().empty());
  EXPECT_TRUE(state.linkOwner.IsFree());
}

TEST_P(ControlRequestTest, UsesAKnownIdentityWithoutAskingTheMeter) {
  sim::VirtualMeter& meter = PlugMeter();
  ASSERT_TRUE(Identify(link, state, reporter));
  reporter.ClearLog();
  meter.faults().silent = true;  // an identification now would fail
  EXPECT_TRUE(control->Request());
  EXPECT_TRUE(reporter.requestLines().empty());
  EXPECT_TRUE(WaitFor([&] { return state.linkOwner.IsFree(); }));
}

INSTANTIATE_TEST_SUITE_P(Controls, ControlRequestTest,
                         ::testing::Values(Kind::kReadOut, Kind::kUpgrade), [](const auto& p) {
                           return p.param == Kind::kReadOut ? "ReadOut" : "Upgrade";
                         });

class ReadOutRequestTest : public RequestTest {
 protected:
  ReadOutControl readOut{link, state, reporter};
};

TEST_F(ReadOutRequestTest, OldFirmwareFoundByTheRequestGivesTheNoticeOnce) {
  sim::EmulatorOptions options;
  options.versionByte = 0x14;
  PlugMeter(options);
  EXPECT_FALSE(readOut.Request());
  EXPECT_EQ(reporter.notices(), std::vector<std::string>{testing::kFirmwareTooOldNotice});
  EXPECT_TRUE(state.linkOwner.IsFree());
}

TEST_F(ReadOutRequestTest, OldFirmwareKnownFromBeforeGivesTheNotice) {
  sim::EmulatorOptions options;
  options.versionByte = 0x14;
  PlugMeter(options);
  ASSERT_TRUE(Identify(link, state, reporter, OldFirmware::kQuiet));
  EXPECT_FALSE(readOut.Request());
  EXPECT_EQ(reporter.notices(), std::vector<std::string>{testing::kFirmwareTooOldNotice});
}

class UpgradeRequestTest : public RequestTest {
 protected:
  UpgradeControl upgrade{link, state, reporter};
};

TEST_F(UpgradeRequestTest, AnUnsupportedMeterFoundByTheRequestIsRefusedWithoutTheUpgradeNag) {
  sim::EmulatorOptions options;
  options.versionByte = 0x10;
  PlugMeter(options);
  UpgradeRequest request;
  request.firmwarePath = "fw.lrm";
  EXPECT_FALSE(upgrade.Request(request));
  EXPECT_EQ(reporter.messages(), std::vector<std::string>{"T35"});
  EXPECT_TRUE(reporter.notices().empty());  // the user is upgrading already
  EXPECT_TRUE(state.linkOwner.IsFree());
}

}  // namespace
}  // namespace vireo
