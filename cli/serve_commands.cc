// serve: every attached meter as a service: Prometheus metrics over HTTP(S), MQTT with Home
// Assistant discovery, until SIGINT or SIGTERM.
#include <sys/signalfd.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/posix.h"
#include "cli/commands.h"
#include "serve/service.h"

namespace vireo::cli {
namespace {

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
};

int Usage(const std::string& text) {
  std::fprintf(stderr, "vireometer-cli: %s (see vireometer-cli serve --help)\n", text.c_str());
  return kExitUsage;
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
      if (!in || !std::getline(in, mqtt.password))
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

  serve::Service service(std::move(options), log);
  if (!service.Listen())
    return kExitFailed;
  return service.Run(signalFd.Get()) ? kExitOk : kExitFailed;
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
      "--insecure-listen is given.\n"
      "MQTT: per meter, PREFIX/SERIAL/state (JSON, every --mqtt-interval), PREFIX/SERIAL/"
      "availability (online, offline; retained, and the connection's last will) and the Home "
      "Assistant device config HA_PREFIX/device/vireometer_SERIAL/config (retained, published "
      "again when HA_PREFIX/status says online). A broker that is away is retried with back-off.\n"
      "As a service: systemctl --user enable --now vireometer-serve (options in "
      "~/.config/vireometer/serve.env); on a host without a login session, loginctl "
      "enable-linger USER first.\n"
      "Exit status: 0 after a stop signal, 1 when an address cannot be served or the devices "
      "cannot be watched, 2 usage error.");
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
  serve->callback([&status, args] { status = Serve(*args); });
}

}  // namespace vireo::cli
