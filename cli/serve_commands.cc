// serve: every attached meter as a service: Prometheus metrics over HTTP(S), MQTT with Home
// Assistant discovery, each meter recorded into one store and watched for alarms, until SIGINT
// or SIGTERM. The glue between the service, the recorder and the alarm engine lives here.
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "alarms/alarm_engine.h"
#include "base/posix.h"
#include "cli/alarm_options.h"
#include "cli/commands.h"
#include "record/record_store.h"
#include "record/session_recorder.h"
#include "serve/service.h"

namespace vireo::cli {
namespace {

using record::RecordStore;
using record::SessionRecorder;

// What serve does with one meter's frames besides the metrics: one session in the store for
// the run (gaps across unplugs), and the alarms, whose events go into that session, to the
// service's metrics and MQTT, and end the run for --exit-on-alarm. On the meter's own thread.
class MeterJobs final : public serve::MeterWorker {
 public:
  MeterJobs(std::string serial, serve::MeterHost& host, std::unique_ptr<RecordStore> store,
            uint64_t minFreeBytes, std::unique_ptr<CommandAlarms> alarms,
            std::atomic<bool>& alarmExit, std::function<void(const std::string&)> say)
      : serial_(std::move(serial)),
        host_(host),
        store_(std::move(store)),
        alarms_(std::move(alarms)),
        alarmExit_(alarmExit) {
    if (store_) {
      sessions_ = std::make_unique<SessionRecorder>(
          record::TriggerSettings{}, minFreeBytes, std::vector<std::string>{store_->path()},
          store_.get(), std::vector<record::LiveRowWriter*>{}, say);
      recording_ = sessions_->SpaceToBegin();
    }
    if (alarms_) {
      alarms_->SetSerial(serial_);
      alarms_->OnEvent([this](const alarms::AlarmEvent& e) {
        const bool raised = e.state == alarms::AlarmState::kRaised;
        if (recording_) {
          sessions_->OnEvent(e.monotonicNs, std::string("alarm ") + alarms::AlarmStateText(e.state),
                             e.name + ": " + alarms::AlarmValueText(e));
        }
        host_.ReportAlarm({e.name, raised, std::string(e.quantity), e.value, e.wallNs});
      });
    }
  }

  std::vector<std::string> AlarmNames() const override {
    std::vector<std::string> names;
    if (alarms_) {
      for (const alarms::AlarmRule& rule : alarms_->rules())
        names.push_back(rule.name);
    }
    return names;
  }
  void OnStreamStarted(int64_t nowNs, const std::string& firmware) override {
    if (recording_) {
      sessions_->SetMeter(serial_, firmware);
      sessions_->OnStreamStarted(nowNs);
    }
  }
  void OnFrames(const std::vector<TimedReadings>& frames) override {
    if (recording_)
      sessions_->OnFrames(frames);
    if (alarms_)
      alarms_->OnFrames(frames);
  }
  void OnStreamEnd(int64_t nowNs, StreamEnd end) override {
    // The end of the run is no gap: Finish ends the session there.
    if (recording_ && end != StreamEnd::kStopped)
      sessions_->OnMeterLost(nowNs, end == StreamEnd::kMeterSilent ? "meter silent" : "meter gone");
  }
  void OnTick(int64_t nowNs) override {
    // A full disk or a failed write ends this meter's session; the service goes on.
    if (recording_ && !sessions_->Tick(nowNs))
      recording_ = false;
    if (alarms_ && alarms_->OnTick(nowNs) && !alarmExit_.exchange(true))
      host_.RequestStop();
  }
  int64_t NextDeadline() const override {
    return std::min(recording_ ? sessions_->NextDeadline() : INT64_MAX,
                    alarms_ ? alarms_->NextDeadline() : INT64_MAX);
  }
  void Finish(int64_t nowNs) override {
    if (recording_)
      sessions_->End(nowNs, record::EndReason::kStopped);
    if (sessions_)
      sessions_->Finish();
  }

