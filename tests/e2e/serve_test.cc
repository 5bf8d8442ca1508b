// `vireometer-cli serve` as a user runs it, against vireometer-sim, with the real parts it
// serves: a prometheus server scraping it, a mosquitto broker and its clients, promtool, a
// client on another address than loopback (in a network namespace of the test's own), and the
// store it records into.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cmath>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "e2e/cli_fixture.h"
#include "serve/serve_support.h"
#include "sim/load_profile.h"
#include "support/store_query.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using testing::Count;
using testing::FindProgram;
using testing::FreePort;
using testing::HttpGet;
using testing::Process;

// Polls `condition` every `step` until it holds or the deadline passes.
bool Eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(20),
                std::chrono::milliseconds step = std::chrono::milliseconds(50)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

// The value of one series in a text exposition; NaN when it is not there.
double Series(const std::string& metrics, const std::string& series) {
  const size_t at = metrics.find("\n" + series + " ");
  return at == std::string::npos ? NAN : std::atof(metrics.c_str() + at + series.size() + 2);
}

// The first column of each row of a query, on a read-only connection of its own.
std::vector<std::string> StoreColumn(const fs::path& path, const std::string& sql) {
  return testing::StoreColumn(path.string(), sql);
}

class ServeE2e : public testing::CliFixture {
 protected:
  // Starts `serve` with the arguments (and a port the system chooses unless they give
  // --listen); returns its base URL once it listens, empty if it did not.
  std::string StartServe(std::vector<std::string> args) {
    args.insert(args.begin(), "serve");
    if (std::find(args.begin(), args.end(), "--listen") == args.end())
      args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    serve_ = Cli(args);
    if (!WaitForErr(*serve_, "/metrics, /api/v1/meters"))
      return {};
    const size_t at = serve_->err.find("listening on ") + 13;
    return serve_->err.substr(at, serve_->err.find(' ', at) - at);
  }

  // Another emulated meter beside the fixture's.
  std::unique_ptr<Process> StartSecondSim(const std::string& serial,
                                          std::vector<std::string> options = {}) {
    options.insert(options.begin(), {VIREO_SIM, "--dir", (folder_ / "dev").string(), "--name",
                                     "second", "--serial", serial});
    auto sim = std::make_unique<Process>(options);
    EXPECT_TRUE(sim->WaitForOutput("serving")) << sim->err;
    return sim;
  }

  // The sessions of a store as `sessions --json` lists them.
  nlohmann::json Sessions(const fs::path& store) {
    auto list = Cli({"sessions", store.string(), "--json"});
    EXPECT_EQ(list->Wait(), 0) << list->err;
    return nlohmann::json::parse(list->out, nullptr, false);
  }

  std::unique_ptr<Process> serve_;
};

