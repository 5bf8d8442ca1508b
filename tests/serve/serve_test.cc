// The service's parts without a meter: the counters of a meter across frames, silences and
// unplugs; the order in which a meter's worker hears its streams; the exposition as promtool reads
// it; the Accept header; the web config and its passwords; the addresses and broker URLs a user
// writes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "serve/exposition.h"
#include "serve/http_endpoint.h"
#include "serve/meter_feed.h"
#include "serve/meter_state.h"
#include "serve/mqtt_messages.h"
#include "serve/serve_support.h"
#include "serve/web_config.h"
#include "support/process.h"

namespace vireo::serve {
namespace {

constexpr int64_t kMs = 1'000'000;

TimedReadings Frame(int64_t tNs, float volts, float amps) {
  TimedReadings f;
  f.readings.voltage = volts;
  f.readings.current = amps;
  f.readings.power = volts * amps;
  f.monotonicNs = tNs;
  f.wallNs = 1'700'000'000'000'000'000 + tNs;
  return f;
}

// Frames every ms at 5 V 1 A: 5 J per s; nothing is integrated across a silence or an unplug,
// the gap is counted from the last frame, and no snapshot ever sees a counter fall, even one
// taken between a frame's arrival and its delivery.
TEST(ServeMeterState, CountersIntegrateCoveredTimeOnlyAndNeverFall) {
  MeterState meter("ABCDEF", "1.5");
  meter.StreamStarted("1.5");
  MeterSnapshot previous;
  auto check = [&](int64_t now) {
    const MeterSnapshot s = meter.Snapshot(now);
    EXPECT_GE(s.energyJoules, previous.energyJoules);
    EXPECT_GE(s.gapSeconds, previous.gapSeconds);
    EXPECT_GE(s.gaps, previous.gaps);
    previous = s;
    return s;
  };
  int64_t t = 1000 * kMs;
  for (int i = 0; i <= 1000; ++i, t += kMs)
    meter.OnFrame(Frame(t, 5, -1));  // backwards current: charge still counts up
  t -= kMs;
  MeterSnapshot s = check(t);
  EXPECT_NEAR(s.energyJoules, 5.0, 1e-9);
  EXPECT_NEAR(s.chargeCoulombs, 1.0, 1e-9);
  EXPECT_TRUE(s.connected());
  EXPECT_EQ(s.gaps, 0u);

  // Silent for 1.5 s within the stream: a gap, open while it lasts.
  s = check(t + 1200 * kMs);
  EXPECT_FALSE(s.connected());
  EXPECT_EQ(s.gaps, 1u);
  EXPECT_NEAR(s.gapSeconds, 1.2, 1e-9);
  meter.OnFrame(Frame(t + 1500 * kMs, 5, 1));
  s = check(t + 1500 * kMs);
  EXPECT_NEAR(s.energyJoules, 5.0, 1e-9);
  EXPECT_NEAR(s.gapSeconds, 1.5, 1e-9);
  t += 1500 * kMs;

  // Unplugged: disconnected at once, and the gap grows until the next stream's first frame.
  meter.OnStreamEnd(StreamEnd::kMeterGone);
  s = check(t + 300 * kMs);
  EXPECT_FALSE(s.streaming);
  EXPECT_EQ(s.gaps, 2u);
  meter.StreamStarted("1.5");
  // A scrape at t + 2.1 s sees the gap still open; the frame stamped at t + 2 s arrives after.
  check(t + 2100 * kMs);
  meter.OnFrame(Frame(t + 2000 * kMs, 5, 1));
  s = check(t + 2100 * kMs);
  EXPECT_EQ(s.gaps, 2u);
  EXPECT_NEAR(s.gapSeconds, 1.5 + 2.1, 1e-9);
  t += 2000 * kMs;
  for (int i = 1; i <= 100; ++i)
    meter.OnFrame(Frame(t + i * kMs, 5, 1));
  s = check(t + 100 * kMs);
  EXPECT_NEAR(s.energyJoules, 5.5, 1e-9);
  EXPECT_EQ(s.frames, 1000u + 1 + 1 + 1 + 100);
}

MeterSnapshot Connected(const std::string& serial, float probe) {
  MeterState meter(serial, "1.5");
  meter.StreamStarted("1.5");
  TimedReadings f = Frame(ClockNs(CLOCK_BOOTTIME), 5.1f, 0.5f);
  f.readings.tempExternal = probe;
  f.readings.dPlus = std::nanf("");
  meter.OnFrame(f);
  return meter.Snapshot();
}

// What a worker hears, frames by their running numbers.
class Transcript final : public MeterWorker {
 public:
  explicit Transcript(std::vector<std::string>& heard) : heard_(heard) {}
  void OnStreamStarted(int64_t, const std::string& firmware) override {
    heard_.push_back("start " + firmware);
  }
  void OnFrames(const std::vector<TimedReadings>& frames) override {
    for (const TimedReadings& f : frames)
      heard_.push_back(std::to_string(f.number));
  }
  void OnStreamEnd(int64_t, StreamEnd end) override {
    heard_.push_back(std::string("end ") + StreamEndText(end));
  }
  void OnTick(int64_t) override {}
  int64_t NextDeadline() const override { return INT64_MAX; }
  void Finish(int64_t) override { heard_.push_back("finish"); }

