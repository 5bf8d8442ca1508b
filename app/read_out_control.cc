#include "app/read_out_control.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <optional>
#include <vector>

#include "app/identify.h"
#include "app/read_out_file.h"
#include "base/errno_error.h"
#include "meter/record_file.h"
#include "meter/record_memory.h"

namespace vireo {

ReadOutControl::ReadOutControl(MeterLink& link, AppState& state, Reporter& reporter)
    : link_(link),
      state_(state),
      reporter_(reporter),
      worker_([this] { Sequence(); }, [this] { state_.linkOwner.Release(LinkUser::kReadOut); }) {}

ReadOutControl::~ReadOutControl() {
  Shutdown();
}

bool ReadOutControl::Request() {
  if (state_.LiveRunning || !state_.linkOwner.TryTake(LinkUser::kReadOut)) {
    reporter_.ShowMessage(state_.texts[TXT_BUSY]);
    return false;
  }
  link_.Close();
  Identity identity = Identity::kKnown;
  if (!link_.IsPresent()) {
    reporter_.AppendLog(state_.texts[TXT_ERR_NO_DEVICE], LogLevel::kError);
    reporter_.NewLogLine();
    reporter_.Beep(false);
  } else if ((identity = IdentifyUnlessKnown(link_, state_, reporter_)) == Identity::kFailed) {
    // The failure is reported; a version that was never read is no reason for the notice.
  } else if (!IsFirmwareSupported(state_.deviceInfo.Load().version)) {
    if (identity == Identity::kKnown)  // a fresh identification has given the notice already
      reporter_.FirmwareTooOld();
  } else if (worker_.RequestRun()) {
    return true;  // the worker gives the link back when the sequence has ended
  }
  state_.linkOwner.Release(LinkUser::kReadOut);
  return false;
}

void ReadOutControl::Shutdown() {
  worker_.WaitIdle();
  worker_.Stop();
}

void ReadOutControl::Sequence() {
  reporter_.ClearLog();
  link_.Close();
  bool saved = false;
  if (!link_.IsPresent()) {
    reporter_.AppendLog(state_.texts[TXT_ERR_NO_DEVICE], LogLevel::kError);
  } else if (!link_.Open()) {
    LogOpenFailure(link_.lastOpenError(), state_.texts, reporter_);
  } else {
    saved = ReadRecordsIntoFile();
    link_.Close();
  }
  reporter_.NewLogLine();
  stop_ = false;  // a stop asks for this run's end, not the next one's
  reporter_.Beep(saved);
  reporter_.SetProgress(100);
}

bool ReadOutControl::Stopped() {
  if (!stop_)
    return false;
  reporter_.AppendLog(state_.texts.Extra("readout_stopped"), LogLevel::kWarning);
  return true;
}

bool ReadOutControl::ReadRecordsIntoFile() {
  const TextTable& texts = state_.texts;
  std::array<uint8_t, kSettingsSize> settings{};
  std::array<uint8_t, kCountersSize> counters{};
  if (!link_.ReadRecordMemory(kSettingsAddress, settings.data(), kSettingsSize) ||
      !link_.ReadRecordMemory(kCountersAddress, counters.data(), kCountersSize)) {
    reporter_.AppendLog(texts[TXT_ERR_COMM], LogLevel::kError);
    return false;
  }
  const uint32_t count = RecordCount(counters);
  if (count == 0) {
    reporter_.AppendLog(texts[TXT_ERR_READOUT], LogLevel::kError);
    return false;
  }

  // The records exactly as read.
  std::vector<uint8_t> records(kRecordBytes * count);
  reporter_.SetProgress(0);
  uint32_t read = 0;
  while (read < count) {
    if (Stopped())
      return false;
    const RecordRead next = NextRecordRead(read, count);
    if (!link_.ReadRecordMemory(next.address, records.data() + kRecordBytes * next.first,
                                next.bytes)) {
      reporter_.AppendLog(texts[TXT_ERR_COMM], LogLevel::kError);
      break;
    }
    read += next.count;
    reporter_.SetProgress(static_cast<int>(read * 100 / count));
  }
  if (read < count) {
    reporter_.AppendLog(texts[TXT_ERR_READOUT], LogLevel::kError);
    return false;
  }

  if (Stopped())
    return false;
  const std::tm now = clock_ ? clock_() : LocalTimeNow();
  const std::string folder = state_.ProgramFolder + "dat";
  const std::string name = RecordFileName(state_.ProgramFolder, now);
  struct stat info {};
  std::optional<Error> folderError;
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    // The folder's own failure says more than the missing folder the file then meets; one
    // that is there after all (made meanwhile, or a file in the way) shows when it is written.
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
      folderError = ErrorFromErrno(errno, folder);
  }
  const Result<std::string> written =
      folderError ? Result<std::string>(*folderError)
                  : WriteNewFile(name, EncodeRecordFile(SettingsRecordHours(settings), records));
  if (!written) {
    reporter_.AppendLog(std::string(texts[TXT_ERR_SAVE])
                            .append(":")
                            .append(name)
                            .append(" (")
                            .append(written.error().message)
                            .append(")"),
                        LogLevel::kError);
    return false;
  }
  const std::string& path = written.value();
  reporter_.AppendLog(texts[TXT_SAVED] + ":" + path, LogLevel::kSuccess);
  reporter_.RecordsReady(path);
  return true;
}

}  // namespace vireo
