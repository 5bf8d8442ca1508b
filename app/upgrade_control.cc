#include "app/upgrade_control.h"

#include "app/identify.h"

namespace vireo {

namespace {

// The version byte of a meter whose firmware cannot be replaced this way.
constexpr uint8_t kUnsupportedVersion = 0x10;
constexpr int kScreenLines = 33;

// Closes the link when the sequence ends, however it ends.
class LinkCloser {
 public:
  explicit LinkCloser(MeterLink& link) : link_(link) {}
  ~LinkCloser() { link_.Close(); }
  LinkCloser(const LinkCloser&) = delete;
  LinkCloser& operator=(const LinkCloser&) = delete;

 private:
  MeterLink& link_;
};

}  // namespace

UpgradeControl::UpgradeControl(MeterLink& link, AppState& state, Reporter& reporter)
    : link_(link),
      state_(state),
      reporter_(reporter),
      worker_([this] { Sequence(); }, [this] { state_.linkOwner.Release(LinkUser::kUpgrade); }) {}

UpgradeControl::~UpgradeControl() {
  Shutdown();
}

bool UpgradeControl::Request(const UpgradeRequest& request) {
  if (request.firmwarePath.empty()) {
    reporter_.ShowMessage(state_.texts[TXT_ERR_NO_FIRMWARE_FILE]);
    return false;
  }
  if (state_.LiveRunning || !state_.linkOwner.TryTake(LinkUser::kUpgrade)) {
    reporter_.ShowMessage(state_.texts[TXT_BUSY]);
    return false;
  }
  link_.Close();
  if (!link_.IsPresent()) {
    reporter_.ShowMessage(state_.texts[TXT_ERR_NO_DEVICE]);
  } else if (IdentifyUnlessKnown(link_, state_, reporter_, OldFirmware::kQuiet) ==
             Identity::kFailed) {
    // The failure is reported; the version byte of a meter not identified says nothing.
  } else if (state_.deviceInfo.Load().version == kUnsupportedVersion) {
    reporter_.ShowMessage(state_.texts[TXT_ERR_UNSUPPORTED_DEVICE]);
  } else if (!AcceptLogo(request)) {
    // refused with its own words
  } else {
    // The run works on what was accepted now, whatever the page converts meanwhile.
    job_.firmwarePath = request.firmwarePath;
    job_.logo = request.logo;
    if (worker_.RequestRun())
      return true;  // the worker gives the link back when the sequence has ended
  }
  state_.linkOwner.Release(LinkUser::kUpgrade);
  return false;
}

bool UpgradeControl::AcceptLogo(const UpgradeRequest& request) {
  if (!request.logo)
    return true;
  if (request.logoSize > kLogoSizeLimit || !request.logoConverted) {
    const std::string text = request.logoConverted
                                 ? "bmp" + state_.texts[TXT_NOTICE_TOO_BIG] + " >4096"
                                 : state_.texts[TXT_ERR_BMP];
    reporter_.AppendLog(text, LogLevel::kError);
    reporter_.NewLogLine();
    reporter_.Beep(false);
    reporter_.ShowMessage(text);
    return false;
  }
  return true;
}

void UpgradeControl::Shutdown() {
  worker_.WaitIdle();
  worker_.Stop();
}

void UpgradeControl::ShowStatus(const char* text) {
  if (screenLine_ == 0)
    link_.ClearScreen();
  link_.ShowText(screenLine_, text);
  if (++screenLine_ > kScreenLines)
    screenLine_ = 0;
}

void UpgradeControl::LogCause(const std::string& cause) {
  reporter_.NewLogLine();
  reporter_.AppendLog(cause, LogLevel::kWarning);
}

void UpgradeControl::LogFault() {
  const TextTable& texts = state_.texts;
  MeterFault fault = link_.lastFault();
  // A meter that left without a word looks silent to the read that waited for it.
  if (fault == MeterFault::kNoAnswer && !link_.IsPresent())
    fault = MeterFault::kUnplugged;
  switch (fault) {
    case MeterFault::kNone:
      break;
    case MeterFault::kUnplugged:
      LogCause(texts.Extra("fault_unplugged"));
      break;
    case MeterFault::kNoAnswer:
      LogCause(texts.Extra("fault_no_answer"));
      break;
    case MeterFault::kBadReply:
    case MeterFault::kDeclined:
      LogCause(texts.Extra("fault_bad_reply"));
      break;
    case MeterFault::kImageChanged:
      LogCause(FillIn(texts.Extra("fault_image_changed"), {job_.firmwarePath}));
      break;
    case MeterFault::kMismatch:
      LogCause(texts.Extra("fault_mismatch"));
      break;
    case MeterFault::kStopped:
      LogCause(texts.Extra("upgrade_stopped"));
      break;
  }
}

void UpgradeControl::Sequence() {
  const TextTable& texts = state_.texts;
  Reporter& r = reporter_;
  succeeded_ = false;
  bool ok = false;
  r.ClearLog();
  link_.Close();
  {
    LinkCloser closer(link_);
    if (!link_.IsPresent()) {
      r.AppendLog(texts[TXT_ERR_NO_DEVICE], LogLevel::kError);
    } else if (!link_.Open()) {
      LogOpenFailure(link_.lastOpenError(), texts, r);
    } else if (!link_.QueryUpgradeMode()) {
      if (link_.lastFault() == MeterFault::kDeclined) {
        r.AppendLog(texts[TXT_ERR_NOT_UPGRADE_MODE], LogLevel::kError);
        r.NewLogLine();
        r.AppendLog(texts[TXT_HINT_UPGRADE_MODE], LogLevel::kWarning);
      } else {
        // No answer, or none that says which mode the meter is in.
        r.AppendLog(texts[TXT_ERR_COMM], LogLevel::kError);
        LogFault();
      }
    } else {
      r.AppendLog(texts[TXT_UPGRADE_MODE], LogLevel::kSuccess);
      r.NewLogLine();
      const ImageCheck check = link_.CheckImage(job_.firmwarePath);
      if (!check.valid()) {
        r.AppendLog(texts[TXT_ERR_FIRMWARE_FILE], LogLevel::kError);
        LogCause(FillIn(texts.Extra("image_invalid"), {ImageRuleName(check.failed)}));
      } else if (stop_) {
        r.AppendLog(texts.Extra("upgrade_stopped"), LogLevel::kWarning);
      } else {
        link_.SetStopFlag(&stop_);
        ok = Transfer();
        link_.SetStopFlag(nullptr);
      }
    }
  }
  r.NewLogLine();
  succeeded_ = ok;
  if (ok)
    newFirmware_ = true;
  stop_ = false;  // a stop asks for this run's end, not the next one's
  r.Beep(ok);
}

bool UpgradeControl::Transfer() {
  const TextTable& texts = state_.texts;
  Reporter& r = reporter_;
  const std::string& path = job_.firmwarePath;
  const LogoPatchBytes* logo = job_.logo ? &*job_.logo : nullptr;
  const ProgressCallback progress = [&r](int percent) { r.SetProgress(percent); };
  const auto failed = [&](TextId id) {
    r.AppendLog(texts[id], LogLevel::kError);
    LogFault();
    return false;
  };
  screenLine_ = 0;
  ShowStatus("Start...");
  r.AppendLog(texts[TXT_UPGRADE_BEGIN], LogLevel::kSuccess);
  r.NewLogLine();
  r.AppendLog(texts[TXT_ERASING], LogLevel::kSuccess);
  ShowStatus("Uninstall old app...");
  if (!link_.EraseApplication(progress))
    return failed(TXT_ERR_ERASE);
  ShowStatus("Install new app...");
  r.NewLogLine();
  r.AppendLog(texts[TXT_WRITING], LogLevel::kSuccess);
  if (!link_.WriteApplication(path, logo, progress))
    return failed(TXT_ERR_WRITE);
  ShowStatus("Verify new app...");
  r.NewLogLine();
  r.AppendLog(texts[TXT_VERIFYING], LogLevel::kSuccess);
  if (!link_.VerifyApplication(path, logo, progress))
    return failed(TXT_ERR_VERIFY);
  r.NewLogLine();
  r.AppendLog(texts[TXT_UPGRADE_DONE], LogLevel::kSuccess);
  link_.UpgradeComplete();
  ShowStatus("..successfully");
  return true;
}

}  // namespace vireo