TEST_F(ServeE2e, PrometheusRateOfTheEnergyCounterIsTheEmulatorsPower) {
  const std::string prometheus = FindProgram("prometheus");
  const std::string promtool = FindProgram("promtool");
  if (prometheus.empty() || promtool.empty())
    GTEST_SKIP() << "prometheus is not installed (Debian: prometheus)";
  const std::string load = "steady:5,1";
  std::string why;
  const auto profile = sim::LoadProfile::Parse(load, why);
  ASSERT_TRUE(profile) << why;
  const double watts =
      static_cast<float>(profile->VoltageAt(0)) * static_cast<float>(profile->CurrentAt(0));
  StartSim({"--load", load, "--frame-interval-ms", "1"});
  const std::string base = StartServe({});
  ASSERT_FALSE(base.empty()) << serve_->err;

  // What the service says, as promtool reads it.
  ASSERT_TRUE(Eventually(
      [&] { return HttpGet(base + "/metrics").body.find("_volts{") != std::string::npos; }));
  std::ofstream(folder_ / "metrics.txt") << HttpGet(base + "/metrics").body;
  Process lint(
      {"/bin/sh", "-c", promtool + " check metrics < " + (folder_ / "metrics.txt").string()});
  EXPECT_EQ(lint.Wait(), 0) << lint.out << lint.err;

  const uint16_t port = FreePort();
  std::ofstream(folder_ / "prometheus.yml")
      << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nscrape_configs:\n"
         "  - job_name: vireometer\n    static_configs:\n      - targets: ['"
      << base.substr(7) << "']\n";
  Process server({prometheus, "--config.file=" + (folder_ / "prometheus.yml").string(),
                  "--storage.tsdb.path=" + (folder_ / "tsdb").string(),
                  "--web.listen-address=127.0.0.1:" + std::to_string(port)});
  const std::string api = "http://127.0.0.1:" + std::to_string(port);
  auto query = [&](const std::string& expression) {
    const testing::HttpReply reply =
        HttpGet(api + "/api/v1/query?query=" + testing::UrlEscape(expression));
    const auto j = nlohmann::json::parse(reply.body, nullptr, false);
    return j.is_object() && j["data"]["result"].is_array() ? j["data"]["result"]
                                                           : nlohmann::json::array();
  };
  auto value = [](const nlohmann::json& result) {
    return result.empty() ? NAN : std::stod(result[0]["value"][1].get<std::string>());
  };
  // Six scrapes, a second apart, in the window.
  ASSERT_TRUE(Eventually(
      [&] { return value(query("count_over_time(vireometer_energy_joules_total[6s])")) >= 6; },
      std::chrono::seconds(40), std::chrono::milliseconds(250)))
      << server.err;
  const double rate = value(query("rate(vireometer_energy_joules_total[6s])"));
  EXPECT_NEAR(rate, watts, watts * 0.01);
  // OpenMetrics was what Prometheus asked for: the info family and the meter label came through.
  const nlohmann::json info = query("vireometer_build_info");
  ASSERT_EQ(info.size(), 1u);
  EXPECT_FALSE(info[0]["metric"]["version"].get<std::string>().empty());
  EXPECT_EQ(value(query("up{job=\"vireometer\"}")), 1);
  EXPECT_EQ(query("vireometer_power_watts")[0]["metric"]["meter"], "FEDCBA");

  serve_->Signal(SIGTERM);
  EXPECT_EQ(serve_->Wait(), 0) << serve_->err;
  EXPECT_NE(serve_->err.find("meter FEDCBA: "), std::string::npos) << serve_->err;
}

