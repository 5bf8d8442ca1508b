#include "app/identify.h"

#include <cstdio>

#include "meter/firmware_version.h"
#include "meter/meter_devices.h"
#include "meter/product_constants.h"

namespace vireo {

std::optional<DeviceInfo> ReadIdentity(MeterLink& link) {
  uint8_t identity[kIdentitySize];
  uint8_t version = 0;
  if (!link.ReadFlash(link.identityPage + kIdentityOffset, identity, kIdentitySize) ||
      !link.ReadFlash(kVersionAddress, &version, 1))
    return std::nullopt;
  for (uint8_t& b : identity)
    b = kIdentityTable[b];
  DeviceInfo info;
  for (int i = 0; i < 6; ++i)
    info.serial[i] = static_cast<char>(identity[30 + i]);
  info.version = version;
  info.identified = true;
  return info;
}

std::vector<AttachedMeter> SurveyMeters(std::chrono::milliseconds busyPatience) {
  std::vector<AttachedMeter> meters;
  for (const MeterDevice& device : ListMeters()) {
    AttachedMeter meter{device, {}, {}};
    MeterLink probe;
    probe.Configure();
    probe.BindToPath(device.path);
    probe.SetBusyPatience(busyPatience);
    if (!probe.Open()) {
      meter.error = probe.lastOpenError();
    } else if (!(meter.identity = ReadIdentity(probe))) {
      meter.error = {ErrorKind::kIo, "the meter at " + device.path + " did not answer"};
    }
    meters.push_back(std::move(meter));
  }
  return meters;
}

Result<std::string> FindMeter(const std::string& serial, std::chrono::milliseconds busyPatience) {
  std::string busy;
  for (const AttachedMeter& meter : SurveyMeters(busyPatience)) {
    if (meter.identity && SerialText(*meter.identity) == serial)
      return meter.device.path;
    if (!meter.identity && meter.error.kind == ErrorKind::kBusy)
      busy = meter.device.path;
  }
  if (!busy.empty())
    return Error{ErrorKind::kBusy, "no free meter has the serial " + serial + " (" + busy +
                                       " is held by another program)"};
  return Error{ErrorKind::kNoDevice, "no meter with the serial " + serial + " is attached"};
}

bool Identify(MeterLink& link, AppState& state, Reporter& reporter, OldFirmware notice) {
  const TextTable& texts = state.texts;
  reporter.SetStatus(StatusField::kUsb, texts[TXT_DEVICE_NOT_FOUND]);
  link.Close();
  bool identified = false;
  bool tooOld = false;
  if (!link.IsPresent()) {
    reporter.AppendLog(texts[TXT_DEVICE_NOT_FOUND], LogLevel::kError);
  } else if (!link.Open()) {
    LogOpenFailure(link.lastOpenError(), texts, reporter);
  } else {
    const std::optional<DeviceInfo> info = ReadIdentity(link);
    if (!info) {
      reporter.AppendLog("USB: " + texts[TXT_ERR_COMM], LogLevel::kError);
    } else {
      state.deviceInfo.Store(*info);
      identified = true;
      reporter.SetStatus(StatusField::kUsb, texts[TXT_DEVICE_CONNECTED]);
      reporter.AppendLog(texts[TXT_DEVICE_CONNECTED], LogLevel::kSuccess);
      tooOld = !IsFirmwareSupported(info->version);
    }
    link.Close();
  }
  if (!identified) {
    // The identity shown stays that of the last success, but it no longer counts as read.
    DeviceInfo info = state.deviceInfo.Load();
    info.identified = false;
    state.deviceInfo.Store(info);
  }
  reporter.NewLogLine();
  // After the line break, so the notice starts a line of its own.
  if (tooOld && notice == OldFirmware::kNotify)
    reporter.FirmwareTooOld();
  return identified;
}

Identity IdentifyUnlessKnown(MeterLink& link, AppState& state, Reporter& reporter,
                             OldFirmware notice) {
  if (state.deviceInfo.Load().identified)
    return Identity::kKnown;
  const bool identified = Identify(link, state, reporter, notice);
  ShowIdentity(state, reporter);
  if (identified)
    return Identity::kFresh;
  reporter.Beep(false);
  return Identity::kFailed;
}

void LogOpenFailure(const Error& why, const TextTable& texts, Reporter& reporter) {
  reporter.AppendLog(texts[TXT_ERR_OPEN], LogLevel::kError);
  if (!why.message.empty()) {
    reporter.NewLogLine();
    reporter.AppendLog(why.message, LogLevel::kWarning);
  }
  if (why.kind == ErrorKind::kPermission) {
    reporter.NewLogLine();
    reporter.AppendLog(texts.Extra("hint_permission"), LogLevel::kWarning);
  }
}

bool IdentifyIfFree(MeterLink& link, AppState& state, Reporter& reporter) {
  if (!state.linkOwner.TryTake(LinkUser::kIdentification))
    return false;
  Identify(link, state, reporter);
  ShowIdentity(state, reporter);
  state.linkOwner.Release(LinkUser::kIdentification);
  return true;
}

std::string SerialText(const DeviceInfo& info) {
  std::string text;
  // Shown as a C string would be: a NUL character ends it.
  for (int i = 5; i >= 0 && info.serial[i] != '\0'; --i) {
    const auto c = static_cast<unsigned char>(info.serial[i]);
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      text += static_cast<char>(0xC0 | c >> 6);
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

std::string SerialField(const TextTable& texts, const DeviceInfo& info) {
  return texts[TXT_SN_LABEL] + ":" + SerialText(info);
}

std::string VersionField(const TextTable& texts, const DeviceInfo& info) {
  return texts[TXT_VERSION_LABEL] + ":" + FirmwareVersionText(info.version);
}

void ShowIdentity(const AppState& state, Reporter& reporter) {
  const DeviceInfo info = state.deviceInfo.Load();
  reporter.SetStatus(StatusField::kSerial, SerialField(state.texts, info));
  reporter.SetStatus(StatusField::kVersion, VersionField(state.texts, info));
}

void ShowFirmwareTooOld(const TextTable& texts, Reporter& reporter) {
  const std::string required = texts[TXT_FW_REQUIRED] + ":1.5";
  reporter.AppendLog(required, LogLevel::kWarning);
  reporter.NewLogLine();
  reporter.AppendLog(texts[TXT_FW_TOO_OLD], LogLevel::kWarning);
  reporter.NewLogLine();
  reporter.ShowMessage(required + "\r\n" + texts[TXT_FW_TOO_OLD]);
  reporter.Beep(false);
}

}  // namespace vireo
