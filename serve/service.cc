#include "serve/service.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "acquire/device_watch.h"
#include "acquire/live_stream.h"
#include "app/identify.h"
#include "meter/firmware_version.h"
#include "meter/meter_devices.h"
#include "serve/meter_feed.h"

namespace vireo::serve {

namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kSettleNs = 250 * kMs;  // a new device node or socket settles first
constexpr int64_t kRetryNs = 5000 * kMs;  // a meter held by another program is tried again
constexpr int64_t kTickNs = 1000 * kMs;   // drops and availability follow at least this often
constexpr size_t kMaxAlarmsBeforeMqtt = 64;

int64_t Now() {
  return ClockNs(CLOCK_BOOTTIME);
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", s);
  return text;
}

DroppedFrames operator+(const DroppedFrames& a, const DroppedFrames& b) {
  return {a.badLength + b.badLength, a.badChecksum + b.badChecksum, a.wrongCode + b.wrongCode,
          a.queueFull + b.queueFull};
}

DroppedFrames FromLive(const LiveDrops& d) {
  return {d.badLength, d.badFrame, d.wrongCode, 0};
}

}  // namespace

// One meter for the whole run; its stream comes and goes with the device.
struct Service::Meter final : MeterHost {
  Meter(Service& owner, const std::string& serial, const std::string& firmwareText, int endFd)
      : service(owner),
        state(serial, firmwareText),
        firmware(firmwareText),
        stream(link, LiveStreamHooks{{}, [this, endFd](StreamEnd end) {
                                       ended.store(static_cast<int>(end));
                                       const uint64_t one = 1;
                                       [[maybe_unused]] ssize_t n =
                                           ::write(endFd, &one, sizeof one);
                                     }}) {
    link.Configure();
    stream.Subscribe(state);
  }

  // From the worker's thread.
  void ReportAlarm(const AlarmNotice& notice) override {
    state.SetAlarm(notice.name, notice.raised);
    std::lock_guard lock(mqttMutex);
    if (mqtt)
      mqtt->PublishAlarm(notice);
    else if (service.options_.mqtt && beforeMqtt.size() < kMaxAlarmsBeforeMqtt)
      beforeMqtt.push_back(notice);
  }
  void RequestStop() override { service.RequestStop(); }

  Service& service;
  MeterState state;
  std::string firmware;
  MeterLink link;
  LiveStream stream;
  std::unique_ptr<MeterFeed> feed;  // with a worker only
  std::vector<std::string> alarms;
  std::mutex mqttMutex;  // the worker's thread publishes alarms; the main thread sets mqtt
  std::unique_ptr<MqttPublisher> mqtt;
  std::vector<AlarmNotice> beforeMqtt;  // alarms the worker reported before mqtt was made
  std::string path;                     // the device streamed, while streaming
  bool streaming = false;
  std::atomic<int> ended{-1};  // how the last stream ended, -1 while none has
  int64_t lostAt = 0;
  DroppedFrames dropsBefore;  // of the streams that have ended
};

Service::Service(ServeOptions options, ServiceLog& log)
    : options_(std::move(options)),
      log_(log),
      endFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      stopFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (options_.watchFolders.empty())
    options_.watchFolders = DeviceWatch::DefaultFolders();
  if (options_.mqtt) {
    const MqttBroker& b = options_.mqtt->broker;
    broker_ = std::make_unique<BrokerWatch>(
        (b.tls ? "mqtts://" : "mqtt://") + b.host + ":" + std::to_string(b.port),
        [this](const std::string& text) { log_.Info(text); });
  }
}

Service::~Service() {
  StopAll();
  // The endpoint's threads read the meters: stop them before the meters go.
  http_.reset();
}

void Service::RequestStop() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stopFd_.Get(), &one, sizeof one);
}

const std::vector<std::string>& Service::urls() const {
  static const std::vector<std::string> none;
  return http_ ? http_->urls() : none;
}

