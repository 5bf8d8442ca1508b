// list, info and stream: the attached devices, the meter's identity and its live readings.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
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
  const bool identified = Identify(session.link, session.state, session.reporter);
  ShowIdentity(session.state, session.reporter);
  const DeviceInfo info = session.state.deviceInfo.Load();
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

// Prints the rows of a stream; called on the live-poll worker. The CSV header comes with the
// first row, or at the end of a stream that brought none, so a failed START prints nothing.
class RowPrinter {
 public:
  RowPrinter(bool json, long limit) : json_(json), limit_(limit) {}

  // t counts from here.
  void Begin() { start_ = std::chrono::steady_clock::now(); }

  void Print(const ReadingsRecord& r) {
    std::lock_guard lock(mutex_);
    if (closed_ || (limit_ > 0 && rows_ >= limit_))
      return;
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const float values[] = {r.voltage,      r.current,      r.power,       r.dPlus,      r.dMinus,
                            r.tempInternal, r.tempExternal, r.voltageFast, r.currentFast};
    static constexpr const char* kKeys[] = {"voltage",       "current",      "power",
                                            "dplus",         "dminus",       "temp_internal",
                                            "temp_external", "voltage_fast", "current_fast"};
    std::string line = Header();
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, json_ ? "{\"t\": %.3f" : "%.3f", t);
    line += buffer;
    for (size_t i = 0; i < std::size(values); ++i) {
      const double v = values[i];
      if (json_) {
        // JSON has no spelling for infinities and NaN.
        if (std::isfinite(v)) {
          std::snprintf(buffer, sizeof buffer, ", \"%s\": %.9g", kKeys[i], v);
        } else {
          std::snprintf(buffer, sizeof buffer, ", \"%s\": null", kKeys[i]);
        }
      } else {
        std::snprintf(buffer, sizeof buffer, ",%.9g", v);
      }
      line += buffer;
    }
    line += json_ ? "}\n" : "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    ++rows_;
  }

  bool Done() const { return limit_ > 0 && rows_ >= limit_; }

  // No row is printed once this returns. With `started`, a header not printed yet is.
  void Close(bool started) {
    std::lock_guard lock(mutex_);
    closed_ = true;
    if (started) {
      std::fputs(Header().c_str(), stdout);
      std::fflush(stdout);
    }
  }

 private:
  // The header the first time, then nothing.
  std::string Header() {
    if (json_ || std::exchange(headerDone_, true))
      return {};
    return "t,voltage,current,power,dplus,dminus,temp_internal,temp_external,voltage_fast,"
           "current_fast\n";
  }

  const bool json_;
  const long limit_;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  bool headerDone_ = false;  // guarded by mutex_
  bool closed_ = false;      // guarded by mutex_
  std::atomic<long> rows_{0};
};

struct StreamOptions {
  long count = 0;
  double seconds = 0;
  std::string format = "csv";
};

int Stream(const StreamOptions& options) {
  // SIGINT and SIGTERM are taken by this thread alone, through sigtimedwait below; the
  // threads started later inherit the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Session session;
  RowPrinter rows(options.format == "jsonl", options.count);
  LiveControl live(session.link, session.state, session.reporter);
  live.onReadings = [&rows](const ReadingsRecord& r) { rows.Print(r); };

  Identify(session.link, session.state, session.reporter);
  rows.Begin();
  live.Start();
  if (!session.state.LiveRunning)
    return kExitFailed;

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(options.seconds);
  bool requested = false;
  while (session.state.LiveRunning) {
    const timespec wait = {0, 20'000'000};
    if (sigtimedwait(&signals, nullptr, &wait) > 0 || rows.Done() ||
        (options.seconds > 0 && std::chrono::steady_clock::now() >= deadline)) {
      requested = true;
      break;
    }
  }
  rows.Close(true);
  live.Shutdown();
  return requested ? kExitOk : kExitFailed;
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

  auto* stream = app.add_subcommand(
      "stream",
      "Start the live readings and print one row per frame until --count rows, --seconds "
      "seconds or Ctrl-C; then stop the stream as STOP does.");
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