 private:
  std::vector<std::string>& heard_;
};

// A worker that falls behind takes the end of one stream and frames of the next at once; it
// still hears them in order, a start that failed included.
TEST(ServeMeterFeed, StreamsTakenAtOnceAreHeardInOrder) {
  std::vector<std::string> heard;
  MeterFeed feed(std::make_unique<Transcript>(heard), [](const std::string&) {});
  auto frame = [&](uint64_t number) {
    TimedReadings f = Frame(0, 5, 1);
    f.number = number;
    feed.queue().OnFrame(f);
  };
  feed.StreamStarting(0, "1.5", 0);
  frame(1);
  frame(2);
  feed.queue().OnStreamEnd(StreamEnd::kMeterGone);
  feed.StreamEnded(0, StreamEnd::kMeterGone, 2);
  feed.StreamStarting(0, "1.5", 2);
  feed.StreamEnded(0, StreamEnd::kMeterRefused, 2);
  feed.StreamStarting(0, "1.6", 2);
  frame(3);
  std::string error;
  ASSERT_TRUE(feed.Start(error)) << error;
  feed.Stop();
  EXPECT_EQ(heard, (std::vector<std::string>{"start 1.5", "1", "2", "end meter gone", "start 1.5",
                                             "end meter refused", "start 1.6", "3", "finish"}));
}

TEST(ServeExposition, PromtoolAcceptsTheTextFormatAndOpenMetricsEndsInEof) {
  MeterState gone("GONE01", "1.5");
  gone.StreamStarted("1.5");
  gone.OnFrame(Frame(ClockNs(CLOCK_BOOTTIME), 5, 1));
  gone.OnStreamEnd(StreamEnd::kMeterGone);
  const std::vector<MeterSnapshot> meters = {Connected("A\"B\\C", -60), Connected("PROBE1", 21.5f),
                                             gone.Snapshot()};
  const std::string text = WriteMetrics(meters, "1.2", MetricsFormat::kText004);
  EXPECT_NE(text.find("vireometer_voltage_volts{meter=\"A\\\"B\\\\C\"} 5.1\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("{meter=\"PROBE1\",sensor=\"external\"} 21.5\n"), std::string::npos);
  EXPECT_EQ(text.find("{meter=\"A\\\"B\\\\C\",sensor=\"external\"}"), std::string::npos);
  EXPECT_NE(text.find("line=\"d+\"} NaN\n"), std::string::npos);
  // A meter that is away keeps its counters but shows no stale readings.
  EXPECT_NE(text.find("vireometer_meter_connected{meter=\"GONE01\"} 0\n"), std::string::npos);
  EXPECT_NE(text.find("vireometer_frames_total{meter=\"GONE01\"} 1\n"), std::string::npos);
  EXPECT_EQ(text.find("vireometer_voltage_volts{meter=\"GONE01\"}"), std::string::npos);

  const std::string om = WriteMetrics(meters, "1.2", MetricsFormat::kOpenMetrics);
  EXPECT_TRUE(om.ends_with("\n# EOF\n"));
  EXPECT_NE(om.find("# TYPE vireometer_energy_joules counter\n# UNIT vireometer_energy_joules "
                    "joules\n"),
            std::string::npos);
  EXPECT_NE(om.find("# TYPE vireometer_build info\nvireometer_build_info{version=\"1.2\"} 1\n"),
            std::string::npos);

  const std::string promtool = testing::FindProgram("promtool");
  if (promtool.empty())
    GTEST_SKIP() << "promtool is not installed (Debian: prometheus)";
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("serve-metrics-" + std::to_string(getpid()));
  std::ofstream(file) << text;
  testing::Process check({"/bin/sh", "-c", promtool + " check metrics < " + file.string()});
  EXPECT_EQ(check.Wait(), 0) << check.out << check.err;
  std::filesystem::remove(file);
}

TEST(ServeExposition, AcceptHeaderChoosesTheFormat) {
  // What Prometheus 2.x sends.
  EXPECT_EQ(ChooseMetricsFormat("application/openmetrics-text;version=1.0.0,application/"
                                "openmetrics-text;version=0.0.1;q=0.75,text/plain;version=0.0.4;"
                                "q=0.5,*/*;q=0.1"),
            MetricsFormat::kOpenMetrics);
  EXPECT_EQ(
      ChooseMetricsFormat("text/plain;version=0.0.4;q=0.9, application/openmetrics-text;q=0.5"),
      MetricsFormat::kText004);
  EXPECT_EQ(ChooseMetricsFormat("application/openmetrics-text; version=0.0.1"),
            MetricsFormat::kText004);
  EXPECT_EQ(ChooseMetricsFormat("*/*"), MetricsFormat::kText004);
  EXPECT_EQ(ChooseMetricsFormat(""), MetricsFormat::kText004);
}

TEST(ServeWebConfig, ReadsUsersAndTlsAndRefusesWhatItCannotHonour) {
  const std::string hash = testing::BcryptHash("secret");
  ASSERT_EQ(hash.size(), 60u);
  const WebConfigResult ok = ParseWebConfig(
      "tls_server_config:\n  cert_file: tls/cert.pem\n  key_file: /etc/key.pem\n"
      "basic_auth_users:\n  alice: \"" +
          hash + "\"\n",
      "/srv/conf");
  ASSERT_TRUE(ok.config) << ok.error;
  EXPECT_EQ(ok.config->certFile, "/srv/conf/tls/cert.pem");
  EXPECT_EQ(ok.config->keyFile, "/etc/key.pem");
  EXPECT_TRUE(ok.config->Protects());

  PasswordCheck check(ok.config->users);
  EXPECT_TRUE(check.Check("alice", "secret"));
  EXPECT_TRUE(check.Check("alice", "secret"));  // from memory the second time
  EXPECT_FALSE(check.Check("alice", "secreT"));
  EXPECT_FALSE(check.Check("alice", "secret2"));
  EXPECT_FALSE(check.Check("bob", "secret"));

  EXPECT_TRUE(ParseWebConfig("", "/").config);
  for (const char* refused :
       {"basic_auth_users:\n  alice: plaintext\n", "tls_server_config:\n  cert_file: a.pem\n",
        "tls_server_config:\n  cert_file: a\n  key_file: b\n  "
        "client_auth_type: RequireAndVerifyClientCert\n",
        "http_server_config:\n  http2: false\n", "[1, 2]\n", "a: [\n"}) {
    const WebConfigResult r = ParseWebConfig(refused, "/");
    EXPECT_FALSE(r.config) << refused;
    EXPECT_FALSE(r.error.empty()) << refused;
  }
}

TEST(ServeParsing, ListenAddressesAndBrokerUrls) {
  std::string error;
  const auto v4 = ParseListenAddress("127.0.0.1:9741", error);
  ASSERT_TRUE(v4);
  EXPECT_TRUE(v4->loopback);
  EXPECT_EQ(v4->port, 9741);
  const auto v6 = ParseListenAddress("[::1]:0", error);
  ASSERT_TRUE(v6);
  EXPECT_TRUE(v6->loopback);
  EXPECT_TRUE(ParseListenAddress("127.1.2.3:1", error)->loopback);
  EXPECT_FALSE(ParseListenAddress("0.0.0.0:9741", error)->loopback);
  EXPECT_FALSE(ParseListenAddress("[::]:9741", error)->loopback);
  EXPECT_FALSE(ParseListenAddress("[::ffff:10.0.0.1]:1", error)->loopback);
  for (const char* bad : {"localhost:9741", "127.0.0.1", "::1:9741", "127.0.0.1:65536", ":9741"})
    EXPECT_FALSE(ParseListenAddress(bad, error)) << bad;

  const auto plain = ParseMqttUrl("mqtt://broker.lan", error);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->port, 1883);
  EXPECT_FALSE(plain->tls);
  const auto secure = ParseMqttUrl("mqtts://lab%40host@[::1]:8884/", error);
  ASSERT_TRUE(secure) << error;
  EXPECT_TRUE(secure->tls);
  EXPECT_EQ(secure->host, "::1");
  EXPECT_EQ(secure->port, 8884);
  EXPECT_EQ(secure->user, "lab@host");
  EXPECT_FALSE(ParseMqttUrl("mqtt://user:pw@host", error));
  EXPECT_NE(error.find("--mqtt-password-file"), std::string::npos);
  for (const char* bad : {"http://host", "mqtt://", "mqtt://host:0", "mqtt://host:x"})
    EXPECT_FALSE(ParseMqttUrl(bad, error)) << bad;
  // Topics and Home Assistant ids hold no wildcard or separator.
  EXPECT_EQ(MqttTopics("p", "ha", "A/B+#").state, "p/A_B__/state");
}

}  // namespace
}  // namespace vireo::serve
