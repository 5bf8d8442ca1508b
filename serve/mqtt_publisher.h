// MqttPublisher: one meter on an MQTT broker through a connection of its own (libmosquitto),
// whose last will marks the meter offline if the service dies: the retained Home Assistant
// discovery config (again whenever Home Assistant's status topic says online), the retained
// availability, the state JSON the service hands it, never retained, and each alarm's state
// (again on every connection and Home Assistant start) and events (kept while the broker is
// away, up to a bound). The connection runs
// on the publisher's thread and reconnects with back-off; publishing only queues, and state
// is skipped while the broker is away or falls behind, so a broker never slows a stream.
// BrokerWatch tells the log once when the broker goes away and once when it is back.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "serve/meter_state.h"
#include "serve/mqtt_messages.h"

struct mosquitto;
struct mosquitto_message;

namespace vireo::serve {

struct MqttSettings {
  MqttBroker broker;
  std::string password;  // from --mqtt-password-file
  std::string prefix = "vireometer";
  std::string haPrefix = "homeassistant";
  bool haDiscovery = true;
  std::string version;  // of this program, for the discovery's origin
};

// Shared by the publishers of one broker; any thread.
class BrokerWatch {
 public:
  BrokerWatch(std::string broker, std::function<void(const std::string&)> log);
  void Up(const void* client);
  void Down(const void* client, const std::string& why);

 private:
  const std::string broker_;
  const std::function<void(const std::string&)> log_;
  std::mutex mutex_;
  std::set<const void*> down_;
  bool everUp_ = false;
  bool saidDown_ = false;
};

class MqttPublisher {
 public:
  // `alarms` names the meter's alarms, each a binary sensor of its device.
  MqttPublisher(const MqttSettings& settings, BrokerWatch& watch, std::string serial,
                std::string firmware, std::vector<std::string> alarms = {});
  // Marks the meter offline, disconnects within about a second, and joins the thread.
  ~MqttPublisher();
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Starts the connection's thread; false with the reason when the library refuses the
  // settings.
  bool Start(std::string& error);
  // The meter streams (online) or not (offline); the firmware as last identified.
  void SetOnline(bool online, const std::string& firmware);
  // Publishes the state, when connected and not behind.
  void PublishState(const MeterSnapshot& meter);
  // An alarm raised or cleared: its state, and the event on PREFIX/SERIAL/alarm, once connected.
  // Any thread.
  void PublishAlarm(const AlarmNotice& notice);

  // Messages handed to the broker's connection so far, and state messages skipped.
  uint64_t published() const { return published_.load(std::memory_order_relaxed); }
  uint64_t skipped() const { return skipped_.load(std::memory_order_relaxed); }

 private:
  struct Destroy {
    void operator()(mosquitto* m) const;
  };
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  static void OnPublish(mosquitto*, void* self, int mid);

  void Run();
  // The discovery config (when asked for) and the availability, retained.
  void PublishIdentity();
  bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain);

  const MqttSettings settings_;
  BrokerWatch& watch_;
  const std::string serial_;
  const MqttTopics topics_;
  std::unique_ptr<mosquitto, Destroy> client_;
  const std::vector<std::string> alarms_;
  std::mutex mutex_;  // guards firmware_, online_, raised_, pendingEvents_, the back-off wait
  std::condition_variable wake_;
  std::string firmware_;
  bool online_ = false;
  std::vector<bool> raised_;                // by alarm
  std::vector<std::string> pendingEvents_;  // alarm events while not connected
  std::atomic<bool> connected_{false};
  std::atomic<bool> stop_{false};
  std::atomic<int> inFlight_{0};
  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> skipped_{0};
  std::thread thread_;
};

}  // namespace vireo::serve
