#include "sim/sim_args.h"

#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace vireo::sim {

namespace {

std::optional<uint64_t> ParseUnsigned(const std::string& text, uint64_t max, bool allowHex) {
  const bool hex =
      allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 12)
    return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
  }
  if (value > max)
    return std::nullopt;
  return value;
}

std::optional<double> ParseNumber(const std::string& text, double min, double max) {
  if (text.empty())
    return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value) || value < min || value > max) {
    return std::nullopt;
  }
  return value;
}

bool IsSafeName(const std::string& name) {
  if (name.empty() || name.size() > 64)
    return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok)
      return false;
  }
  return true;
}

bool IsSerial(const std::string& serial) {
  if (serial.size() != 6)
    return false;
  for (char c : serial) {
    if (c < 0x20 || c > 0x7E)
      return false;
  }
  return true;
}

}  // namespace

SimArgsResult ParseSimArgs(const std::vector<std::string>& args, const char* virtualDir) {
  SimSettings s;
  bool dirGiven = false;

  std::string loadWhy;  // why a --load profile was refused
  // Each handler takes the option's value and says whether it was acceptable.
  using Handler = std::function<bool(const std::string&)>;
  auto unsignedInto = [](auto& field, uint64_t min, uint64_t max, bool hex = false) {
    return [&field, min, max, hex](const std::string& v) {
      const auto n = ParseUnsigned(v, max, hex);
      if (!n || *n < min)
        return false;
      field = static_cast<std::remove_reference_t<decltype(field)>>(*n);
      return true;
    };
  };
  const std::map<std::string, Handler> valued = {
      {"--dir",
       [&](const std::string& v) {
         s.dir = v;
         dirGiven = true;
         return !v.empty();
       }},
      {"--name",
       [&](const std::string& v) {
         s.name = v;
         return IsSafeName(v);
       }},
      {"--serial",
       [&](const std::string& v) {
         s.options.serial = v;
         return IsSerial(v);
       }},
      {"--version-byte", unsignedInto(s.options.versionByte, 0, 255, true)},
      {"--records", unsignedInto(s.options.recordCount, 0, MeterEmulator::kMaxRecords)},
      {"--record-hours", unsignedInto(s.options.settingsByte, 0, 255)},
      {"--counters",
       [&](const std::string& v) {
         // A for both counters, or A,B.
         const size_t comma = v.find(',');
         const auto a = ParseUnsigned(v.substr(0, comma), UINT32_MAX, false);
         const auto b =
             comma == std::string::npos ? a : ParseUnsigned(v.substr(comma + 1), UINT32_MAX, false);
         if (a && b) {
           s.options.counterA = static_cast<uint32_t>(*a);
           s.options.counterB = static_cast<uint32_t>(*b);
         }
         return a && b;
       }},
      {"--frame-interval-us", unsignedInto(s.options.frameIntervalUs, 0, 60'000'000)},
      {"--frame-interval-ms",
       [&](const std::string& v) {
         const auto ms = ParseNumber(v, 0, 60'000);
         if (ms)
           s.options.frameIntervalUs = static_cast<uint32_t>(std::llround(*ms * 1000));
         return ms.has_value();
       }},
      {"--probe",
       [&](const std::string& v) {
         const auto celsius = ParseNumber(v, -100, 200);
         if (celsius)
           s.options.probeCelsius = static_cast<float>(*celsius);
         return celsius.has_value();
       }},
      {"--bad-checksum-every", unsignedInto(s.badChecksumEvery, 0, 1'000'000)},
      {"--report-delay-us", unsignedInto(s.reportDelayUs, 0, 10'000'000)},
      {"--unplug-after", unsignedInto(s.unplugAfterReports, 1, 1'000'000'000)},
      {"--silent-after", unsignedInto(s.silentAfterReports, 1, 1'000'000'000)},
      {"--load",
       [&](const std::string& v) {
         s.options.loadProfile = LoadProfile::Parse(v, loadWhy);
         return s.options.loadProfile != nullptr;
       }},
      {"--unplug-every",
       [&](const std::string& v) {
         const auto seconds = ParseNumber(v, 0.01, 86'400);
         s.unplug.every = seconds.value_or(0);
         return seconds.has_value();
       }},
      {"--unplug-for",
       [&](const std::string& v) {
         const auto seconds = ParseNumber(v, 0.01, 86'400);
         s.unplug.away = seconds.value_or(0);
         return seconds.has_value();
       }},
      {"--unplug-cycles", unsignedInto(s.unplug.cycles, 1, 1'000'000)},
      {"--replug-after-ms", unsignedInto(s.replugAfterMs, 0, 3'600'000)},
      {"--flash-file",
       [&](const std::string& v) {
         s.flashFile = v;
         return !v.empty();
       }},
      {"--trace-file",
       [&](const std::string& v) {
         s.traceFile = v;
         return !v.empty();
       }},
      {"--make-image",
       [&](const std::string& v) {
         s.makeImage = v;
         return !v.empty();
       }},
      {"--image-size", unsignedInto(s.imagePayload, 4, MeterEmulator::kAppSize)},
  };
  const std::map<std::string, bool*> flags = {
      {"--help", &s.help},
      {"-h", &s.help},
      {"--version", &s.version},
      {"--upgrade-mode", &s.options.upgradeMode},
      {"--silent", &s.silent},
      {"--wrong-reply-code", &s.wrongReplyCode},
      {"--refuse-opens", &s.refuseOpens},
      {"--image-no-logo", &s.imageNoLogo},
  };

  for (size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> value;
    if (const size_t eq = option.find('='); option.starts_with("--") && eq != std::string::npos) {
      value = option.substr(eq + 1);
      option.resize(eq);
    }
    if (const auto flag = flags.find(option); flag != flags.end() && !value) {
      *flag->second = true;
      continue;
    }
    const auto handler = valued.find(option);
    if (handler == valued.end())
      return {std::nullopt, "unknown option: " + args[i]};
    if (!value) {
      if (i + 1 == args.size())
        return {std::nullopt, option + " needs a value"};
      value = args[++i];
    }
    if (!handler->second(*value))
      return {std::nullopt, "bad value for " + option + ": " + *value +
                                (loadWhy.empty() ? "" : " (" + loadWhy + ")")};
  }

  if (s.help || s.version || !s.makeImage.empty())
    return {s, {}};
  if (!dirGiven) {
    if (virtualDir == nullptr || *virtualDir == '\0') {
      return {std::nullopt, "no folder: give --dir or set HIDLINK_VIRTUAL_DIR"};
    }
    s.dir = virtualDir;
  }
  return {s, {}};
}

std::string SimUsage() {
  return R"(Usage: vireometer-sim [OPTIONS]

Serves an emulated power meter as a virtual HID device: a socket named
hid-0716-5027-0100-NAME.sock in a folder, where programs using hidlink with
HIDLINK_VIRTUAL_DIR set to that folder find it. Prints "serving PATH" once the
device accepts clients, and runs until SIGINT, SIGTERM or SIGHUP, which unplug
it (the socket file is removed) and end the program with status 0.

Device:
  --dir DIR               folder of the socket, which must exist (default:
                          $HIDLINK_VIRTUAL_DIR)
  --name NAME             device name in the socket name (default: meter;
                          letters, digits, '-', '_', '.')
  --serial XXXXXX         six-character serial number, stored in this order
                          (the program shows it reversed) (default: ABCDEF)
  --version-byte N        firmware version byte, decimal or 0x hex, 0..255;
                          0x15 is version 1.5 (default: 0x15)
  --upgrade-mode          start in upgrade mode (until UpgradeComplete)
  --records N             stored records, 0..352; by default a day of a USB
                          charger's load (default: 352)
  --record-hours N        RecordHours, the span of 352 records in hours, 0..255
                          (default: 24)
  --counters A[,B]        the two record counters, 0..4294967295 (default: both
                          the number of stored records)
  --frame-interval-ms F   live frame interval in milliseconds (default: 10)
  --frame-interval-us N   the same in microseconds; 0 = as fast as possible
  --probe TEMP            an external probe reading TEMP degrees Celsius
                          (default: no probe, which reads -60)
  --load PROFILE          voltage and current follow a profile instead of
                          the default swings, in time counted from the first
                          live frame (frame number x interval):
                          steady:VOLTS,AMPS, or charge[:key=value,...]: idle,
                          then a rise to the peak, a hold, a taper down to
                          the done current and a rest, repeated; keys idle,
                          rise, hold, taper, rest (seconds; 2,1,5,5,3),
                          idle_a, peak, done (ampere; 0,2,0.02), volts (5.1),
                          repeat (1 or 0)

Faults:
  --silent                never answer and never stream; stay attached
  --silent-after N        fall silent (as --silent) after N reports from the host
  --bad-checksum-every N  corrupt the checksum of every Nth frame sent
  --wrong-reply-code      acknowledgements and data frames carry a wrong code
  --report-delay-us N     delay before each report sent (1000 models USB
                          full speed)
  --refuse-opens          refuse every client
  --unplug-after N        unplug after N reports from the host (N >= 1)
  --replug-after-ms N     after that unplug, plug in again after N ms with
                          the meter's memory kept (flash, mode, screen)
  --unplug-every S        scripted unplug: after S seconds plugged, unplug
                          (counting from the first client's open)
  --unplug-for T          ... for T seconds, then plug again (default 1)
  --unplug-cycles N       ... N times (default: without end)

Inspection:
  --flash-file FILE       the flash (53248 bytes from 0x08003000): loaded at
                          start when FILE holds that many bytes, saved after
                          every unplug and at the end
  --trace-file FILE       saved with the flash: one line per command heard
                          ("command CODE ARGUMENT", decimal; the argument is
                          the address, or the screen line of ShowText), then
                          "screen LINE TEXT" per screen line and "mode
                          upgrade" or "mode normal"

Firmware images:
  --make-image FILE       write a valid firmware image for this meter to FILE
                          and exit (status 1 if it cannot be written)
  --image-size N          its payload length in bytes, 4..51200 (default:
                          51200)
  --image-no-logo         its payload has no marked logo area

  -h, --help              show this help and exit
  --version               show the version and exit

Exit status: 0 after a signal, --help or --version, 1 if the device cannot be served
(the reason is printed; nothing is created then),
2 on a usage error.
)";
}

void ApplyFaults(const SimSettings& settings, Faults& faults) {
  faults.silent = settings.silent;
  faults.badChecksumEvery = settings.badChecksumEvery;
  faults.wrongReplyCode = settings.wrongReplyCode;
  faults.reportDelayUs = settings.reportDelayUs;
  faults.refuseOpens = settings.refuseOpens;
  faults.unplugAfterReports = settings.unplugAfterReports;
  faults.silentAfterReports = settings.silentAfterReports;
}

}  // namespace vireo::sim
