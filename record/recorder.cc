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
#include "record/iso_time.h"

namespace vireo::record {

namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kDrainIntervalNs = 50 * kMs;   // frames are taken in bunches, not one by one
constexpr int64_t kFlushIntervalNs = 200 * kMs;  // a batch at least every 250 ms
constexpr int64_t kSettleNs = 250 * kMs;         // a new device node or socket settles first
constexpr int64_t kRefusedRetryNs = 1000 * kMs;
constexpr int kRefusedTries = 5;

int64_t Now() {
  return ClockNs(CLOCK_BOOTTIME);
}

std::string Seconds(int64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", ns / 1e9);
  return text;
}

std::string FirmwareText(uint8_t version) {
  return std::to_string(version >> 4) + "." + std::to_string(version & 0x0F);
}

}  // namespace

// Hands what the keeper produces to the store and the outputs, and tells the user about it.
class Recorder::Fanout : public SessionSink {
 public:
  explicit Fanout(Recorder& r) : r_(r) {}

  void BeginSession(const SessionStart& start) override {
    start_ = start;
    for (SessionSink* s : Sinks())
      s->BeginSession(start);
    r_.say_("session " + Id() + " started at " + FormatUtc(start.wallStartNs / 1000));
  }
  void Sample(int64_t tNs, const ReadingsRecord& readings) override {
    if (r_.store_)
      r_.store_->Sample(tNs, readings);
    for (LiveRowWriter* w : r_.outputs_)
      w->Sample(tNs, readings);
  }
  void GapOpened(int64_t fromNs, const std::string& cause) override {
    for (SessionSink* s : Sinks())
      s->GapOpened(fromNs, cause);
  }
  void GapClosed(const GapRecord& gap) override {
    for (SessionSink* s : Sinks())
      s->GapClosed(gap);
  }
  void Event(const EventRecord& event) override {
    for (SessionSink* s : Sinks())
      s->Event(event);
    if (event.kind == "trigger start" || event.kind == "trigger stop")
      r_.say_(event.kind + ": " + event.detail);
  }
  void EndSession(const SessionEnd& end) override {
    for (SessionSink* s : Sinks())
      s->EndSession(end);
    r_.result_.sessions.push_back(
        {r_.store_ ? r_.store_->sessionId() : start_.number, start_, end});
    r_.say_("session " + Id() + " ended (" + EndReasonText(end.reason) + ") after " +
            Seconds(end.endNs));
  }

 private:
  std::vector<SessionSink*> Sinks() {
    std::vector<SessionSink*> sinks;
    if (r_.store_)
      sinks.push_back(r_.store_);
    for (LiveRowWriter* w : r_.outputs_)
      sinks.push_back(w);
    return sinks;
  }
  std::string Id() const {
    return std::to_string(r_.store_ ? r_.store_->sessionId() : start_.number);
  }

  Recorder& r_;
  SessionStart start_;
};

Recorder::Recorder(MeterLink& link, AppState& state, Reporter& streamReporter,
                   RecorderOptions options, RecordStore* store, std::vector<LiveRowWriter*> outputs,
                   std::function<void(const std::string&)> say)
    : link_(link),
      state_(state),
      streamReporter_(streamReporter),
      options_(std::move(options)),
      store_(store),
      outputs_(std::move(outputs)),
      say_(std::move(say)),
      fanout_(std::make_unique<Fanout>(*this)),
      keeper_(options_.triggers, *fanout_),
      stream_(link_) {
  stream_.Subscribe(queue_);
}

Recorder::~Recorder() {
  stream_.Shutdown();
}

