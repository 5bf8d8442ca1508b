#include "gui/window_recording.h"

#include <time.h>

#include <algorithm>
#include <filesystem>

namespace vireo {
namespace {

// As `vireometer-cli record` keeps by default: the session ends before the disk is full.
constexpr uint64_t kMinFreeBytes = uint64_t{256} << 20;
// The figures and the store's growth are shown at least this often.
constexpr int64_t kLongestWaitNs = 1'000'000'000;
constexpr std::chrono::milliseconds kLockWait{50};

int64_t Now() {
  return ClockNs(CLOCK_BOOTTIME);
}

}  // namespace

WindowRecording::WindowRecording(LiveStream& stream, std::function<void(const std::string&)> say,
                                 QObject* parent)
    : QObject(parent), say_(std::move(say)), batches_(queue_, [this] { Drain(); }) {
  stream.Subscribe(queue_);
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &WindowRecording::Tick);
}

WindowRecording::~WindowRecording() {
  End();
}

bool WindowRecording::Begin(const std::string& storePath, const record::TriggerSettings& triggers,
                            const record::UpgradeProgress& progress, std::string& error) {
  if (recorder_) {
    error = storePath_ + " is being recorded into already";
    return false;
  }
  if (error = triggers.Check(); !error.empty()) {
    return false;
  }
  // The default store's folder does not exist before the first recording.
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::path(storePath).parent_path();
  if (!folder.empty()) {
    std::filesystem::create_directories(folder, ec);
  }
  auto store = std::make_unique<record::RecordStore>();
  const record::StoreOpenResult opened = store->OpenForRecording(storePath, progress);
  if (opened.error != record::StoreError::kNone) {
    error = opened.message;
    return false;
  }
  for (const int64_t id : store->CloseUnfinished(error)) {
    say_("session " + std::to_string(id) +
         " was left unfinished by a recorder that stopped unexpectedly; closed it as "
         "interrupted at its last sample");
  }
  if (!error.empty()) {
    error = "cannot close an unfinished session: " + error;
    store->RemoveIfCreatedEmpty();
    return false;
  }
  // The recorder writes on the GUI thread: while another connection holds the store (the page
  // deleting a long session, a user's sqlite3 shell) its batches wait in memory instead.
  store->SetLockWait(kLockWait);
  auto recorder = std::make_unique<record::SessionRecorder>(
      triggers, kMinFreeBytes, std::vector<std::string>{storePath}, store.get(),
      std::vector<record::LiveRowWriter*>{}, say_);
  if (!recorder->SpaceToBegin()) {
    error = "too little free space on the disk of " + storePath;
    store->RemoveIfCreatedEmpty();
    return false;
  }
  // What the queue holds came before the recording.
  queue_.Take(frames_);
  store_ = std::move(store);
  recorder_ = std::move(recorder);
  storePath_ = storePath;
  serial_.clear();
  meterLost_ = true;  // until a stream starts
  Schedule();
  return true;
}

void WindowRecording::End() {
  if (!recorder_) {
    return;
  }
  Drain();
  if (recorder_) {
    recorder_->End(Now(), record::EndReason::kStopped);
    Close();
  }
}

void WindowRecording::Close() {
  timer_.stop();
  if (beforeClose) {
    beforeClose();
  }
  recorder_->Finish();
  recorder_.reset();
  store_.reset();
}

void WindowRecording::BeforeStreamStart() {
  Drain();
}

void WindowRecording::StreamStarted(const std::string& serial, const std::string& firmware) {
  if (!recorder_) {
    return;
  }
  recorder_->SetMeter(serial, firmware);
  recorder_->OnStreamStarted(Now());
  serial_ = serial;
  meterLost_ = false;
  Schedule();
}

std::optional<record::Summary> WindowRecording::Figures() const {
  if (!recorder_ || !recorder_->SessionActive()) {
    return std::nullopt;
  }
  return recorder_->Running(Now());
}

void WindowRecording::Drain() {
  const std::optional<StreamEnd> end = queue_.Take(frames_);
  if (!recorder_) {
    return;
  }
  recorder_->OnFrames(frames_);
  if (end == StreamEnd::kStopped) {
    // STOP ends the stream, and with it the recording.
    say_("the live stream was stopped; the session ends");
    recorder_->End(Now(), record::EndReason::kStopped);
  } else if (end) {
    recorder_->OnMeterLost(Now(), end == StreamEnd::kMeterSilent ? "meter silent" : "meter gone");
    meterLost_ = true;
  }
  if (recorder_->Finished()) {
    Close();
    Q_EMIT ended();
    return;
  }
}

void WindowRecording::Tick() {
  if (!recorder_) {
    return;
  }
  const bool running = recorder_->Tick(Now());
  if (!running || recorder_->Finished()) {
    Close();
    Q_EMIT ended();
    return;
  }
  Schedule();
}

void WindowRecording::Schedule() {
  if (!recorder_) {
    return;
  }
  const int64_t now = Now();
  const int64_t wait = std::clamp<int64_t>(recorder_->NextDeadline() - now, 0, kLongestWaitNs);
  timer_.start(static_cast<int>((wait + 999'999) / 1'000'000));
}

}  // namespace vireo
