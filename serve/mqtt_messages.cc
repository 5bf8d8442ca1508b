#include "serve/mqtt_messages.h"

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "base/iso_time.h"
#include "meter/readings_record.h"
#include "serve/exposition.h"

namespace vireo::serve {

namespace {

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size())
      return std::nullopt;
    const std::string hex(text.substr(i + 1, 2));
    char* end = nullptr;
    const long value = std::strtol(hex.c_str(), &end, 16);
    if (hex.size() != 2 || *end != '\0')
      return std::nullopt;
    out += static_cast<char>(value);
    i += 2;
  }
  return out;
}

// What topics and Home Assistant ids can hold: anything else becomes '_'.
std::string TopicId(std::string_view text) {
  std::string id;
  for (char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-';
    id += plain ? c : '_';
  }
  return id;
}

}  // namespace

std::optional<MqttBroker> ParseMqttUrl(std::string_view url, std::string& error) {
  MqttBroker b;
  std::string_view rest;
  if (url.starts_with("mqtt://")) {
    rest = url.substr(7);
  } else if (url.starts_with("mqtts://")) {
    rest = url.substr(8);
    b.tls = true;
    b.port = 8883;
  } else {
    error = "'" + std::string(url) + "' is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    return std::nullopt;
  }
  if (!rest.empty() && rest.back() == '/')
    rest.remove_suffix(1);
  if (const size_t at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view userInfo = rest.substr(0, at);
    if (userInfo.find(':') != std::string_view::npos) {
      error = "the MQTT URL holds a password; give it with --mqtt-password-file instead";
      return std::nullopt;
    }
    const std::optional<std::string> user = PercentDecode(userInfo);
    if (!user || user->empty()) {
      error = "the user name of the MQTT URL is not readable";
      return std::nullopt;
    }
    b.user = *user;
    rest = rest.substr(at + 1);
  }
  std::string_view portText;
  if (rest.starts_with("[")) {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      error = "the MQTT URL's IPv6 address has no ']'";
      return std::nullopt;
    }
    b.host = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    if (rest.starts_with(":"))
      portText = rest.substr(1);
    else if (!rest.empty())
      b.host.clear();
  } else {
    const size_t colon = rest.find(':');
    b.host = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos)
      portText = rest.substr(colon + 1);
  }
  if (b.host.empty() || b.host.find('/') != std::string::npos) {
    error = "'" + std::string(url) + "' names no host";
    return std::nullopt;
  }
  if (!portText.empty() || rest.ends_with(":")) {
    const std::string text(portText);
    char* end = nullptr;
    const unsigned long port = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || port == 0 || port > 65535) {
      error = "'" + std::string(url) + "' has no port number 1..65535";
      return std::nullopt;
    }
    b.port = static_cast<uint16_t>(port);
  }
  return b;
}

MqttTopics::MqttTopics(std::string_view prefix, std::string_view haPrefix, std::string_view serial)
    : id(TopicId(serial)) {
  const std::string base = std::string(prefix) + "/" + id + "/";
  state = base + "state";
  availability = base + "availability";
  discovery = std::string(haPrefix) + "/device/vireometer_" + id + "/config";
  haStatus = std::string(haPrefix) + "/status";
  alarm = base + "alarm";
}

std::string MqttTopics::AlarmState(std::string_view name) const {
  return alarm + "s/" + TopicId(name);
}

std::string AlarmEventJson(const AlarmNotice& notice) {
  nlohmann::ordered_json j;
  j["alarm"] = notice.name;
  j["state"] = notice.raised ? "raised" : "cleared";
  j["quantity"] = notice.quantity;
  j["value"] = std::isfinite(notice.value) ? nlohmann::ordered_json(notice.value) : nullptr;
  j["time"] = FormatUtc(notice.wallNs / 1000);
  return j.dump();
}