Recorder::Connection Recorder::Connect(bool first) {
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
  if (first) {
    serial_ = serial;
  } else if (serial != serial_) {
    if (!options_.anyMeter) {
      if (serial != lastRefused_) {
        keeper_.OnEvent(Now(), "another meter refused", serial);
        say_("another meter (" + serial + ") is attached; waiting for meter " + serial_);
      }
      lastRefused_ = serial;
      return Connection::kOtherMeter;
    }
    keeper_.OnEvent(Now(), "another meter accepted", serial);
    say_("another meter (" + serial + ") is attached; recording from it (--any-meter)");
    serial_ = serial;
  }
  lastRefused_.clear();
  if (!IsFirmwareSupported(info.version))
    return Connection::kRefused;  // the identification has given the notice
  firmware_ = FirmwareText(info.version);
  keeper_.SetMeter(serial_, firmware_);

  keeper_.OnStreamStarted(Now());
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
  if (!link_.IsPresent())
    return;  // the next device change says when to look again
  switch (Connect(false)) {
    case Connection::kStreaming:
      waiting_ = false;
      refusedTries_ = 0;
      say_("meter " + serial_ + " is back; recording again");
      break;
    case Connection::kRefused:
      if (++refusedTries_ >= kRefusedTries) {
        say_("meter " + serial_ + " is attached but cannot be streamed; the session ends");
        EndRun(now, EndReason::kMeterRefused);
        result_.failed = true;
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
  for (const TimedReadings& frame : frames_)
    keeper_.OnFrame(frame);
  return end.has_value();
}

void Recorder::StreamEnded(int64_t now) {
  stream_.Join();
  keeper_.OnMeterLost(now, "meter gone");
  say_("meter " + serial_ + " lost; waiting for it to come back");
  waiting_ = true;
  refusedTries_ = 0;
  TryReconnect(now);
}

bool Recorder::SpaceLeft(std::string& why) const {
  if (options_.minFreeBytes == 0)
    return true;
  for (const std::string& path : options_.spacePaths) {
    const auto free = RecordStore::FreeBytes(path);
    if (free && *free < options_.minFreeBytes) {
      why = "only " + std::to_string(*free >> 20) + " MiB free on the disk of " + path +
            " (--min-free is " + std::to_string(options_.minFreeBytes >> 20) + " MiB)";
      return false;
    }
  }
  return true;
}

void Recorder::EndRun(int64_t now, EndReason reason) {
  DrainFrames();
  keeper_.Stop(now, reason);
}

bool Recorder::Flush(int64_t now) {
  for (LiveRowWriter* w : outputs_) {
    if (!w->Flush()) {
      const int error = w->error();
      const bool full = error == ENOSPC || error == EDQUOT || error == EFBIG;
      say_(std::string("cannot write a live output: ") + std::strerror(error));
      EndRun(now, full ? EndReason::kDiskFull : EndReason::kInterrupted);
      result_.failed = true;
      return false;
    }
  }
  std::string why;
  if (!SpaceLeft(why)) {
    say_(why + "; the session ends");
    EndRun(now, EndReason::kDiskFull);
    result_.failed = true;
    return false;
  }
  if (!store_)
    return true;
  const auto running =
      keeper_.SessionActive() ? std::optional(keeper_.Snapshot(now)) : std::nullopt;
  switch (store_->Flush(running, 0)) {
    case RecordStore::FlushResult::kOk:
      return true;
    case RecordStore::FlushResult::kDiskFull:
      say_(store_->lastError() + "; the session ends");
      EndRun(now, EndReason::kDiskFull);
      break;
    case RecordStore::FlushResult::kFailed:
      say_("cannot write the store: " + store_->lastError());
      EndRun(now, EndReason::kInterrupted);
      break;
  }
  result_.failed = true;
  return false;
}

RecordResult Recorder::Run(int stopFd) {
  DeviceWatch watch(options_.watchFolders);  // before the first look, so no change is missed
  if (!queue_.IsValid() || !watch.IsValid()) {
    say_(std::string("cannot watch the devices: ") + std::strerror(errno));
    result_.failed = true;
    return result_;
  }
  std::string why;
  if (!SpaceLeft(why)) {
    say_(why);
    result_.failed = true;
    return result_;
  }
  if (Connect(true) != Connection::kStreaming) {
    result_.failed = true;
    return result_;
  }
  result_.meterFound = true;
  say_(std::string("recording from meter ") + serial_ + " (firmware " + firmware_ + ")" +
       (store_ ? " into " + store_->path() : std::string()) + "; Ctrl-C ends");
  if (options_.triggers.startAbove) {
    char text[96];
    std::snprintf(text, sizeof text, "waiting for the current to rise above %.6g A",
                  *options_.triggers.startAbove);
    say_(text);
  }

  bool frameWaiting = false;
  int64_t drainAt = 0;
  int64_t flushAt = Now() + kFlushIntervalNs;
  int64_t settleAt = INT64_MAX;  // none
  bool stop = false;
  while (!keeper_.Finished()) {
    int64_t now = Now();
    int64_t next = std::min(keeper_.NextDeadline(), flushAt);
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
      result_.failed = true;
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
    keeper_.OnTick(now);
    if (waiting_ && (now >= settleAt || now >= retryAt_)) {
      settleAt = INT64_MAX;
      TryReconnect(now);
    }
    if (now >= flushAt || keeper_.Finished()) {
      flushAt = now + kFlushIntervalNs;
      if (!Flush(now))
        break;
    }
  }
  stream_.Shutdown();
  for (LiveRowWriter* w : outputs_)
    w->Flush();
  if (store_ && store_->FlushFinal() != RecordStore::FlushResult::kOk) {
    say_("cannot write the end of the session: " + store_->lastError() +
         "; the next record on this file closes it as interrupted");
    result_.failed = true;
  }
  if (queue_.dropped() > 0)
    say_(std::to_string(queue_.dropped()) + " frames were dropped: the recorder fell behind");
  return result_;
}

}  // namespace vireo::record
