// The identification of the meter and how its identity is shown.
#pragma once

#include <string>

#include "app/app_state.h"
#include "app/reporter.h"
#include "meter/meter_link.h"

namespace vireo {

// Firmware versions above 1.4 can stream.
inline bool IsFirmwareSupported(uint8_t versionByte) {
  return versionByte > 0x14;
}

// Whether an identification that reads a version below 1.5 gives the firmware-too-old notice.
enum class OldFirmware { kNotify, kQuiet };

// Reads the identity block and version byte into state.deviceInfo, logging as it goes and
// leaving the link closed. True when the meter was identified. The caller holds the link.
bool Identify(MeterLink& link, AppState& state, Reporter& reporter,
              OldFirmware notice = OldFirmware::kNotify);

// How a request that checks the firmware version came by the identity it checks.
enum class Identity {
  kKnown,   // the last identification had succeeded; nothing was done
  kFresh,   // identified now (any notice it gave is not to be repeated)
  kFailed,  // identified now without success: the failure is logged, the failure beep given
};

// For START, ReadOff and DFUSTART: identifies the meter again and shows its identity when the
// last identification did not succeed, so a version byte that was never read is not taken
// for old firmware. The caller holds the link.
Identity IdentifyUnlessKnown(MeterLink& link, AppState& state, Reporter& reporter,
                             OldFirmware notice = OldFirmware::kNotify);

// The TXT_ERR_OPEN line in red, then the cause's sentence in yellow on a line of its own, and a
// hint line when the system refused this user access to the meter. The caller ends the line.
void LogOpenFailure(const Error& why, const TextTable& texts, Reporter& reporter);
// The same without the sentence, for a caller that has only the refusal.
void LogOpenFailure(OpenRefusal why, const TextTable& texts, Reporter& reporter);

// The identification at start and on device changes: takes the link, identifies, shows the
// identity and gives the link back. False, doing nothing, while another sequence holds it.
bool IdentifyIfFree(MeterLink& link, AppState& state, Reporter& reporter);

// The serial number as shown: characters 5 down to 0, up to a NUL, each byte taken as a
// Latin-1 character, in UTF-8.
std::string SerialText(const DeviceInfo& info);

// The serial-number and version fields of the status row, from the current DeviceInfo.
std::string SerialField(const TextTable& texts, const DeviceInfo& info);
std::string VersionField(const TextTable& texts, const DeviceInfo& info);
void ShowIdentity(const AppState& state, Reporter& reporter);

// The firmware-too-old notice as the window shows it: two yellow log lines, a message box, the
// failure beep. Sequences ask for it through Reporter::FirmwareTooOld.
void ShowFirmwareTooOld(const TextTable& texts, Reporter& reporter);

}  // namespace vireo
