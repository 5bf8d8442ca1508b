#include "record/recorder.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "app/identify.h"
#include "app/live_control.h"
#include "base/iso_time.h"
#include "meter/firmware_version.h"

namespace vireo::record {

namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kDrainIntervalNs = 50 * kMs;  // frames are taken in bunches, not one by one
constexpr int64_t kSettleNs = 250 * kMs;        // a new device node or socket settles first
constexpr int64_t kRefusedRetryNs = 1000 * kMs;
constexpr int kRefusedTries = 5;
constexpr std::chrono::milliseconds kBusyPatience{1000};

int64_t Now() {
  return ClockNs(CLOCK_BOOTTIME);
}

}  // namespace

Recorder::Recorder(MeterLink& link, AppState& state, Reporter& streamReporter,
                   RecorderOptions options, RecordStore* store, std::vector<LiveRowWriter*> outputs,
                   std::function<void(const std::string&)> say)
    : link_(link),
      state_(state),
      streamReporter_(streamReporter),
      options_(std::move(options)),
      say_(std::move(say)),
      sessions_(options_.triggers, options_.minFreeBytes, options_.spacePaths, store,
                std::move(outputs), say_),
      stream_(link_),
      fixedPath_(link_.boundPath()),
      serial_(options_.meterSerial) {
  stream_.Subscribe(queue_);
}

Recorder::~Recorder() {
  stream_.Shutdown();
}

std::optional<Recorder::Connection> Recorder::ChooseDevice() {
  if (!fixedPath_.empty() || serial_.empty() || (options_.anyMeter && options_.meterSerial.empty()))
    return std::nullopt;
  // The meter wanted is found by its serial wherever it is attached now.
  const AttachedMeter* other = nullptr;
  bool busy = false;
  const std::vector<AttachedMeter> meters = SurveyMeters(kBusyPatience);
  for (const AttachedMeter& meter : meters) {
    if (meter.identity && SerialText(*meter.identity) == serial_) {
      link_.BindToPath(meter.device.path);
      link_.SetBusyPatience(kBusyPatience);
      return std::nullopt;
    }
    if (meter.identity)
      other = &meter;
    busy = busy || meter.error.kind == ErrorKind::kBusy;
  }
  if (other)
    return RefuseOtherMeter(SerialText(*other->identity));
  return busy ? Connection::kRefused : Connection::kAbsent;
}

Recorder::Connection Recorder::RefuseOtherMeter(const std::string& serial) {
  if (serial != lastRefused_) {
    sessions_.OnEvent(Now(), "another meter refused", serial);
    say_("another meter (" + serial + ") is attached; waiting for meter " + serial_);
  }
  lastRefused_ = serial;
  return Connection::kOtherMeter;
}

Recorder::Connection Recorder::Connect(bool first) {
  if (const std::optional<Connection> early = ChooseDevice())
    return *early;
  if (!state_.linkOwner.TryTake(LinkUser::kIdentification))
    return Connection::kRefused;
  const bool identified = Identify(link_, state_, streamReporter_);
  state_.linkOwner.Release(LinkUser::kIdentification);
  if (!identified) {
    return link_.lastOpenRefusal() == OpenRefusal::kNoDevice ? Connection::kAbsent
                                                             : Connection::kRefused;
  }
  const DeviceInfo info = state_.deviceInfo.Load();
  const std::string serial = SerialText(info);
  if (first && serial_.empty()) {
    serial_ = serial;
  } else if (serial != serial_) {
    if (!options_.anyMeter || !options_.meterSerial.empty())
      return RefuseOtherMeter(serial);
    sessions_.OnEvent(Now(), "another meter accepted", serial);
    say_("another meter (" + serial + ") is attached; recording from it (--any-meter)");
    serial_ = serial;
  }
  lastRefused_.clear();
  if (!IsFirmwareSupported(info.version))
    return Connection::kRefused;  // the identification has given the notice
  firmware_ = FirmwareVersionText(info.version);
  sessions_.SetMeter(serial_, firmware_);

  sessions_.OnStreamStarted(Now());
  const LiveStream::StartError error = stream_.Start(serial_);
  if (error != LiveStream::StartError::kNone) {
    LogStreamStartFailure(error, link_, state_.texts, streamReporter_);
    streamReporter_.NewLogLine();
    return Connection::kRefused;
  }
  return Connection::kStreaming;
}