// Two meters under different loads and a rule that only one of them breaks.
TEST_F(ServeE2e, MqttDiscoveryStateAlarmsAvailabilityReconnectAndLastWill) {
  const std::string mosquitto = FindProgram("mosquitto");
  const std::string sub = FindProgram("mosquitto_sub");
  const std::string pub = FindProgram("mosquitto_pub");
  if (mosquitto.empty() || sub.empty() || pub.empty())
    GTEST_SKIP() << "mosquitto is not installed (Debian: mosquitto mosquitto-clients)";
  const std::string port = std::to_string(FreePort());
  std::ofstream(folder_ / "mosquitto.conf")
      << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
  auto startBroker = [&] {
    auto broker = std::make_unique<Process>(
        std::vector<std::string>{mosquitto, "-c", (folder_ / "mosquitto.conf").string()});
    EXPECT_TRUE(WaitForErr(*broker, " running")) << broker->err;
    return broker;
  };
  auto subscribe = [&] {
    return std::make_unique<Process>(std::vector<std::string>{
        sub, "-h", "127.0.0.1", "-p", port, "-v", "-t", "vireometer/#", "-t", "homeassistant/#"});
  };
  auto broker = startBroker();
  StartSim({"--load", "steady:5,1"});
  auto second = StartSecondSim("QPONML", {"--load", "steady:9,2"});  // shown reversed: LMNOPQ
  auto watcher = subscribe();
  const fs::path store = folder_ / "serve.db";
  const std::string base =
      StartServe({"--mqtt", "mqtt://127.0.0.1:" + port, "--mqtt-interval", "0.2", "--db",
                  store.string(), "--alarm", "high: voltage > 7"});
  ASSERT_FALSE(base.empty()) << serve_->err;
  ASSERT_TRUE(watcher->WaitForOutput("vireometer/LMNOPQ/alarm {")) << serve_->err;

  ASSERT_TRUE(watcher->WaitForOutput("vireometer/FEDCBA/state {")) << serve_->err;
  ASSERT_TRUE(watcher->WaitForOutput("vireometer/LMNOPQ/state {")) << serve_->err;
  std::map<std::string, std::vector<std::string>> heard;
  for (std::string line; !(line = watcher->ReadLine(std::chrono::milliseconds(100))).empty();)
    heard[line.substr(0, line.find(' '))].push_back(line.substr(line.find(' ') + 1));
  const std::string configTopic = "homeassistant/device/vireometer_FEDCBA/config";
  ASSERT_EQ(heard[configTopic].size(), 1u);
  const auto config = nlohmann::json::parse(heard[configTopic][0]);
  EXPECT_EQ(config["dev"]["sn"], "FEDCBA");
  EXPECT_EQ(config["dev"]["sw"], "1.5");
  EXPECT_EQ(config["dev"]["ids"][0], "vireometer_FEDCBA");
  EXPECT_EQ(config["state_topic"], "vireometer/FEDCBA/state");
  const auto& c = config["cmps"];
  EXPECT_EQ(c["energy"]["unit_of_measurement"], "Wh");
  EXPECT_EQ(c["energy"]["state_class"], "total_increasing");
  EXPECT_EQ(c["charge"]["unit_of_measurement"], "Ah");
  EXPECT_EQ(c["power"]["state_class"], "measurement");
  EXPECT_EQ(c["temperature_external"]["device_class"], "temperature");
  EXPECT_EQ(c["connectivity"]["state_topic"], "vireometer/FEDCBA/availability");
  EXPECT_EQ(c["voltage"]["availability_topic"], "vireometer/FEDCBA/availability");
  EXPECT_EQ(heard["vireometer/FEDCBA/availability"], std::vector<std::string>{"online"});
  const auto state = nlohmann::json::parse(heard["vireometer/FEDCBA/state"].back());
  EXPECT_NEAR(state["voltage"].get<double>(), 5.1, 0.2);
  EXPECT_GT(state["energy_wh"].get<double>(), 0);
  EXPECT_TRUE(state["temp_external"].is_null());  // no probe

  // The alarm: a binary sensor of each device, on for the meter that breaks the rule only.
  EXPECT_EQ(c["alarm_high"]["p"], "binary_sensor");
  EXPECT_EQ(c["alarm_high"]["state_topic"], "vireometer/FEDCBA/alarms/high");
  EXPECT_EQ(heard["vireometer/FEDCBA/alarms/high"], std::vector<std::string>{"OFF"});
  EXPECT_EQ(heard["vireometer/LMNOPQ/alarms/high"].back(), "ON");
  EXPECT_TRUE(heard["vireometer/FEDCBA/alarm"].empty());
  ASSERT_EQ(heard["vireometer/LMNOPQ/alarm"].size(), 1u);
  const auto event = nlohmann::json::parse(heard["vireometer/LMNOPQ/alarm"][0]);
  EXPECT_EQ(event["alarm"], "high");
  EXPECT_EQ(event["state"], "raised");
  EXPECT_EQ(event["quantity"], "voltage");
  EXPECT_NEAR(event["value"].get<double>(), 8.9, 0.2);
  EXPECT_FALSE(event["time"].get<std::string>().empty());
  const std::string metrics = HttpGet(base + "/metrics").body;
  EXPECT_EQ(Series(metrics, "vireometer_alarm_active{meter=\"FEDCBA\",alarm=\"high\"}"), 0);
  EXPECT_EQ(Series(metrics, "vireometer_alarm_active{meter=\"LMNOPQ\",alarm=\"high\"}"), 1);

  // Home Assistant starts again: every config comes again.
  Process({pub, "-h", "127.0.0.1", "-p", port, "-t", "homeassistant/status", "-m", "online"})
      .Wait();
  EXPECT_TRUE(watcher->WaitForOutput(configTopic + " {"));
  EXPECT_TRUE(watcher->WaitForOutput("homeassistant/device/vireometer_LMNOPQ/config {"));
  EXPECT_TRUE(watcher->WaitForOutput("vireometer/LMNOPQ/alarms/high ON"));

  // The broker goes away and comes back (without the retained messages): both connections
  // are lost, the log says so once, and the service publishes everything again.
  broker->Signal(SIGTERM);
  broker->Wait();
  ASSERT_TRUE(WaitForErr(*serve_, "MQTT: no connection")) << serve_->err;
  broker = startBroker();
  ASSERT_TRUE(WaitForErr(*serve_, "MQTT: connected to", 2)) << serve_->err;
  EXPECT_EQ(Count(serve_->err, "MQTT: no connection"), 1u) << serve_->err;
  auto afterRestart = subscribe();
  EXPECT_TRUE(afterRestart->WaitForOutput(configTopic + " {"));
  EXPECT_TRUE(afterRestart->WaitForOutput("vireometer/LMNOPQ/availability online"));
  EXPECT_TRUE(afterRestart->WaitForOutput("vireometer/FEDCBA/availability online"));

  // Killed, the service leaves its last wills behind.
  serve_->Signal(SIGKILL);
  serve_->Wait();
  EXPECT_TRUE(afterRestart->WaitForOutput("vireometer/FEDCBA/availability offline"));
  EXPECT_TRUE(afterRestart->WaitForOutput("vireometer/LMNOPQ/availability offline"));

  // The next run closes what the kill left open and ends at the alarm, as stopped.
  auto next = Cli({"serve", "--listen", "127.0.0.1:0", "--db", store.string(), "--alarm",
                   "high: voltage > 7", "--exit-on-alarm", "high"});
  EXPECT_EQ(next->Wait(), 3) << next->err;
  EXPECT_EQ(Count(next->err, "closed it as interrupted"), 2u) << next->err;
  const nlohmann::json sessions = Sessions(store);
  ASSERT_EQ(sessions.size(), 4u) << sessions;
  std::map<std::string, std::vector<std::string>> ended;
  for (const auto& session : sessions)
    ended[session["serial"]].push_back(session["ended"]);
  const std::vector<std::string> killedThenStopped = {"interrupted", "stopped"};
  EXPECT_EQ(ended["FEDCBA"], killedThenStopped);
  EXPECT_EQ(ended["LMNOPQ"], killedThenStopped);
  EXPECT_EQ(
      StoreColumn(store,
                  "SELECT DISTINCT s.serial || ' ' || e.kind || ' ' || e.detail FROM events e "
                  "JOIN sessions s ON s.id = e.session_id"),
      std::vector<std::string>{"LMNOPQ alarm raised high: voltage 8.9V"});
}

