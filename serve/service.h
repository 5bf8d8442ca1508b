// Service: `vireometer-cli serve`. Streams every attached meter (or those asked for by serial)
// with a LiveStream each, picks up meters as they arrive by watching the HID devices, and keeps
// a meter's series across its unplugs: a meter is its serial, and a new stream of it carries
// its counters on after a gap. Serves the meters' state over HTTP and publishes it over MQTT;
// what the front end adds per meter (a store, alarms) runs as a MeterWorker on a thread of the
// meter's own. Run() takes the calling thread until the stop descriptor becomes readable or
// RequestStop() is called.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "base/posix.h"
#include "serve/http_endpoint.h"
#include "serve/meter_state.h"
#include "serve/meter_worker.h"
#include "serve/mqtt_publisher.h"
#include "serve/service_log.h"
#include "serve/system_notify.h"

namespace vireo::serve {

struct ServeOptions {
  std::vector<std::string> meters;  // serials to stream; empty: every meter
  std::vector<ListenAddress> listen;
  std::optional<WebConfig> web;
  std::optional<MqttSettings> mqtt;
  double mqttIntervalSeconds = 1;
  std::vector<std::string> watchFolders;  // where HID devices appear; empty: the defaults
  std::string version;
  MakeMeterWorker makeWorker;  // none: metrics and MQTT only
};

class Service {
 public:
  Service(ServeOptions options, ServiceLog& log);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Listens on every address; false, with the reason logged, when one cannot be served.
  bool Listen();
  // Serves until stopFd is readable; false when it could not run at all.
  bool Run(int stopFd);
  // Ends Run as the stop descriptor does; any thread.
  void RequestStop();

  // Every meter seen in this run, in the order they came; any thread.
  std::vector<MeterSnapshot> Snapshots() const;
  const std::vector<std::string>& urls() const;

 private:
  struct Meter;

  // Looks for meters that are attached and not streamed yet, and streams them.
  void Scan(int64_t now);
  // Identifies the meter at `path` and starts its stream; false when it should be tried again
  // later (held by another program).
  bool Take(const std::string& path, int64_t now);
  Meter& MeterFor(const std::string& serial, const std::string& firmware, const std::string& path);
  // Follows the streams that ended.
  void Reap(int64_t now);
  void UpdateDropped(Meter& m);
  // The drops of the streams and queues into the states; the state to the broker.
  void Tick(bool publish);
  void StopAll();

  ServeOptions options_;
  ServiceLog& log_;
  SystemNotify notify_;
  std::unique_ptr<HttpEndpoint> http_;
  std::unique_ptr<BrokerWatch> broker_;
  AppState identifyState_;          // the identification's scratch state, main thread only
  mutable std::mutex metersMutex_;  // the list itself; each meter guards its own state
  std::vector<std::unique_ptr<Meter>> meters_;
  std::set<std::string> told_;  // paths whose refusal was logged, so it is said once
  posix::UniqueFd endFd_;       // readable when a stream has ended
  posix::UniqueFd stopFd_;      // readable after RequestStop()
  int64_t retryAt_ = INT64_MAX;
  bool stopped_ = false;
};

}  // namespace vireo::serve
