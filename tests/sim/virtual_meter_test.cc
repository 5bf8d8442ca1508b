// The virtual device across a real socket, seen by a host that uses plain socket calls.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "meter/readings_record.h"
#include "sim/meter_emulator.h"
#include "sim_test_util.h"

namespace vireo::sim {
namespace {

using namespace std::chrono_literals;
using test::Address;
using test::Client;
using test::Request;
using test::WaitFor;

const std::vector<uint8_t> kGrant = {0x01};
const std::vector<uint8_t> kRefusal = {0x00};

class VirtualMeterTest : public testing::Test {
 protected:
  VirtualMeterTest()
      : meter_(dir_.path(), test::Options([](auto& o) { o.frameIntervalUs = 5000; }), "bench") {}
  void SetUp() override { ASSERT_TRUE(meter_.Plug()); }

  // A client that was granted the device.
  std::unique_ptr<Client> Open() {
    auto client = std::make_unique<Client>(meter_.SocketPath());
    EXPECT_TRUE(client->connected());
    EXPECT_EQ(client->Receive(5s), kGrant);
    return client;
  }
  static Frame ReadVersion() { return Request(10, Address(0x08003C00, {1})); }

  test::TempDir dir_;
  VirtualMeter meter_;
};

TEST_F(VirtualMeterTest, SocketIsNamedForHidlinkAndAnswersReports) {
  EXPECT_EQ(meter_.SocketPath(), dir_.path() / "hid-0716-5027-0100-bench.sock");
  struct stat st;
  ASSERT_EQ(::stat(meter_.SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));

  auto client = Open();
  ASSERT_TRUE(client->SendReport(Request(3)));
  const auto message = client->Receive(5s);
  ASSERT_TRUE(message.has_value());
  ASSERT_EQ(message->size(), 65u);
  EXPECT_EQ((*message)[0], 0);
  EXPECT_EQ((*message)[1 + 8], 3);
}

TEST_F(VirtualMeterTest, SecondClientIsRefusedUntilTheFirstLeaves) {
  auto first = Open();
  Client second(meter_.SocketPath());
  EXPECT_EQ(second.Receive(5s), kRefusal);
  EXPECT_EQ(second.Receive(5s), std::vector<uint8_t>{});  // then closed

  first.reset();
  ASSERT_TRUE(WaitFor([&] { return !meter_.HasClient(); }));
  Open();
}

TEST_F(VirtualMeterTest, RefuseOpensFaultRefusesEveryClient) {
  meter_.faults().refuseOpens = true;
  Client client(meter_.SocketPath());
  EXPECT_EQ(client.Receive(5s), kRefusal);
}

TEST_F(VirtualMeterTest, MessagesOfAnotherLengthAreIgnored) {
  auto client = Open();
  const Frame query = Request(3);
  ASSERT_TRUE(client->Send(std::vector<uint8_t>(query.begin(), query.end())));  // no ID byte
  ASSERT_TRUE(client->SendReport(ReadVersion()));
  const auto reply = client->ReceiveFrame();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ((*reply)[8], 10);  // the first answer is the version read's
}

TEST_F(VirtualMeterTest, SilentMeterIgnoresRequestsButStaysAttached) {
  auto client = Open();
  meter_.faults().silent = true;
  ASSERT_TRUE(client->SendReport(Request(3)));
  ASSERT_TRUE(WaitFor([&] {
    uint32_t count = 0;
    meter_.WithEmulator([&](MeterEmulator& m) { count = m.CommandCount(3); });
    return count == 1;
  }));
  meter_.faults().silent = false;
  ASSERT_TRUE(client->SendReport(ReadVersion()));
  EXPECT_EQ(client->ReceiveFrame().value()[8], 10);
}

TEST_F(VirtualMeterTest, UnplugClosesTheClientAndRemovesTheSocket) {
  auto client = Open();
  meter_.Unplug();
  EXPECT_FALSE(meter_.IsPlugged());
  EXPECT_FALSE(std::filesystem::exists(meter_.SocketPath()));
  EXPECT_EQ(client->Receive(5s), std::vector<uint8_t>{});

  ASSERT_TRUE(meter_.Plug());
  Open();
}

TEST_F(VirtualMeterTest, UnplugFaultFiresAfterTheGivenNumberOfReports) {
  meter_.faults().unplugAfterReports = 3;
  auto client = Open();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(client->SendReport(ReadVersion()));
    ASSERT_TRUE(client->ReceiveFrame().has_value());
  }
  ASSERT_TRUE(client->SendReport(ReadVersion()));
  EXPECT_EQ(client->Receive(5s), std::vector<uint8_t>{});
  EXPECT_TRUE(WaitFor([&] { return !meter_.IsPlugged(); }));
  EXPECT_FALSE(std::filesystem::exists(meter_.SocketPath()));
}

// A host that saw the hang-up may plug the meter in again at once, while the service thread
// is still taking the old device away.
TEST_F(VirtualMeterTest, PlugRightAfterTheUnplugFaultsHangUpPlugsTheMeterIn) {
  for (int i = 0; i < 20; ++i) {
    meter_.faults().unplugAfterReports = 1;
    {
      auto client = Open();
      ASSERT_TRUE(client->SendReport(ReadVersion()));
      ASSERT_EQ(client->Receive(5s), std::vector<uint8_t>{});
    }
    meter_.faults().unplugAfterReports = -1;
    ASSERT_TRUE(meter_.Plug());
    EXPECT_TRUE(meter_.IsPlugged());
    Open();
  }
}

TEST_F(VirtualMeterTest, AMeterPluggedInAgainKeepsItsFlashModeAndScreen) {
  meter_.WithEmulator([](MeterEmulator& m) { m.setUpgradeMode(true); });
  meter_.faults().unplugAfterReports = 3;
  {
    auto client = Open();
    ASSERT_TRUE(client->SendReport(Request(8, Address(0x08003400))));  // erase
    ASSERT_TRUE(client->SendReport(Request(9, Address(0x08003400, {2, 0x12, 0x34}))));
    ASSERT_TRUE(client->SendReport(Request(21, {0, 0, 12, 0, 2, 'O', 'K'})));
    EXPECT_TRUE(WaitFor([&] { return !meter_.IsPlugged(); }));
  }
  meter_.faults().unplugAfterReports = -1;
  ASSERT_TRUE(meter_.Plug());
  auto client = Open();
  ASSERT_TRUE(client->SendReport(Request(10, Address(0x08003400, {3}))));
  const auto reply = client->ReceiveFrame();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(std::vector<uint8_t>(reply->begin() + 10, reply->begin() + 13),
            (std::vector<uint8_t>{0x12, 0x34, 0xFF}));
  meter_.WithEmulator([](MeterEmulator& m) {
    EXPECT_TRUE(m.upgradeMode());
    ASSERT_EQ(m.screenLines().size(), 2u);
    EXPECT_EQ(m.screenLines()[1], "OK");
    ASSERT_EQ(m.history().size(), 4u);
    EXPECT_EQ(m.history()[2], (MeterEmulator::Command{21, 1}));
    EXPECT_EQ(m.history()[3], (MeterEmulator::Command{10, 0x08003400}));
  });
}

TEST_F(VirtualMeterTest, LiveFramesArriveInOrderAtTheSetInterval) {
  auto client = Open();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client->SendReport(Request(26, {40})));
  for (int i = 0; i < 40; ++i) {
    const auto frame = client->ReceiveFrame();
    ASSERT_TRUE(frame.has_value()) << "frame " << i;
    EXPECT_EQ((*frame)[8], 26);
    EXPECT_EQ(ReadingsRecord::FromBytes(frame->data() + 10).spare1, static_cast<float>(i));
  }
  // Paced by deadline at 5 ms: never faster than the interval allows.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 39 * 5ms);
}

