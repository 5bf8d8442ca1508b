// list, info and stream: the attached devices, the meter's identity and its live readings.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "app/identify.h"
#include "app/live_control.h"
#include "cli/commands.h"
#include "hidlink/hidlink.h"

namespace vireo::cli {
namespace {

int List() {
  MeterLink link;
  link.Configure();
  uint32_t count = 0;
  QelHidScanDevices(&count);
  for (const HidDeviceInfo* d = QelHidGetDevices(); d; d = d->Next) {
    const bool meter = d->VendorID == link.vendorId && d->ProductID == link.productId;
    std::printf("%04x:%04x %04x %s%s\n", d->VendorID, d->ProductID, d->VersionNumber, d->DevicePath,
                meter ? " meter" : "");
  }
  QelHidFreeDevicesInfo();
  return kExitOk;
}

int Info(bool json) {
  Session session;
  IdentifyIfFree(session.link, session.state, session.reporter);
  const DeviceInfo info = session.state.deviceInfo.Load();
  const bool identified = info.identified;
  if (json) {
    nlohmann::ordered_json out;
    out["connected"] = identified;
    out["serial"] = SerialText(info);
    out["version"] = std::to_string(info.version >> 4) + "." + std::to_string(info.version & 0x0F);
    out["versionByte"] = info.version;
    std::printf("%s\n", out.dump().c_str());
  } else {
    std::printf("%s\n%s\n", session.reporter.Status(StatusField::kSerial).c_str(),
                session.reporter.Status(StatusField::kVersion).c_str());
  }
  return identified ? kExitOk : kExitFailed;
}

// Below this the external temperature means that no probe is fitted.
constexpr float kNoProbeBelow = -50;

// Prints the rows of a stream; called on the live-poll worker. The CSV header comes with the
// first row, or at the end of a stream that brought none, so a failed START prints nothing.
// The first failed write stops the printing; WriteError tells why.
class RowPrinter {
 public:
  RowPrinter(bool json, long limit) : json_(json), limit_(limit) {}

  // t counts from here.
  void Begin() { start_ = std::chrono::steady_clock::now(); }

  void Print(const ReadingsRecord& r) {
    std::lock_guard lock(mutex_);
    if (closed_ || writeError_ != 0 || (limit_ > 0 && rows_ >= limit_))
      return;
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
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
      const bool none = !std::isfinite(v) || (i == kTempExternal && v < kNoProbeBelow);
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

  // No row is printed once this returns. With `started`, a header not printed yet is.
  void Close(bool started) {
    std::lock_guard lock(mutex_);
    closed_ = true;
    if (started && writeError_ == 0)
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
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  bool headerDone_ = false;  // guarded by mutex_
  bool closed_ = false;      // guarded by mutex_
  std::atomic<long> rows_{0};
  std::atomic<int> writeError_{0};
};

// "3 frames dropped (2 bad checksum, 1 wrong command code)", empty when none was.
std::string DropsText(const LiveDrops& drops) {
  if (drops.Total() == 0)
    return {};
  std::string reasons;
  const std::pair<uint32_t, const char*> parts[] = {{drops.badFrame, "bad checksum"},
                                                    {drops.wrongCode, "wrong command code"},
                                                    {drops.badLength, "wrong size"}};
  for (const auto& [count, reason] : parts) {
    if (count == 0)
      continue;
    if (!reasons.empty())
      reasons += ", ";
    reasons += std::to_string(count) + " " + reason;
  }
  const uint32_t total = drops.Total();
  return std::to_string(total) + (total == 1 ? " frame" : " frames") + " dropped (" + reasons + ")";
}

struct StreamOptions {
  long count = 0;
  double seconds = 0;
  std::string format = "csv";
};

int Stream(const StreamOptions& options) {
  // SIGINT and SIGTERM are taken by this thread alone, through sigtimedwait below.
  const sigset_t signals = BlockStopSignals();

  Session session;
  RowPrinter rows(options.format == "jsonl", options.count);
  LiveControl live(session.link, session.state, session.reporter);
  live.onReadings = [&rows](const ReadingsRecord& r) { rows.Print(r); };

  rows.Begin();
  live.Start();
  if (!session.state.LiveRunning)
    return kExitFailed;

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(options.seconds);
  bool requested = false;
  while (session.state.LiveRunning && rows.WriteError() == 0) {
    const timespec wait = {0, 20'000'000};
    if (sigtimedwait(&signals, nullptr, &wait) > 0 || rows.Done() ||
        (options.seconds > 0 && std::chrono::steady_clock::now() >= deadline)) {
      requested = true;
      break;
    }
  }
  rows.Close(true);
  live.Shutdown();
  int status = requested ? kExitOk : kExitFailed;
  if (const int error = rows.WriteError(); error != 0) {
    std::fprintf(stderr, "vireometer-cli: cannot write the rows: %s\n", std::strerror(error));
    status = kExitFailed;
  }
  if (const std::string drops = DropsText(live.Drops()); !drops.empty())
    std::fprintf(stderr, "vireometer-cli: %s\n", drops.c_str());
  return status;
}

}  // namespace

void AddDeviceCommands(CLI::App& app, int& status) {
  app.add_subcommand("list",
                     "One line per HID device: VVVV:PPPP RRRR PATH, and ' meter' where it is the "
                     "meter.")
      ->callback([&status] { status = List(); });

  auto* info = app.add_subcommand(
      "info", "Identify the meter and print its serial-number and version fields.");
  auto json = std::make_shared<bool>(false);
  info->add_flag("--json", *json, "Print one JSON object instead.");
  info->callback([&status, json] { status = Info(*json); });

  auto* stream =
      app.add_subcommand("stream", "Start the live readings and print one row per frame.");
  stream->footer(
      "Rows go to standard output, as CSV with a header or as JSON lines, until --count rows, "
      "--seconds seconds, Ctrl-C or SIGTERM; then the stream ends and the link is closed. t is "
      "seconds since the start; temp_external is empty (JSON: null) when no probe is fitted. "
      "Frames the meter sent that were dropped are counted on standard error at the end.\n"
      "Exit status: 0 when the stream ended as asked, 1 when it could not start, the meter went "
      "away or the rows could not be written, 2 usage error.");
  auto options = std::make_shared<StreamOptions>();
  stream->add_option("--count", options->count, "Stop after N rows.")
      ->check(AboveZero())
      ->type_name("N");
  stream->add_option("--seconds", options->seconds, "Stop after S seconds.")
      ->check(AboveZero())
      ->type_name("S");
  stream->add_option("--format", options->format, "Rows as CSV with a header, or JSON lines.")
      ->check(CLI::IsMember({"csv", "jsonl"}))
      ->capture_default_str();
  stream->callback([&status, options] { status = Stream(*options); });
}

}  // namespace vireo::cli
