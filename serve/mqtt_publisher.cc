#include "serve/mqtt_publisher.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace vireo::serve {

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kMaxInFlight = 64;  // messages handed over but not yet written (or acknowledged)
constexpr int kMaxBackOffSeconds = 60;
constexpr size_t kMaxPendingEvents = 64;  // alarm events kept while the broker is away
constexpr auto kGoodbyeTime = std::chrono::seconds(1);

std::string Reason(int rc) {
  return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

std::string ClientId(const std::string& id) {
  char host[64] = {};
  gethostname(host, sizeof host - 1);
  return "vireometer-" + id + "-" + host;
}

}  // namespace

BrokerWatch::BrokerWatch(std::string broker, std::function<void(const std::string&)> log)
    : broker_(std::move(broker)), log_(std::move(log)) {}

void BrokerWatch::Up(const void* client) {
  std::lock_guard lock(mutex_);
  down_.erase(client);
  if (!everUp_ || (saidDown_ && down_.empty())) {
    log_("MQTT: connected to " + broker_);
    saidDown_ = false;
  }
  everUp_ = true;
}

void BrokerWatch::Down(const void* client, const std::string& why) {
  std::lock_guard lock(mutex_);
  down_.insert(client);
  if (!saidDown_) {
    log_("MQTT: no connection to " + broker_ + " (" + why + "); reconnecting with back-off");
    saidDown_ = true;
  }
}

void MqttPublisher::Destroy::operator()(mosquitto* m) const {
  mosquitto_destroy(m);
}

MqttPublisher::MqttPublisher(const MqttSettings& settings, BrokerWatch& watch, std::string serial,
                             std::string firmware, std::vector<std::string> alarms)
    : settings_(settings),
      watch_(watch),
      serial_(std::move(serial)),
      topics_(settings.prefix, settings.haPrefix, serial_),
      alarms_(std::move(alarms)),
      firmware_(std::move(firmware)),
      raised_(alarms_.size(), false) {
  static std::once_flag init;
  std::call_once(init, [] { mosquitto_lib_init(); });
  client_.reset(mosquitto_new(ClientId(topics_.id).c_str(), true, this));
}

bool MqttPublisher::Start(std::string& error) {
  mosquitto* c = client_.get();
  if (!c) {
    error = std::string("cannot make an MQTT client: ") + std::strerror(errno);
    return false;
  }
  mosquitto_int_option(c, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_threaded_set(c, true);  // publishing from the service's thread only queues
  const MqttBroker& b = settings_.broker;
  int rc = MOSQ_ERR_SUCCESS;
  if (!b.user.empty()) {
    rc = mosquitto_username_pw_set(
        c, b.user.c_str(), settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS)
    rc = mosquitto_will_set(c, topics_.availability.c_str(), 7, "offline", 1, true);
  if (rc == MOSQ_ERR_SUCCESS && b.tls)
    rc = mosquitto_int_option(c, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
  if (rc != MOSQ_ERR_SUCCESS) {
    error = "MQTT: " + Reason(rc);
    return false;
  }
  mosquitto_connect_callback_set(c, &OnConnect);
  mosquitto_disconnect_callback_set(c, &OnDisconnect);
  mosquitto_message_callback_set(c, &OnMessage);
  mosquitto_publish_callback_set(c, &OnPublish);
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    error = std::string("cannot start the MQTT thread: ") + e.what();
    return false;
  }
  return true;
}

MqttPublisher::~MqttPublisher() {
  {
    std::lock_guard lock(mutex_);
    online_ = false;
    stop_ = true;
  }
  wake_.notify_all();
  if (client_ && connected_) {
    // A clean disconnect drops the last will, so the meter is marked offline first.
    Publish(topics_.availability, "offline", 1, true);
    mosquitto_disconnect(client_.get());
  }
  if (thread_.joinable())
    thread_.join();
}

void MqttPublisher::Run() {
  mosquitto* c = client_.get();
  const MqttBroker& b = settings_.broker;
  int delay = 1;
  for (bool first = true; !stop_; first = false) {
    int rc = first ? mosquitto_connect_async(c, b.host.c_str(), b.port, kKeepAliveSeconds)
                   : mosquitto_reconnect_async(c);
    bool reached = false;
    std::chrono::steady_clock::time_point stopBy{};
    while (rc == MOSQ_ERR_SUCCESS) {
      rc = mosquitto_loop(c, 1000, 1);
      reached = reached || connected_;
      if (stop_) {
        // Give the offline message and the disconnect a moment to go out.
        const auto now = std::chrono::steady_clock::now();
        if (stopBy == std::chrono::steady_clock::time_point{})
          stopBy = now + kGoodbyeTime;
        if (!connected_ || now >= stopBy)
          break;
      }
    }
    connected_ = false;
    if (stop_)
      break;
    if (reached)
      delay = 1;
    watch_.Down(this, Reason(rc));
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, std::chrono::seconds(delay), [this] { return stop_.load(); });
    delay = std::min(delay * 2, kMaxBackOffSeconds);
  }
}

void MqttPublisher::OnConnect(mosquitto* c, void* self, int rc) {
  auto* p = static_cast<MqttPublisher*>(self);
  if (rc != 0) {
    p->watch_.Down(p, mosquitto_connack_string(rc));
    return;
  }
  p->inFlight_ = 0;
  p->connected_ = true;
  p->watch_.Up(p);
  if (p->settings_.haDiscovery)
    mosquitto_subscribe(c, nullptr, p->topics_.haStatus.c_str(), 1);
  p->PublishIdentity();
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int) {
  static_cast<MqttPublisher*>(self)->connected_ = false;
}

void MqttPublisher::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* p = static_cast<MqttPublisher*>(self);
  const std::string_view payload(static_cast<const char*>(message->payload),
                                 static_cast<size_t>(std::max(message->payloadlen, 0)));
  // Home Assistant came (back) online and has forgotten what was not retained.
  if (message->topic == p->topics_.haStatus && payload == "online")
    p->PublishIdentity();
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int) {
  auto* p = static_cast<MqttPublisher*>(self);
  if (p->inFlight_.fetch_sub(1) <= 0)
    p->inFlight_.fetch_add(1);
  p->published_.fetch_add(1, std::memory_order_relaxed);
}

