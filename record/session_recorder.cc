#include "record/session_recorder.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/iso_time.h"

namespace vireo::record {

namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kFlushIntervalNs = 200 * kMs;  // a batch at least every 250 ms

std::string Seconds(int64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", ns / 1e9);
  return text;
}

}  // namespace

// Hands what the keeper produces to the store and the outputs, and tells the user about it.
class SessionRecorder::Fanout : public SessionSink {
 public:
  explicit Fanout(SessionRecorder& r) : r_(r) {}

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

  SessionRecorder& r_;
  SessionStart start_;
};

SessionRecorder::SessionRecorder(const TriggerSettings& triggers, uint64_t minFreeBytes,
                                 std::vector<std::string> spacePaths, RecordStore* store,
                                 std::vector<LiveRowWriter*> outputs,
                                 std::function<void(const std::string&)> say)
    : minFreeBytes_(minFreeBytes),
      spacePaths_(std::move(spacePaths)),
      store_(store),
      outputs_(std::move(outputs)),
      say_(std::move(say)),
      fanout_(std::make_unique<Fanout>(*this)),
      keeper_(triggers, *fanout_) {}

SessionRecorder::~SessionRecorder() = default;

bool SessionRecorder::SpaceToBegin() {
  std::string why;
  if (SpaceLeft(why))
    return true;
  say_(why);
  result_.failed = true;
  return false;
}

void SessionRecorder::SetMeter(std::string serial, std::string firmware) {
  keeper_.SetMeter(std::move(serial), std::move(firmware));
}

void SessionRecorder::OnFrames(const std::vector<TimedReadings>& frames) {
  for (const TimedReadings& frame : frames)
    keeper_.OnFrame(frame);
}

bool SessionRecorder::SpaceLeft(std::string& why) const {
  if (minFreeBytes_ == 0)
    return true;
  for (const std::string& path : spacePaths_) {
    const auto free = RecordStore::FreeBytes(path);
    if (free && *free < minFreeBytes_) {
      why = "only " + std::to_string(*free >> 20) + " MiB free on the disk of " + path +
            " (--min-free is " + std::to_string(minFreeBytes_ >> 20) + " MiB)";
      return false;
    }
  }
  return true;
}

void SessionRecorder::End(int64_t nowNs, EndReason reason) {
  keeper_.Stop(nowNs, reason);
}

int64_t SessionRecorder::NextDeadline() const {
  return std::min(keeper_.NextDeadline(), flushAt_);
}

bool SessionRecorder::Tick(int64_t nowNs) {
  keeper_.OnTick(nowNs);
  if (nowNs < flushAt_ && !keeper_.Finished())
    return true;
  flushAt_ = nowNs + kFlushIntervalNs;
  return Flush(nowNs);
}

bool SessionRecorder::Flush(int64_t nowNs) {
  for (LiveRowWriter* w : outputs_) {
    if (!w->Flush()) {
      const int error = w->error();
      const bool full = error == ENOSPC || error == EDQUOT || error == EFBIG;
      say_(std::string("cannot write a live output: ") + std::strerror(error));
      End(nowNs, full ? EndReason::kDiskFull : EndReason::kInterrupted);
      result_.failed = true;
      return false;
    }
  }
  std::string why;
  if (!SpaceLeft(why)) {
    say_(why + "; the session ends");
    End(nowNs, EndReason::kDiskFull);
    result_.failed = true;
    return false;
  }
  if (!store_)
    return true;
  const auto running =
      keeper_.SessionActive() ? std::optional(keeper_.Snapshot(nowNs)) : std::nullopt;
  switch (store_->Flush(running, 0)) {
    case RecordStore::FlushResult::kOk:
      return true;
    case RecordStore::FlushResult::kDiskFull:
      say_(store_->lastError() + "; the session ends");
      End(nowNs, EndReason::kDiskFull);
      break;
    case RecordStore::FlushResult::kFailed:
      say_("cannot write the store: " + store_->lastError());
      End(nowNs, EndReason::kInterrupted);
      break;
  }
  result_.failed = true;
  return false;
}

void SessionRecorder::Finish() {
  for (LiveRowWriter* w : outputs_)
    w->Flush();
  if (store_ && store_->FlushFinal() != RecordStore::FlushResult::kOk) {
    say_("cannot write the end of the session: " + store_->lastError() +
         "; the next record on this file closes it as interrupted");
    result_.failed = true;
  }
}

}  // namespace vireo::record
