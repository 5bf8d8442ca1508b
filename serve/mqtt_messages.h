// What the service publishes over MQTT, as pure functions: the broker address from its URL,
// the topics of a meter, its state JSON and its Home Assistant device discovery config.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serve/meter_state.h"
#include "serve/meter_worker.h"

namespace vireo::serve {

struct MqttBroker {
  std::string host;
  uint16_t port = 1883;
  bool tls = false;  // mqtts://, verified against the system's CA store
  std::string user;  // empty for none
};

// "mqtt://[USER@]HOST[:PORT]" or "mqtts://..." (IPv6 hosts in brackets). A password in the URL
// is refused: it would show in the process list; it comes from a file.
std::optional<MqttBroker> ParseMqttUrl(std::string_view url, std::string& error);

// The names a meter's messages go under.
struct MqttTopics {
  MqttTopics(std::string_view prefix, std::string_view haPrefix, std::string_view serial);
  std::string id;     // the serial with what topics and Home Assistant ids cannot hold made '_'
  std::string state;  // PREFIX/ID/state
  std::string availability;  // PREFIX/ID/availability
  std::string discovery;     // HA_PREFIX/device/vireometer_ID/config
  std::string haStatus;      // HA_PREFIX/status
  std::string alarm;         // PREFIX/ID/alarm: the alarms' events
  // PREFIX/ID/alarms/NAME: ON or OFF, the state of one alarm (NAME made fit as the id is).
  std::string AlarmState(std::string_view name) const;
};

// {"voltage": ..., "energy_wh": ..., ...}: readings that are not numbers (and the external
// temperature without a probe) are null.
std::string StateJson(const MeterSnapshot& meter);

// {"alarm": NAME, "state": "raised"|"cleared", "quantity": ..., "value": ..., "time": ISO 8601}
std::string AlarmEventJson(const AlarmNotice& notice);

// One device with its sensors: voltage, current, power (measurement), energy in Wh and charge
// in Ah (total_increasing), the two temperatures, connectivity from the availability topic, and
// a binary sensor (problem) for each alarm.
std::string DiscoveryJson(const MqttTopics& topics, std::string_view serial,
                          std::string_view firmware, std::string_view version,
                          const std::vector<std::string>& alarms = {});

}  // namespace vireo::serve