std::vector<MeterSnapshot> Service::Snapshots() const {
  std::vector<MeterSnapshot> out;
  std::lock_guard lock(metersMutex_);
  out.reserve(meters_.size());
  for (const auto& m : meters_)
    out.push_back(m->state.Snapshot());
  return out;
}

bool Service::Listen() {
  HttpContent content;
  content.metrics = [this](MetricsFormat format) {
    return WriteMetrics(Snapshots(), options_.version, format);
  };
  content.metersJson = [this] { return MetersJson(Snapshots(), options_.version); };
  http_ = std::make_unique<HttpEndpoint>(std::move(content), options_.web,
                                         [this](const std::string& text) { log_.Warning(text); });
  for (const ListenAddress& address : options_.listen) {
    std::string error;
    if (!http_->Listen(address, error)) {
      log_.Error(error);
      return false;
    }
  }
  for (const std::string& url : http_->urls())
    log_.Info("listening on " + url + " (/metrics, /api/v1/meters, /healthz)");
  return true;
}

Service::Meter& Service::MeterFor(const std::string& serial, const std::string& firmware,
                                  const std::string& path) {
  for (const auto& m : meters_) {
    if (m->state.serial() == serial)
      return *m;
  }
  auto meter = std::make_unique<Meter>(*this, serial, firmware, endFd_.Get());
  log_.Info("meter " + serial + " (firmware " + firmware + ") found at " + path);
  if (std::unique_ptr<MeterWorker> worker =
          options_.makeWorker ? options_.makeWorker(serial, *meter) : nullptr) {
    meter->alarms = worker->AlarmNames();
    meter->state.SetAlarmNames(meter->alarms);
    auto feed = std::make_unique<MeterFeed>(
        std::move(worker),
        [this, serial](const std::string& text) { log_.Error("meter " + serial + ": " + text); });
    std::string error;
    if (feed->Start(error)) {
      meter->stream.Subscribe(feed->queue());
      meter->feed = std::move(feed);
    } else {
      log_.Error("meter " + serial + ": " + error);
    }
  }
  std::lock_guard lock(metersMutex_);
  meters_.push_back(std::move(meter));
  return *meters_.back();
}

bool Service::Take(const std::string& path, int64_t now) {
  // Identified with a link of its own: the meter's link may still be closing an old stream.
  MeterLink probe;
  probe.Configure();
  probe.BindToPath(path);
  NullReporter quiet;
  if (!Identify(probe, identifyState_, quiet, OldFirmware::kQuiet)) {
    const OpenRefusal why = probe.lastOpenRefusal();
    if (why == OpenRefusal::kNoDevice)
      return true;  // gone again
    if (told_.insert(path).second) {
      const std::string cause = probe.lastOpenError().message;
      log_.Warning((cause.empty() ? "cannot open " + path : cause) +
                   (why == OpenRefusal::kPermission
                        ? " (is the udev rule 70-vireometer.rules installed?)"
                        : "; trying again every few seconds"));
    }
    return false;
  }
  const DeviceInfo info = identifyState_.deviceInfo.Load();
  const std::string serial = SerialText(info);
  const std::string firmware = FirmwareVersionText(info.version);
  if (!options_.meters.empty() &&
      std::find(options_.meters.begin(), options_.meters.end(), serial) == options_.meters.end()) {
    if (told_.insert(path).second)
      log_.Info("meter " + serial + " at " + path + " is not one of --meter; left alone");
    return true;
  }
  if (!IsFirmwareSupported(info.version)) {
    if (told_.insert(path).second) {
      log_.Warning("meter " + serial + " at " + path + " has firmware " + firmware +
                   "; streaming needs 1.5 or newer");
    }
    return true;
  }
  Meter& meter = MeterFor(serial, firmware, path);
  if (meter.streaming)
    return true;
  meter.stream.Join();
  meter.link.BindToPath(path);
  meter.ended = -1;
  meter.firmware = firmware;
  meter.state.StreamStarted(firmware);
  if (meter.feed)
    meter.feed->StreamStarting(now, firmware, meter.stream.Published());
  const LiveStream::StartError started = meter.stream.Start(serial);
  if (started != LiveStream::StartError::kNone) {
    meter.state.OnStreamEnd(StreamEnd::kMeterRefused);
    if (meter.feed)
      meter.feed->StreamEnded(now, StreamEnd::kMeterRefused, meter.stream.Published());
    if (told_.insert(path).second)
      log_.Warning("meter " + serial + " at " + path + " cannot stream; trying again");
    return false;
  }
  told_.erase(path);
  meter.streaming = true;
  meter.path = path;
  if (meter.lostAt != 0) {
    log_.Info("meter " + serial + " back at " + path + " after " +
              Seconds((now - meter.lostAt) / 1e9));
  } else {
    log_.Info("meter " + serial + " streaming");
  }
  if (options_.mqtt && !meter.mqtt) {
    // Made once the meter streams, so its first availability is online.
    auto mqtt =
        std::make_unique<MqttPublisher>(*options_.mqtt, *broker_, serial, firmware, meter.alarms);
    mqtt->SetOnline(true, firmware);
    std::string error;
    if (mqtt->Start(error)) {
      std::lock_guard lock(meter.mqttMutex);
      for (const AlarmNotice& notice : std::exchange(meter.beforeMqtt, {}))
        mqtt->PublishAlarm(notice);
      meter.mqtt = std::move(mqtt);
    } else {
      log_.Error(error);
    }
  } else if (meter.mqtt) {
    meter.mqtt->SetOnline(true, firmware);
  }
  return true;
}