std::string StateJson(const MeterSnapshot& m) {
  const auto number = JsonNumber;
  const ReadingsRecord& r = m.readings;
  nlohmann::ordered_json j;
  j["voltage"] = number(r.voltage);
  j["current"] = number(r.current);
  j["power"] = number(r.power);
  j["dplus"] = number(r.dPlus);
  j["dminus"] = number(r.dMinus);
  j["temp_internal"] = number(r.tempInternal);
  j["temp_external"] = IsExternalReading(r.tempExternal) ? number(r.tempExternal) : nullptr;
  j["energy_wh"] = m.energyJoules / 3600;
  j["charge_ah"] = m.chargeCoulombs / 3600;
  j["frames"] = m.frames;
  j["gaps"] = m.gaps;
  j["time"] = FormatUtc(m.lastFrameWallNs / 1000);
  return j.dump();
}

std::string DiscoveryJson(const MqttTopics& topics, std::string_view serial,
                          std::string_view firmware, std::string_view version,
                          const std::vector<std::string>& alarms) {
  using json = nlohmann::ordered_json;
  const std::string uid = "vireometer_" + topics.id;
  json components = json::object();
  auto sensor = [&](const char* key, const char* name, const char* deviceClass, const char* unit,
                    const char* stateClass, const char* field, int precision) {
    json c;
    c["p"] = "sensor";
    c["name"] = name;
    if (*deviceClass)
      c["device_class"] = deviceClass;
    c["unit_of_measurement"] = unit;
    c["state_class"] = stateClass;
    c["suggested_display_precision"] = precision;
    c["value_template"] = std::string("{{ value_json.") + field + " }}";
    c["availability_topic"] = topics.availability;
    c["unique_id"] = uid + "_" + key;
    components[key] = std::move(c);
  };
  sensor("voltage", "Voltage", "voltage", "V", "measurement", "voltage", 3);
  sensor("current", "Current", "current", "A", "measurement", "current", 3);
  sensor("power", "Power", "power", "W", "measurement", "power", 3);
  sensor("energy", "Energy", "energy", "Wh", "total_increasing", "energy_wh", 3);
  // Home Assistant has no device class for charge.
  sensor("charge", "Charge", "", "Ah", "total_increasing", "charge_ah", 4);
  sensor("temperature", "Temperature", "temperature", "°C", "measurement", "temp_internal", 1);
  sensor("temperature_external", "External temperature", "temperature", "°C", "measurement",
         "temp_external", 1);
  // Connectivity reads the availability topic itself, so it shows off rather than unavailable.
  components["connectivity"] = {{"p", "binary_sensor"},
                                {"name", "Connected"},
                                {"device_class", "connectivity"},
                                {"entity_category", "diagnostic"},
                                {"state_topic", topics.availability},
                                {"payload_on", "online"},
                                {"payload_off", "offline"},
                                {"unique_id", uid + "_connectivity"}};
  for (const std::string& name : alarms) {
    const std::string key = "alarm_" + TopicId(name);
    components[key] = {{"p", "binary_sensor"},
                       {"name", "Alarm " + name},
                       {"device_class", "problem"},
                       {"state_topic", topics.AlarmState(name)},
                       {"payload_on", "ON"},
                       {"payload_off", "OFF"},
                       {"availability_topic", topics.availability},
                       {"unique_id", uid + "_" + key}};
  }
  json config;
  config["dev"] = {{"ids", json::array({uid})},
                   {"name", "VireoMeter " + std::string(serial)},
                   {"mf", "VireoMeter"},
                   {"mdl", "USB power meter"},
                   {"mdl_id", "0716:5027"},
                   {"sn", serial},
                   {"sw", firmware}};
  config["o"] = {{"name", "vireometer-cli serve"}, {"sw", version}};
  config["cmps"] = std::move(components);
  config["state_topic"] = topics.state;
  config["qos"] = 0;
  return config.dump();
}

}  // namespace vireo::serve