// Both meters come after the service started; one of them is unplugged for a second.
TEST_F(ServeE2e, UnplugOfOneOfTwoMetersGapsItsSeriesAndLeavesTheOtherUntouched) {
  const fs::path store = folder_ / "serve.db";
  const std::string base = StartServe({"--db", store.string()});
  ASSERT_FALSE(base.empty());
  StartSim({"--unplug-every", "2", "--unplug-for", "1", "--unplug-cycles", "1"});
  auto steady = StartSecondSim("QPONML");  // shown reversed: LMNOPQ
  struct Seen {
    double connected, gaps, gapSeconds, energy;
  };
  auto seen = [](const std::string& metrics, const std::string& meter) {
    const std::string label = "{meter=\"" + meter + "\"}";
    return Seen{Series(metrics, "vireometer_meter_connected" + label),
                Series(metrics, "vireometer_gaps_total" + label),
                Series(metrics, "vireometer_gap_seconds_total" + label),
                Series(metrics, "vireometer_energy_joules_total" + label)};
  };
  std::vector<Seen> unplugged, other;
  int phase = 0;  // 1: streaming, 2: away, 3: back
  size_t backAt = 0;
  ASSERT_TRUE(Eventually([&] {
    const std::string metrics = HttpGet(base + "/metrics").body;
    const Seen a = seen(metrics, "FEDCBA"), b = seen(metrics, "LMNOPQ");
    if (std::isnan(a.connected) || std::isnan(b.connected))
      return false;
    unplugged.push_back(a);
    other.push_back(b);
    if (phase == 0 && a.connected == 1 && b.connected == 1 && b.energy > 0)
      phase = 1;
    if (phase == 1 && a.connected == 0)
      phase = 2;
    if (phase == 2 && a.connected == 1) {
      phase = 3;
      backAt = unplugged.size();
    }
    return phase == 3 && unplugged.size() >= backAt + 10;
  })) << serve_->err;
  for (size_t i = 1; i < unplugged.size(); ++i) {
    EXPECT_GE(unplugged[i].energy, unplugged[i - 1].energy) << i;
    EXPECT_GE(unplugged[i].gapSeconds, unplugged[i - 1].gapSeconds) << i;
    EXPECT_GE(other[i].energy, other[i - 1].energy) << i;
  }
  for (const Seen& b : other) {
    if (b.energy > 0) {
      EXPECT_EQ(b.connected, 1);
      EXPECT_EQ(b.gaps, 0);
      EXPECT_EQ(b.gapSeconds, 0);
    }
  }
  EXPECT_GT(other.back().energy, other[backAt].energy);
  EXPECT_EQ(unplugged.back().gaps, 1);
  EXPECT_GT(unplugged.back().gapSeconds, 0.9);
  EXPECT_LT(unplugged.back().gapSeconds, 5);
  EXPECT_GT(unplugged.back().energy, unplugged[backAt - 2].energy);
  EXPECT_TRUE(WaitForErr(*serve_, "meter FEDCBA back at ")) << serve_->err;

  // In the store: a session of each meter, the unplug a gap of one of them.
  serve_->Signal(SIGTERM);
  ASSERT_EQ(serve_->Wait(), 0) << serve_->err;
  const nlohmann::json sessions = Sessions(store);
  ASSERT_EQ(sessions.size(), 2u) << sessions;
  for (const auto& session : sessions) {
    EXPECT_EQ(session["ended"], "stopped");
    EXPECT_EQ(session["gaps"], session["serial"] == "FEDCBA" ? 1 : 0) << session;
    EXPECT_GT(session["samples"].get<int>(), 100);
  }
  EXPECT_EQ(StoreColumn(store, "SELECT cause FROM gaps"), std::vector<std::string>{"meter gone"});
}