void Service::Scan(int64_t now) {
  bool again = false;
  for (const MeterDevice& device : ListMeters()) {
    const std::string& path = device.path;
    const bool streamed = std::any_of(meters_.begin(), meters_.end(), [&](const auto& m) {
      return m->streaming && m->path == path;
    });
    if (!streamed && !Take(path, now))
      again = true;
  }
  retryAt_ = again ? now + kRetryNs : INT64_MAX;
}

void Service::Reap(int64_t now) {
  uint64_t count;
  [[maybe_unused]] const ssize_t n = ::read(endFd_.Get(), &count, sizeof count);
  bool retry = false;
  for (const auto& m : meters_) {
    const int ended = m->ended.load();
    if (!m->streaming || ended < 0)
      continue;
    m->stream.Join();
    m->streaming = false;
    m->lostAt = now;
    m->dropsBefore = m->dropsBefore + FromLive(m->stream.Drops());
    UpdateDropped(*m);
    const auto end = static_cast<StreamEnd>(ended);
    if (m->feed)
      m->feed->StreamEnded(now, end, m->stream.Published());
    log_.Info("meter " + m->state.serial() + " lost (" + StreamEndText(end) +
              "); its series go on after the gap");
    if (m->mqtt)
      m->mqtt->SetOnline(false, m->firmware);
    // A meter that is still attached gives no device change to wait for.
    if (end != StreamEnd::kMeterGone)
      retry = true;
  }
  if (retry)
    retryAt_ = std::min(retryAt_, now + kRetryNs);
}

void Service::UpdateDropped(Meter& m) {
  DroppedFrames d = m.streaming ? m.dropsBefore + FromLive(m.stream.Drops()) : m.dropsBefore;
  d.queueFull = m.feed ? m.feed->dropped() : 0;
  m.state.SetDropped(d);
}

void Service::Tick(bool publish) {
  for (const auto& m : meters_) {
    UpdateDropped(*m);
    if (!m->mqtt)
      continue;
    const MeterSnapshot s = m->state.Snapshot();
    m->mqtt->SetOnline(s.connected(), m->firmware);
    if (publish && s.connected() && s.haveReadings)
      m->mqtt->PublishState(s);
  }
}