 private:
  const std::string serial_;
  serve::MeterHost& host_;
  std::unique_ptr<RecordStore> store_;  // this meter's connection to the run's store
  std::unique_ptr<SessionRecorder> sessions_;
  bool recording_ = false;
  std::unique_ptr<CommandAlarms> alarms_;
  std::atomic<bool>& alarmExit_;
};

struct ServeArgs {
  std::vector<std::string> meters;
  std::vector<std::string> listen = {"127.0.0.1:9741"};
  std::string webConfig;
  bool insecureListen = false;
  std::string mqtt;
  std::string mqttPasswordFile;
  std::string mqttPrefix = "vireometer";
  double mqttInterval = 1;
  bool noHaDiscovery = false;
  std::string haPrefix = "homeassistant";
  std::string db;
  uint64_t minFree = uint64_t{256} << 20;
  AlarmOptions alarms;
};

int Usage(const std::string& text) {
  std::fprintf(stderr, "vireometer-cli: %s (see vireometer-cli serve --help)\n", text.c_str());
  return kExitUsage;
}

// A file named by an option that cannot be opened: a file that failed, not a usage error.
int Unreadable(const char* option, const std::string& path) {
  std::fprintf(stderr, "vireometer-cli: %s: cannot read %s: %s\n", option, path.c_str(),
               std::strerror(errno));
  return kExitFailed;
}

// A topic prefix: not empty, no wildcards, no '/' at either end.
bool IsTopicPrefix(const std::string& p) {
  return !p.empty() && p.find_first_of("+#") == std::string::npos && p.front() != '/' &&
         p.back() != '/';
}

int Serve(const ServeArgs& args) {
  // SIGINT and SIGTERM are taken through a signalfd by the service's loop alone.
  const sigset_t signals = BlockStopSignals();
  const posix::UniqueFd signalFd(::signalfd(-1, &signals, SFD_CLOEXEC));
  serve::ServiceLog log;
  if (!signalFd) {
    log.Error(std::string("cannot wait for signals: ") + std::strerror(errno));
    return kExitFailed;
  }

  serve::ServeOptions options;
  options.meters = args.meters;
  options.version = VIREO_VERSION;
  options.mqttIntervalSeconds = args.mqttInterval;
  for (const std::string& text : args.listen) {
    std::string error;
    const auto address = serve::ParseListenAddress(text, error);
    if (!address)
      return Usage("--listen: " + error);
    options.listen.push_back(*address);
  }
  if (!args.webConfig.empty()) {
    if (::access(args.webConfig.c_str(), R_OK) != 0)
      return Unreadable("--web-config", args.webConfig);
    serve::WebConfigResult web = serve::LoadWebConfig(args.webConfig);
    if (!web.config)
      return Usage("--web-config: " + web.error);
    options.web = std::move(web.config);
  }
  const bool protectedByConfig = options.web && options.web->Protects();
  for (const serve::ListenAddress& a : options.listen) {
    if (a.loopback || protectedByConfig)
      continue;
    if (!args.insecureListen) {
      return Usage("listening on " + a.host +
                   " (not loopback) needs --web-config FILE with "
                   "basic_auth_users or tls_server_config, or --insecure-listen");
    }
    log.Warning("listening on " + a.host +
                " without a password or TLS (--insecure-listen): "
                "anyone who reaches it reads the meters");
  }

  if (!args.mqtt.empty()) {
    std::string error;
    const auto broker = serve::ParseMqttUrl(args.mqtt, error);
    if (!broker)
      return Usage("--mqtt: " + error);
    if (!IsTopicPrefix(args.mqttPrefix) || !IsTopicPrefix(args.haPrefix))
      return Usage("topic prefixes must not be empty, hold + or #, or start or end with /");
    serve::MqttSettings mqtt;
    mqtt.broker = *broker;
    mqtt.prefix = args.mqttPrefix;
    mqtt.haPrefix = args.haPrefix;
    mqtt.haDiscovery = !args.noHaDiscovery;
    mqtt.version = VIREO_VERSION;
    if (!args.mqttPasswordFile.empty()) {
      std::ifstream in(args.mqttPasswordFile);
      if (!in)
        return Unreadable("--mqtt-password-file", args.mqttPasswordFile);
      if (!std::getline(in, mqtt.password))
        return Usage("--mqtt-password-file: cannot read " + args.mqttPasswordFile);
      if (!mqtt.password.empty() && mqtt.password.back() == '\r')
        mqtt.password.pop_back();
      struct stat st {};
      if (::stat(args.mqttPasswordFile.c_str(), &st) == 0 && (st.st_mode & 0077) != 0) {
        log.Warning(args.mqttPasswordFile + " can be read by other users; chmod 600 it");
      }
    }
    options.mqtt = std::move(mqtt);
  } else if (!args.mqttPasswordFile.empty()) {
    return Usage("--mqtt-password-file needs --mqtt");
  }

  std::vector<std::string> alarmErrors;
  const bool withAlarms = CommandAlarms::Make(args.alarms, alarmErrors) != nullptr;
  for (const std::string& error : alarmErrors)
    std::fprintf(stderr, "vireometer-cli: %s\n", error.c_str());
  if (!alarmErrors.empty())
    return CommandAlarms::ErrorStatus(args.alarms);

  // The store's lock and its first connection, for the run; each meter adds its own.
  std::unique_ptr<RecordStore> store;
  if (!args.db.empty()) {
    store = std::make_unique<RecordStore>();
    const record::StoreOpenResult opened = store->OpenForRecording(
        args.db, [&log, &args, started = false](int64_t done, int64_t total) mutable {
          if (!started)
            log.Info("upgrading " + args.db + " to the current store format");
          started = true;
          if (done >= total)
            log.Info("upgraded " + args.db);
        });
    if (opened.error != record::StoreError::kNone) {
      log.Error(opened.message);
      return opened.error == record::StoreError::kUsage ? kExitUsage : kExitFailed;
    }
    std::string error;
    for (const int64_t id : store->CloseUnfinished(error))
      log.Warning("session " + std::to_string(id) +
                  " was left unfinished by a recorder that stopped unexpectedly; closed it as "
                  "interrupted at its last sample");
    if (!error.empty()) {
      log.Error("cannot close an unfinished session: " + error);
      return kExitFailed;
    }
    log.Info("recording every meter into " + args.db);
  }
  std::atomic<bool> alarmExit{false};
  if (store || withAlarms) {
    options.makeWorker = [&](const std::string& serial,
                             serve::MeterHost& host) -> std::unique_ptr<serve::MeterWorker> {
      auto say = [&log, serial](const std::string& line) {
        log.Info("meter " + serial + ": " + line);
      };
      std::unique_ptr<RecordStore> connection;
      if (store) {
        connection = std::make_unique<RecordStore>();
        const record::StoreOpenResult opened = connection->OpenAlongside(*store);
        if (opened.error != record::StoreError::kNone) {
          log.Error("meter " + serial + " is not recorded: " + opened.message);
          connection.reset();
        }
      }
      std::vector<std::string> errors;
      std::unique_ptr<CommandAlarms> alarms =
          withAlarms ? CommandAlarms::Make(args.alarms, errors,
                                           [&log](const std::string& line) { log.Warning(line); })
                     : nullptr;
      for (const std::string& error : errors)
        log.Error("meter " + serial + " has no alarms: " + error);
      return std::make_unique<MeterJobs>(serial, host, std::move(connection), args.minFree,
                                         std::move(alarms), alarmExit, say);
    };
  }

  serve::Service service(std::move(options), log);
  if (!service.Listen())
    return kExitFailed;
  if (!service.Run(signalFd.Get()))
    return kExitFailed;
  return alarmExit ? kExitAlarm : kExitOk;
}

}  // namespace

void AddServeCommand(CLI::App& app, int& status) {
  auto* serve = app.add_subcommand(
      "serve",
      "Serve every attached meter: Prometheus metrics over HTTP, MQTT with Home Assistant "
      "discovery.");
  serve->footer(
      "Runs until Ctrl-C or SIGTERM. Meters are picked up as they arrive; a meter is its serial, "
      "and its series go on across unplugs, the time without frames counted as a gap. The log "
      "goes to standard error, one line per event.\n"
      "HTTP: /metrics in the Prometheus text format 0.0.4, or OpenMetrics 1.0 when the Accept "
      "header asks for it; /api/v1/meters as JSON; /healthz. Only loopback addresses are served "
      "unless --web-config names a file with basic_auth_users (bcrypt hashes) or "
      "tls_server_config (cert_file, key_file), in the format Prometheus exporters share, or "
      "--insecure-listen is given. Each rule of --alarm and --alarms applies to each meter: "
      "vireometer_alarm_active{meter,alarm} is 1 while it is raised.\n"
      "MQTT: per meter, PREFIX/SERIAL/state (JSON, every --mqtt-interval), PREFIX/SERIAL/"
      "availability (online, offline; retained, and the connection's last will) and the Home "
      "Assistant device config HA_PREFIX/device/vireometer_SERIAL/config (retained, published "
      "again when HA_PREFIX/status says online), in which each alarm is a binary sensor "
      "(PREFIX/SERIAL/alarms/NAME: ON, OFF), each raise and clear a JSON message on "
      "PREFIX/SERIAL/alarm. A broker that is away is retried with back-off.\n"
      "As a service: systemctl --user enable --now vireometer-serve (options in "
      "~/.config/vireometer/serve.env); on a host without a login session, loginctl "
      "enable-linger USER first.\n"
      "Store: with --db, each meter is recorded into the one file as `record` does: one session "
      "per meter and run, its unplugs as gaps, alarm events in its events table.\n"
      "Exit status: 0 after a stop signal, 1 when an address cannot be served, the devices "
      "cannot be watched or the store cannot be opened, 2 usage error, 3 when an alarm of "
      "--exit-on-alarm was raised.");
  auto args = std::make_shared<ServeArgs>();
  serve->add_option("--meter", args->meters, "Serve only this meter (repeatable).")
      ->type_name("SERIAL");
  serve
      ->add_option("--listen", args->listen,
                   "Serve HTTP on ADDR:PORT, IPv6 as [ADDR]:PORT (repeatable).")
      ->type_name("ADDR:PORT")
      ->capture_default_str();
  serve
      ->add_option("--web-config", args->webConfig,
                   "Basic auth and TLS, as Prometheus exporters read them (YAML).")
      ->type_name("FILE");
  serve->add_flag("--insecure-listen", args->insecureListen,
                  "Allow an address other than loopback without --web-config.");
  serve
      ->add_option("--mqtt", args->mqtt,
                   "Publish to this broker: mqtt://[USER@]HOST[:PORT] or "
                   "mqtts://... (TLS, system CA store).")
      ->type_name("URL");
  serve
      ->add_option("--mqtt-password-file", args->mqttPasswordFile,
                   "The MQTT user's password, the file's first line.")
      ->type_name("FILE");
  serve->add_option("--mqtt-prefix", args->mqttPrefix, "First level of the meters' topics.")
      ->type_name("PREFIX")
      ->capture_default_str();
  serve->add_option("--mqtt-interval", args->mqttInterval, "Seconds between state messages.")
      ->check(AboveZero())
      ->type_name("S")
      ->capture_default_str();
  serve->add_flag("--no-ha-discovery", args->noHaDiscovery,
                  "Publish no Home Assistant discovery configs.");
  serve->add_option("--ha-prefix", args->haPrefix, "Home Assistant's discovery prefix.")
      ->type_name("PREFIX")
      ->capture_default_str();
  serve
      ->add_option("--db", args->db,
                   "Record every meter into this store, a session per meter and run.")
      ->type_name("FILE");
  serve
      ->add_option("--min-free", args->minFree,
                   "With --db: end a meter's session cleanly as \"disk full\" below this much "
                   "free space (default 256M; 0: only when the disk is full).")
      ->transform(ByteSize())
      ->type_name("SIZE");
  AddAlarmOptions(*serve, args->alarms);
  serve->callback([&status, args] { status = Serve(*args); });
}

}  // namespace vireo::cli