TEST_F(VirtualMeterTest, ReportDelayHoldsEachReportBack) {
  meter_.faults().reportDelayUs = 30'000;
  auto client = Open();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client->SendReport(Request(11, Address(0x08003400, {80, 0}))));
  ASSERT_TRUE(client->ReceiveFrame().has_value());
  ASSERT_TRUE(client->ReceiveFrame().has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
}

TEST_F(VirtualMeterTest, ClientLeavingEndsTheOwedStream) {
  auto client = Open();
  ASSERT_TRUE(client->SendReport(Request(26, {200})));
  ASSERT_TRUE(client->ReceiveFrame().has_value());
  client.reset();
  ASSERT_TRUE(WaitFor([&] { return !meter_.HasClient(); }));
  meter_.WithEmulator([](MeterEmulator& m) { EXPECT_EQ(m.PendingLiveFrames(), 0u); });
}

TEST_F(VirtualMeterTest, NameServedByAnotherMeterCannotBePlugged) {
  VirtualMeter twin(dir_.path(), {}, "bench");
  EXPECT_FALSE(twin.Plug());
  EXPECT_EQ(twin.plugFailure(), PlugFailure::kAlreadyServed);
  EXPECT_EQ(twin.PlugFailureText(), "another emulator serves it");
  EXPECT_TRUE(std::filesystem::exists(meter_.SocketPath()));
  Open();  // the first meter still serves
}

