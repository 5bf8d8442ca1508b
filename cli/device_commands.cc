// list, info and stream: the attached devices, the meter's identity and its live readings.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "acquire/frame_queue.h"
#include "acquire/live_stream.h"
#include "app/identify.h"
#include "app/live_control.h"
#include "base/posix.h"
#include "cli/alarm_options.h"
#include "cli/commands.h"
#include "hidlink/hidlink.h"
#include "meter/firmware_version.h"
#include "meter/readings_record.h"

namespace vireo::cli {
namespace {

int List() {
  // Each meter is opened for its serial; one held by another program shows as busy.
  std::map<std::string, std::string> meters;
  for (const AttachedMeter& meter : SurveyMeters(std::chrono::milliseconds(200))) {
    meters[meter.device.path] =
        meter.identity ? SerialText(*meter.identity)
                       : (meter.error.kind == ErrorKind::kBusy ? "busy" : "unreadable");
  }
  MeterLink link;
  link.Configure();
  const DeviceScan scan;
  for (const HidDeviceInfo* d = scan.first(); d; d = d->Next) {
    const bool meter = d->VendorID == link.vendorId && d->ProductID == link.productId;
    std::string tag;
    if (meter) {
      const auto found = meters.find(d->DevicePath);
      tag = " meter " + (found == meters.end() ? std::string("gone") : found->second);
    }
    std::printf("%04x:%04x %04x %s%s\n", d->VendorID, d->ProductID, d->VersionNumber, d->DevicePath,
                tag.c_str());
  }
  return kExitOk;
}

int Info(bool json, const std::string& meter) {
  Session session;
  if (!session.UseMeter(meter))
    return kExitFailed;
  IdentifyIfFree(session.link, session.state, session.reporter);
  const DeviceInfo info = session.state.deviceInfo.Load();
  // A meter that was not identified has no fields to show; the log has said why.
  if (!info.identified)
    return kExitFailed;
  if (json) {
    nlohmann::ordered_json out;
    out["connected"] = true;
    out["serial"] = SerialText(info);
    out["version"] = FirmwareVersionText(info.version);
    out["versionByte"] = info.version;
    std::printf("%s\n", out.dump().c_str());
  } else {
    std::printf("%s\n%s\n", session.reporter.Status(StatusField::kSerial).c_str(),
                session.reporter.Status(StatusField::kVersion).c_str());
  }
  return kExitOk;
}

// Prints the rows of a stream. The CSV header comes with the first row, or at the end of a
// stream that brought none, so a failed START prints nothing. The first failed write stops the
// printing; WriteError tells why.
class RowPrinter {
 public:
  RowPrinter(bool json, long limit) : json_(json), limit_(limit) {}

  // t counts from this moment of CLOCK_BOOTTIME.
  void Begin(int64_t startNs) { startNs_ = startNs; }

  void Print(const TimedReadings& frame) {
    if (writeError_ != 0 || Done())
      return;
    const ReadingsRecord& r = frame.readings;
    const double t = std::max<double>(0, (frame.monotonicNs - startNs_) / 1e9);
    const float values[] = {r.voltage,      r.current,      r.power,       r.dPlus,      r.dMinus,
                            r.tempInternal, r.tempExternal, r.voltageFast, r.currentFast};
    static constexpr const char* kKeys[] = {"voltage",       "current",      "power",
                                            "dplus",         "dminus",       "temp_internal",
                                            "temp_external", "voltage_fast", "current_fast"};
    constexpr size_t kTempExternal = 6;
    std::string line = Header();
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, json_ ? "{\"t\": %.3f" : "%.3f", t);
    line += buffer;
    for (size_t i = 0; i < std::size(values); ++i) {
      const double v = values[i];
      // No probe: the pages show NULL, the rows show no number.
      const bool none = !std::isfinite(v) || (i == kTempExternal && !IsExternalReading(values[i]));
      if (json_) {
        // JSON has no spelling for infinities and NaN either.
        if (none) {
          std::snprintf(buffer, sizeof buffer, ", \"%s\": null", kKeys[i]);
        } else {
          std::snprintf(buffer, sizeof buffer, ", \"%s\": %.9g", kKeys[i], v);
        }
      } else if (i == kTempExternal && none) {
        std::snprintf(buffer, sizeof buffer, ",");
      } else {
        std::snprintf(buffer, sizeof buffer, ",%.9g", v);
      }
      line += buffer;
    }
    line += json_ ? "}\n" : "\n";
    if (Write(line))
      ++rows_;
  }