// Brings up lo in a fresh network namespace and gives it 192.0.2.1 (a documentation address)
// beside 127.0.0.1, so a client here has an address that is not loopback and yet reaches no
// other machine. False when the system does not let the test make one.
bool OwnNetworkWithDocumentationAddress() {
  if (unshare(CLONE_NEWNET) != 0)
    return false;
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq up{};
  std::strcpy(up.ifr_name, "lo");
  bool ok = ioctl(s, SIOCGIFFLAGS, &up) == 0;
  up.ifr_flags |= IFF_UP;
  ok = ok && ioctl(s, SIOCSIFFLAGS, &up) == 0;
  ifreq alias{};
  std::strcpy(alias.ifr_name, "lo:1");
  auto* address = reinterpret_cast<sockaddr_in*>(&alias.ifr_addr);
  address->sin_family = AF_INET;
  inet_pton(AF_INET, "192.0.2.1", &address->sin_addr);
  ok = ok && ioctl(s, SIOCSIFADDR, &alias) == 0;
  close(s);
  return ok;
}

TEST_F(ServeE2e, OtherThanLoopbackNeedsWebConfigAndItsPasswordOverTls) {
  if (!OwnNetworkWithDocumentationAddress())
    GTEST_SKIP() << "no network namespace of our own here (needs CAP_NET_ADMIN)";
  // Without a web config: refused to start on that address, and unreachable by default.
  auto refused = Cli({"serve", "--listen", "192.0.2.1:0"});
  EXPECT_EQ(refused->Wait(), 2);
  EXPECT_NE(refused->err.find("needs --web-config"), std::string::npos) << refused->err;
  const std::string local = StartServe({});
  ASSERT_FALSE(local.empty());
  EXPECT_EQ(HttpGet(local + "/healthz").status, 200);
  const std::string port = local.substr(local.rfind(':'));
  EXPECT_EQ(HttpGet("http://192.0.2.1" + port + "/metrics").status, 0);
  serve_.reset();

  const std::string tls = VIREO_SERVE_TLS_DIR;
  std::ofstream(folder_ / "web.yml")
      << "tls_server_config:\n  cert_file: " << tls << "/cert.pem\n  key_file: " << tls
      << "/key.pem\nbasic_auth_users:\n  alice: '" << testing::BcryptHash("wonderland") << "'\n";
  const std::string base =
      StartServe({"--listen", "192.0.2.1:0", "--web-config", (folder_ / "web.yml").string()});
  ASSERT_EQ(base.substr(0, 18), "https://192.0.2.1:") << serve_->err;
  testing::HttpRequest request{base + "/metrics", {}, {}, tls + "/cert.pem"};
  EXPECT_EQ(HttpGet(request).status, 401);
  request.userPassword = "alice:rabbit";
  EXPECT_EQ(HttpGet(request).status, 401);
  request.userPassword = "alice:wonderland";
  const testing::HttpReply reply = HttpGet(request);
  EXPECT_EQ(reply.status, 200) << reply.error;
  EXPECT_NE(reply.body.find("vireometer_build_info"), std::string::npos);
  EXPECT_EQ(HttpGet("http://192.0.2.1" + base.substr(base.rfind(':')) + "/metrics").status, 0);
}

}  // namespace
}  // namespace vireo
