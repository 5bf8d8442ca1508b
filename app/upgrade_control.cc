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

void UpgradeControl::Sequence() {
  const TextTable& texts = state_.texts;
  Reporter& r = reporter_;
  const std::string& path = job_.firmwarePath;
  const LogoPatchBytes* logo = job_.logo ? &*job_.logo : nullptr;
  const ProgressCallback progress = [&r](int percent) { r.SetProgress(percent); };
  auto error = [&](TextId id) { r.AppendLog(texts[id], LogLevel::kError); };
  auto success = [&](TextId id) { r.AppendLog(texts[id], LogLevel::kSuccess); };

  succeeded_ = false;
  bool ok = false;
  r.ClearLog();
  link_.Close();
  {
    LinkCloser closer(link_);
    if (!link_.IsPresent()) {
      error(TXT_ERR_NO_DEVICE);
    } else if (!link_.Open()) {
      error(TXT_ERR_OPEN);
    } else if (!link_.QueryUpgradeMode()) {
      error(TXT_ERR_NOT_UPGRADE_MODE);
      r.NewLogLine();
      r.AppendLog(texts[TXT_HINT_UPGRADE_MODE], LogLevel::kWarning);
    } else {
      success(TXT_UPGRADE_MODE);
      r.NewLogLine();
      if (!link_.CheckImage(path).valid()) {
        error(TXT_ERR_FIRMWARE_FILE);
      } else {
        screenLine_ = 0;
        ShowStatus("Start...");
        success(TXT_UPGRADE_BEGIN);
        r.NewLogLine();
        success(TXT_ERASING);
        ShowStatus("Uninstall old app...");
        if (!link_.EraseApplication(progress)) {
          error(TXT_ERR_ERASE);
        } else {
          ShowStatus("Install new app...");
          r.NewLogLine();
          success(TXT_WRITING);
          if (!link_.WriteApplication(path, logo, progress)) {
            error(TXT_ERR_WRITE);
          } else {
            ShowStatus("Verify new app...");
            r.NewLogLine();
            success(TXT_VERIFYING);
            if (!link_.VerifyApplication(path, logo, progress)) {
              error(TXT_ERR_VERIFY);
            } else {
              r.NewLogLine();
              success(TXT_UPGRADE_DONE);
              link_.UpgradeComplete();
              ShowStatus("..successfully");
              ok = true;
            }
          }
        }
      }
    }
  }
  r.NewLogLine();
  succeeded_ = ok;
  r.Beep(ok);
}

}  // namespace vireo