bool MqttPublisher::Publish(const std::string& topic, const std::string& payload, int qos,
                            bool retain) {
  inFlight_.fetch_add(1);
  const int rc = mosquitto_publish(client_.get(), nullptr, topic.c_str(),
                                   static_cast<int>(payload.size()), payload.data(), qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    inFlight_.fetch_sub(1);
    return false;
  }
  return true;
}

void MqttPublisher::PublishIdentity() {
  std::string firmware;
  bool online;
  {
    std::lock_guard lock(mutex_);
    firmware = firmware_;
    online = online_;
  }
  if (settings_.haDiscovery) {
    Publish(topics_.discovery,
            DiscoveryJson(topics_, serial_, firmware, settings_.version, alarms_), 1, true);
  }
  Publish(topics_.availability, online ? "online" : "offline", 1, true);
  // Under the lock, so that a change on the worker's thread is never overtaken by a stale state.
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < alarms_.size(); ++i)
    Publish(topics_.AlarmState(alarms_[i]), raised_[i] ? "ON" : "OFF", 1, false);
  for (const std::string& event : pendingEvents_)
    Publish(topics_.alarm, event, 1, false);
  pendingEvents_.clear();
}

void MqttPublisher::PublishAlarm(const AlarmNotice& notice) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < alarms_.size(); ++i) {
    if (alarms_[i] == notice.name)
      raised_[i] = notice.raised;
  }
  if (!connected_) {
    // The connection publishes the states when it is made, and the events kept so far.
    if (pendingEvents_.size() < kMaxPendingEvents)
      pendingEvents_.push_back(AlarmEventJson(notice));
    return;
  }
  Publish(topics_.AlarmState(notice.name), notice.raised ? "ON" : "OFF", 1, false);
  Publish(topics_.alarm, AlarmEventJson(notice), 1, false);
}

void MqttPublisher::SetOnline(bool online, const std::string& firmware) {
  bool newFirmware;
  {
    std::lock_guard lock(mutex_);
    if (online_ == online && firmware_ == firmware)
      return;
    newFirmware = firmware_ != firmware;
    online_ = online;
    firmware_ = firmware;
  }
  if (!connected_)
    return;  // the connection publishes both when it is made
  if (newFirmware && settings_.haDiscovery) {
    PublishIdentity();
  } else {
    Publish(topics_.availability, online ? "online" : "offline", 1, true);
  }
}

void MqttPublisher::PublishState(const MeterSnapshot& meter) {
  if (!connected_)
    return;
  if (inFlight_.load() >= kMaxInFlight) {
    skipped_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Publish(topics_.state, StateJson(meter), 0, false);
}

}  // namespace vireo::serve