  bool Done() const { return limit_ > 0 && rows_ >= limit_; }
  // The errno of the first failed write, 0 if none failed.
  int WriteError() const { return writeError_; }

  // The header, when no row has brought it yet.
  void Close() {
    if (writeError_ == 0)
      Write(Header());
  }

 private:
  // The header the first time, then nothing.
  std::string Header() {
    if (json_ || std::exchange(headerDone_, true))
      return {};
    return "t,voltage,current,power,dplus,dminus,temp_internal,temp_external,voltage_fast,"
           "current_fast\n";
  }

  // Writes and flushes; false, with the cause kept, when the output takes it not.
  bool Write(const std::string& text) {
    if (text.empty())
      return true;
    errno = 0;
    if (std::fputs(text.c_str(), stdout) == EOF || std::fflush(stdout) == EOF) {
      writeError_ = errno != 0 ? errno : EIO;
      return false;
    }
    return true;
  }

  const bool json_;
  const long limit_;
  int64_t startNs_ = 0;
  bool headerDone_ = false;
  long rows_ = 0;
  int writeError_ = 0;
};

struct StreamOptions {
  std::string meter;
  long count = 0;
  double seconds = 0;
  std::string format = "csv";
  AlarmOptions alarms;
};

// Identifies the meter, checks its firmware and starts the stream, logging as START does (the
// terminal has no log to clear and no beeps). False, with the reason logged, when it fails.
bool StartStream(Session& session, LiveStream& stream) {
  AppState& state = session.state;
  if (!session.link.IsPresent()) {
    session.reporter.AppendLog(state.texts[TXT_ERR_NO_DEVICE], LogLevel::kError);
    session.reporter.NewLogLine();
    return false;
  }
  if (!Identify(session.link, state, session.reporter))
    return false;
  ShowIdentity(state, session.reporter);
  const DeviceInfo info = state.deviceInfo.Load();
  if (!IsFirmwareSupported(info.version))
    return false;  // the identification has given the notice
  const LiveStream::StartError error = stream.Start(SerialText(info));
  if (error != LiveStream::StartError::kNone) {
    LogStreamStartFailure(error, session.link, state.texts, session.reporter);
    session.reporter.NewLogLine();
    return false;
  }
  session.reporter.AppendLog(state.texts[TXT_STARTED], LogLevel::kSuccess);
  session.reporter.NewLogLine();
  return true;
}

int Stream(const StreamOptions& options) {
  // SIGINT and SIGTERM are taken through a signalfd by this thread alone.
  const sigset_t signals = BlockStopSignals();
  const posix::UniqueFd signalFd(::signalfd(-1, &signals, SFD_CLOEXEC));
  std::vector<std::string> errors;
  const std::unique_ptr<CommandAlarms> alarms = CommandAlarms::Make(options.alarms, errors);
  for (const std::string& error : errors)
    std::fprintf(stderr, "vireometer-cli: %s\n", error.c_str());
  if (!errors.empty())
    return CommandAlarms::ErrorStatus(options.alarms);

  Session session;
  if (!session.UseMeter(options.meter))
    return kExitFailed;
  RowPrinter rows(options.format == "jsonl", options.count);
  FrameQueue queue;
  LiveStream stream(session.link);
  stream.Subscribe(queue);
  if (!signalFd.IsValid() || !queue.IsValid()) {
    std::fprintf(stderr, "vireometer-cli: cannot wait for frames: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  const int64_t startNs = ClockNs(CLOCK_BOOTTIME);
  rows.Begin(startNs);
  if (!StartStream(session, stream))
    return kExitFailed;
  if (alarms)
    alarms->SetSerial(SerialText(session.state.deviceInfo.Load()));

  // More seconds than the clock holds from now on is the same as no limit.
  const double secondsLeft = static_cast<double>(INT64_MAX - startNs) / 1e9 - 1;
  const int64_t deadlineNs = options.seconds > 0 && options.seconds < secondsLeft
                                 ? startNs + static_cast<int64_t>(options.seconds * 1e9)
                                 : INT64_MAX;
  bool requested = false;
  bool alarmExit = false;
  std::optional<StreamEnd> end;
  std::vector<TimedReadings> frames;
  for (;;) {
    const int64_t now = ClockNs(CLOCK_BOOTTIME);
    if (now >= deadlineNs) {
      requested = true;
      break;
    }
    const int64_t next = std::min(deadlineNs, alarms ? alarms->NextDeadline() : INT64_MAX);
    const int timeoutMs =
        next == INT64_MAX
            ? -1
            : static_cast<int>(std::clamp<int64_t>((next - now) / 1'000'000 + 1, 0, 60'000));
    pollfd fds[2] = {{signalFd.Get(), POLLIN, 0}, {queue.WakeFd(), POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR)
      break;
    if (fds[0].revents & POLLIN) {
      requested = true;
      break;
    }
    end = queue.Take(frames);
    for (const TimedReadings& frame : frames)
      rows.Print(frame);
    if (alarms) {
      alarms->OnFrames(frames);
      if ((alarmExit = alarms->OnTick(ClockNs(CLOCK_BOOTTIME))))
        break;
    }
    if (rows.Done()) {
      requested = true;
      break;
    }
    if (end || rows.WriteError() != 0)
      break;
  }
  rows.Close();
  stream.Shutdown();
  if (end && *end != StreamEnd::kStopped) {
    // As the window does when the meter is lost: say so, and identify it again.
    session.reporter.AppendLog(session.state.texts[TXT_ERR_COMM], LogLevel::kError);
    session.reporter.NewLogLine();
    Identify(session.link, session.state, session.reporter);
  }
  int status = alarmExit ? kExitAlarm : requested ? kExitOk : kExitFailed;
  if (const int error = rows.WriteError(); error != 0) {
    std::fprintf(stderr, "vireometer-cli: cannot write the rows: %s\n", std::strerror(error));
    status = kExitFailed;
  }
  if (const std::string drops = DropsText(stream.Drops()); !drops.empty())
    std::fprintf(stderr, "vireometer-cli: %s\n", drops.c_str());
  return status;
}

}  // namespace

void AddDeviceCommands(CLI::App& app, int& status) {
  app.add_subcommand("list",
                     "One line per HID device: VVVV:PPPP RRRR PATH, and where it is a meter "
                     "' meter SERIAL', or ' meter busy' while another program holds it.")
      ->callback([&status] { status = List(); });

  auto* info = app.add_subcommand(
      "info", "Identify the meter and print its serial-number and version fields.");
  auto json = std::make_shared<bool>(false);
  auto meter = std::make_shared<std::string>();
  info->add_flag("--json", *json, "Print one JSON object instead.");
  AddMeterOption(*info, *meter);
  info->callback([&status, json, meter] { status = Info(*json, *meter); });

  auto* stream =
      app.add_subcommand("stream", "Start the live readings and print one row per frame.");
  stream->footer(
      "Rows go to standard output, as CSV with a header or as JSON lines, until --count rows, "
      "--seconds seconds, Ctrl-C or SIGTERM; then the stream ends and the link is closed. t is "
      "seconds since the start; temp_external is empty (JSON: null) when no probe is fitted. "
      "Frames the meter sent that were dropped are counted on standard error at the end.\n"
      "Exit status: 0 when the stream ended as asked, 1 when it could not start, the meter went "
      "away or the rows could not be written, 2 usage error, 3 an alarm of --exit-on-alarm.");
  auto options = std::make_shared<StreamOptions>();
  AddMeterOption(*stream, options->meter);
  stream->add_option("--count", options->count, "Stop after N rows.")
      ->check(AboveZero())
      ->type_name("N");
  stream->add_option("--seconds", options->seconds, "Stop after S seconds.")
      ->check(AboveZero())
      ->type_name("S");
  stream->add_option("--format", options->format, "Rows as CSV with a header, or JSON lines.")
      ->check(CLI::IsMember({"csv", "jsonl"}))
      ->capture_default_str();
  AddAlarmOptions(*stream, options->alarms);
  stream->callback([&status, options] { status = Stream(*options); });
}

}  // namespace vireo::cli
