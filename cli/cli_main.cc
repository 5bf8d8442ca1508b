// vireometer-cli: the meter from the terminal, over the same core as the desktop program.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/identify.h"
#include "app/live_control.h"
#include "cli/terminal_reporter.h"
#include "hidlink/hidlink.h"

namespace vireo {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: vireometer-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  list                 one line per HID device: VVVV:PPPP RRRR PATH, ' meter' where it\n"
    "                       is the meter\n"
    "  info [--json]        identify the meter; print its serial-number and version fields\n"
    "                       (or one JSON object with --json)\n"
    "  stream [--count N] [--seconds S] [--format csv|jsonl]\n"
    "                       start the live readings and print one row per frame until N rows,\n"
    "                       S seconds, or Ctrl-C; then stop the stream as STOP does\n"
    "  --help               this text\n"
    "\n"
    "The log goes to standard error. Texts come from lang.ini in the current folder.\n"
    "Exit status: 0 success, 1 the meter failed or is missing, 2 usage error.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "vireometer-cli: %s\nTry 'vireometer-cli --help'.\n", message.c_str());
  return kExitUsage;
}

std::string CurrentFolder() {
  std::error_code ec;
  std::string folder = std::filesystem::current_path(ec).string();
  return folder.empty() || folder.back() == '/' ? folder : folder + "/";
}

// Sets up what every meter command needs: the state with its texts, the link, the log.
struct Session {
  Session() {
    state.ProgramFolder = CurrentFolder();
    LoadProgramTexts(state.texts, state.ProgramFolder);
    link.Configure();
  }
  AppState state;
  MeterLink link;
  TerminalReporter reporter;
};

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

int List(const std::vector<std::string>& args) {
  if (!args.empty())
    return UsageError("list takes no options");
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

int Info(const std::vector<std::string>& args) {
  bool json = false;
  for (const std::string& arg : args) {
    if (arg != "--json")
      return UsageError("unknown option for info: " + arg);
    json = true;
  }
  Session session;
  const bool identified = Identify(session.link, session.state, session.reporter);
  ShowIdentity(session.state, session.reporter);
  const DeviceInfo& info = session.state.deviceInfo;
  if (json) {
    const std::string serial = SerialText(info);
    std::printf(
        "{\"connected\": %s, \"serial\": %s, \"version\": \"%d.%d\", \"versionByte\": %d}\n",
        identified ? "true" : "false", JsonString(serial).c_str(), info.version >> 4,
        info.version & 0x0F, info.version);
  } else {
    std::printf("%s\n%s\n", session.reporter.Status(StatusField::kSerial).c_str(),
                session.reporter.Status(StatusField::kVersion).c_str());
  }
  return identified ? kExitOk : kExitFailed;
}

std::optional<long> ParseCount(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value <= 0)
    return std::nullopt;
  return value;
}

std::optional<double> ParseSeconds(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0)
    return std::nullopt;
  return value;
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

int Stream(const std::vector<std::string>& args) {
  long count = 0;
  double seconds = 0;
  bool json = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--count" && hasValue) {
      const auto value = ParseCount(args[++i]);
      if (!value)
        return UsageError("--count takes a whole number above 0");
      count = *value;
    } else if (arg == "--seconds" && hasValue) {
      const auto value = ParseSeconds(args[++i]);
      if (!value)
        return UsageError("--seconds takes a number above 0");
      seconds = *value;
    } else if (arg == "--format" && hasValue) {
      const std::string& format = args[++i];
      if (format != "csv" && format != "jsonl")
        return UsageError("--format is csv or jsonl");
      json = format == "jsonl";
    } else {
      return UsageError("unknown or incomplete option for stream: " + arg);
    }
  }

  // SIGINT and SIGTERM are taken by this thread alone, through sigtimedwait below; the
  // threads started later inherit the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Session session;
  RowPrinter rows(json, count);
  LiveControl live(session.link, session.state, session.reporter);
  live.onReadings = [&rows](const ReadingsRecord& r) { rows.Print(r); };

  Identify(session.link, session.state, session.reporter);
  rows.Begin();
  live.Start();
  if (!session.state.LiveRunning)
    return kExitFailed;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  bool requested = false;
  while (session.state.LiveRunning) {
    const timespec wait = {0, 20'000'000};
    if (sigtimedwait(&signals, nullptr, &wait) > 0 || rows.Done() ||
        (seconds > 0 && std::chrono::steady_clock::now() >= deadline)) {
      requested = true;
      break;
    }
  }
  rows.Close(true);
  live.Shutdown();
  return requested ? kExitOk : kExitFailed;
}

int Run(int argc, char** argv) {
  if (argc < 2)
    return UsageError("a command is needed");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "list")
    return List(args);
  if (command == "info")
    return Info(args);
  if (command == "stream")
    return Stream(args);
  return UsageError("unknown command: " + command);
}

}  // namespace
}  // namespace vireo

int main(int argc, char** argv) {
  return vireo::Run(argc, argv);
}