bool Service::Run(int stopFd) {
  DeviceWatch watch(options_.watchFolders);  // before the first look: no change missed
  if (!endFd_ || !stopFd_ || !watch.IsValid()) {
    log_.Error(std::string("cannot watch the devices: ") + std::strerror(errno));
    return false;
  }
  int64_t now = Now();
  Scan(now);
  std::string status = "serving " + std::to_string(meters_.size()) + " meter(s)";
  notify_.Ready(status);
  const int64_t publishEvery =
      options_.mqtt ? std::max<int64_t>(kMs, std::llround(options_.mqttIntervalSeconds * 1e9))
                    : INT64_MAX;
  int64_t publishAt = options_.mqtt ? now + publishEvery : INT64_MAX;
  int64_t tickAt = now + kTickNs;
  int64_t aliveAt = notify_.aliveIntervalNs() > 0 ? now : INT64_MAX;
  int64_t settleAt = INT64_MAX;
  for (;;) {
    now = Now();
    const int64_t next = std::min({publishAt, tickAt, aliveAt, settleAt, retryAt_});
    const int timeoutMs =
        static_cast<int>(std::clamp<int64_t>((next - now + kMs - 1) / kMs, 0, 60'000));
    pollfd fds[4] = {{stopFd, POLLIN, 0},
                     {watch.fd(), POLLIN, 0},
                     {endFd_.Get(), POLLIN, 0},
                     {stopFd_.Get(), POLLIN, 0}};
    if (::poll(fds, 4, timeoutMs) < 0 && errno != EINTR) {
      log_.Error(std::string("cannot wait: ") + std::strerror(errno));
      break;
    }
    now = Now();
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) || (fds[3].revents & POLLIN))
      break;
    if ((fds[1].revents & POLLIN) && watch.Drain())
      settleAt = std::min(settleAt, now + kSettleNs);
    if (fds[2].revents & POLLIN)
      Reap(now);
    if (now >= settleAt || now >= retryAt_) {
      settleAt = INT64_MAX;
      Scan(now);
    }
    const bool publish = now >= publishAt;
    if (publish || now >= tickAt) {
      Tick(publish);
      tickAt = now + kTickNs;
      if (publish)
        publishAt = std::max(publishAt + publishEvery, now);
    }
    if (now >= aliveAt) {
      notify_.Alive();
      aliveAt = now + notify_.aliveIntervalNs();
    }
    const std::string nowStatus = "serving " + std::to_string(meters_.size()) + " meter(s)";
    if (nowStatus != status)
      notify_.Status(status = nowStatus);
  }
  notify_.Stopping();
  log_.Info("stopping");
  StopAll();
  return true;
}

void Service::StopAll() {
  if (std::exchange(stopped_, true))
    return;
  // Every stream drains what it is owed, all at once, then each is followed to its end.
  for (const auto& m : meters_)
    m->stream.RequestStop();
  for (const auto& m : meters_) {
    m->stream.Join();
    const bool wasStreaming = m->streaming;
    if (m->streaming) {
      m->streaming = false;
      m->dropsBefore = m->dropsBefore + FromLive(m->stream.Drops());
      if (m->feed)
        m->feed->StreamEnded(Now(), StreamEnd::kStopped, m->stream.Published());
    }
    // What the worker was owed goes to it before the meter's summary is said.
    if (m->feed) {
      m->feed->Stop();
      if (m->feed->dropped() > 0)
        log_.Warning("meter " + m->state.serial() + ": " + std::to_string(m->feed->dropped()) +
                     " frames were dropped: the store or the alarms fell behind");
    }
    UpdateDropped(*m);
    {
      const MeterSnapshot s = m->state.Snapshot();
      char text[160];
      std::snprintf(text, sizeof text, "%llu frames, %.6g Wh, %.6g Ah, %llu gaps (%.3f s)",
                    static_cast<unsigned long long>(s.frames), s.energyJoules / 3600,
                    // The end of this run is no gap.
                    s.chargeCoulombs / 3600,
                    static_cast<unsigned long long>(s.gaps - (wasStreaming && s.gaps ? 1 : 0)),
                    s.gapSeconds);
      log_.Info("meter " + s.serial + ": " + text);
    }
    std::lock_guard lock(m->mqttMutex);
    m->mqtt.reset();  // marks the meter offline and disconnects
  }
}

}  // namespace vireo::serve