TEST_F(VirtualMeterTest, OnlyTheSocketAppearsInTheFolder) {
  std::vector<std::filesystem::path> entries;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    entries.push_back(entry.path());
  EXPECT_EQ(entries, std::vector<std::filesystem::path>{meter_.SocketPath()});
}

struct Unservable {
  const char* name;
  std::filesystem::path (*folder)(const std::filesystem::path& base);  // made below base
  PlugFailure failure;
  const char* says;
};

void PrintTo(const Unservable& u, std::ostream* os) {
  *os << u.name;
}

class UnservableFolder : public testing::TestWithParam<Unservable> {};

TEST_P(UnservableFolder, IsRefusedWithItsReasonAndNothingIsCreated) {
  test::TempDir dir;
  const std::filesystem::path folder = GetParam().folder(dir.path());
  const auto before = std::distance(std::filesystem::recursive_directory_iterator(dir.path()),
                                    std::filesystem::recursive_directory_iterator());
  VirtualMeter meter(folder, {}, "meter");
  EXPECT_FALSE(meter.Plug());
  EXPECT_EQ(meter.plugFailure(), GetParam().failure);
  EXPECT_NE(meter.PlugFailureText().find(GetParam().says), std::string::npos)
      << meter.PlugFailureText();
  EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(dir.path()),
                          std::filesystem::recursive_directory_iterator()),
            before);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, UnservableFolder,
    testing::Values(Unservable{"Missing",
                               [](const std::filesystem::path& base) { return base / "none"; },
                               PlugFailure::kNoFolder, "there is no folder"},
                    Unservable{"AFile",
                               [](const std::filesystem::path& base) {
                                 std::ofstream(base / "file") << "x";
                                 return base / "file";
                               },
                               PlugFailure::kNotAFolder, "is not a folder"},
                    // A socket address holds 107 bytes of path.
                    Unservable{"PathTooLong",
                               [](const std::filesystem::path& base) {
                                 const auto deep = base / std::string(90, 'd');
                                 std::filesystem::create_directory(deep);
                                 return deep;
                               },
                               PlugFailure::kPathTooLong,
                               "more than a socket address holds (107)"}),
    [](const testing::TestParamInfo<Unservable>& p) { return std::string(p.param.name); });

TEST(VirtualMeter, StaleSocketFileOfAKilledServerIsReplaced) {
  test::TempDir dir;
  const auto path = dir.path() / "hid-0716-5027-0100-stale.sock";
  {
    posix::UniqueFd stale(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
    const auto address = posix::UnixAddress(path.native());
    ASSERT_TRUE(address.has_value());
    ASSERT_EQ(::bind(stale.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address),
              0);
  }
  VirtualMeter meter(dir.path(), {}, "stale");
  ASSERT_TRUE(meter.Plug());
  Client client(meter.SocketPath());
  EXPECT_EQ(client.Receive(5s), kGrant);
}

}  // namespace
}  // namespace vireo::sim