void Recorder::TryReconnect(int64_t now) {
  retryAt_ = INT64_MAX;
  if (fixedPath_.empty())
    link_.BindToPath({});  // a meter that comes back may have another device path
  if (!link_.IsPresent())
    return;  // the next device change says when to look again
  switch (Connect(false)) {
    case Connection::kStreaming:
      waiting_ = false;
      refusedTries_ = 0;
      if (sessions_.result().meterFound) {
        say_("meter " + serial_ + " is back; recording again");
      } else {
        SayRecording();
      }
      break;
    case Connection::kRefused:
      if (++refusedTries_ >= kRefusedTries) {
        say_("meter " + serial_ + " is attached but cannot be streamed; the session ends");
        EndRun(now, EndReason::kMeterRefused);
        sessions_.result().failed = true;
      } else {
        retryAt_ = now + kRefusedRetryNs;
      }
      break;
    case Connection::kAbsent:
    case Connection::kOtherMeter:
      break;
  }
}

bool Recorder::DrainFrames() {
  const std::optional<StreamEnd> end = queue_.Take(frames_);
  sessions_.OnFrames(frames_);
  if (watcher_)
    watcher_->OnFrames(frames_);
  return end.has_value();
}

void Recorder::StreamEnded(int64_t now) {
  stream_.Join();
  sessions_.OnMeterLost(now, "meter gone");
  say_("meter " + serial_ + " lost; waiting for it to come back");
  waiting_ = true;
  refusedTries_ = 0;
  TryReconnect(now);
}

void Recorder::SayRecording() {
  sessions_.result().meterFound = true;
  say_(std::string("recording from meter ") + serial_ + " (firmware " + firmware_ + ")" +
       (sessions_.store() ? " into " + sessions_.store()->path() : std::string()) +
       "; Ctrl-C ends");
  if (options_.triggers.startAbove) {
    char text[96];
    std::snprintf(text, sizeof text, "waiting for the current to rise above %.6g A",
                  *options_.triggers.startAbove);
    say_(text);
  }
}

void Recorder::EndRun(int64_t now, EndReason reason) {
  DrainFrames();
  sessions_.End(now, reason);
}

RecordResult Recorder::Run(int stopFd, RecordWatcher* watcher) {
  watcher_ = watcher;
  RecordResult& result = sessions_.result();
  DeviceWatch watch(options_.watchFolders);  // before the first look, so no change is missed
  if (!queue_.IsValid() || !watch.IsValid()) {
    say_(std::string("cannot watch the devices: ") + std::strerror(errno));
    result.failed = true;
    return result;
  }
  if (!sessions_.SpaceToBegin())
    return result;
  const Connection first = Connect(true);
  if (first == Connection::kStreaming) {
    SayRecording();
  } else if (!options_.meterSerial.empty() && first != Connection::kRefused) {
    // A meter chosen by its serial is waited for.
    say_("waiting for meter " + serial_ + " to be attached; Ctrl-C ends");
    waiting_ = true;
  } else {
    result.failed = true;
    return result;
  }

  bool frameWaiting = false;
  int64_t drainAt = 0;
  int64_t settleAt = INT64_MAX;  // none
  bool stop = false;
  while (!sessions_.Finished()) {
    int64_t now = Now();
    int64_t next = sessions_.NextDeadline();
    if (watcher_)
      next = std::min(next, watcher_->NextDeadline());
    if (frameWaiting)
      next = std::min(next, drainAt);
    next = std::min({next, settleAt, retryAt_});
    int timeoutMs =
        next == INT64_MAX
            ? -1
            : static_cast<int>(std::clamp<int64_t>((next - now + kMs - 1) / kMs, 0, 60'000));
    pollfd fds[3] = {{stopFd, POLLIN, 0},
                     {frameWaiting ? -1 : queue_.WakeFd(), POLLIN, 0},
                     {watch.fd(), POLLIN, 0}};
    if (::poll(fds, 3, timeoutMs) < 0 && errno != EINTR) {
      say_(std::string("cannot wait: ") + std::strerror(errno));
      EndRun(Now(), EndReason::kInterrupted);
      result.failed = true;
      break;
    }
    now = Now();
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
      stop = true;
    if (fds[1].revents & POLLIN)
      frameWaiting = true;
    if ((fds[2].revents & POLLIN) && watch.Drain() && waiting_)
      settleAt = now + kSettleNs;

    bool ended = false;
    if (frameWaiting && (now >= drainAt || stop)) {
      frameWaiting = false;
      drainAt = now + kDrainIntervalNs;
      ended = DrainFrames();
    }
    if (stop) {
      EndRun(now, EndReason::kStopped);
      break;
    }
    if (ended)
      StreamEnded(now);
    if (!sessions_.Tick(now))
      break;
    if (watcher_ && watcher_->OnTick(now)) {
      EndRun(now, EndReason::kStopped);
      break;
    }
    if (waiting_ && (now >= settleAt || now >= retryAt_)) {
      settleAt = INT64_MAX;
      TryReconnect(now);
    }
  }
  stream_.Shutdown();
  sessions_.Finish();
  if (queue_.dropped() > 0)
    say_(std::to_string(queue_.dropped()) + " frames were dropped: the recorder fell behind");
  return result;
}

}  // namespace vireo::record
