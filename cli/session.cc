#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/identify.h"
#include "cli/commands.h"

namespace vireo::cli {

CLI::Validator AboveZero() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        double value = 0;
        if (!CLI::detail::lexical_cast(text, value) || !(value > 0))
          return "must be a number above 0, not '" + text + "'";
        return {};
      },
      "ABOVE 0");
}

CLI::Validator ByteSize() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        std::string unit(end);
        double factor = 1;
        if (unit == "K" || unit == "KiB" || unit == "k")
          factor = 1024.0;
        else if (unit == "M" || unit == "MiB")
          factor = 1024.0 * 1024;
        else if (unit == "G" || unit == "GiB")
          factor = 1024.0 * 1024 * 1024;
        else if (unit == "T" || unit == "TiB")
          factor = 1024.0 * 1024 * 1024 * 1024;
        else if (!unit.empty() && unit != "B")
          return "must be a size such as 256M or 1G, not '" + text + "'";
        if (end == text.c_str() || !std::isfinite(value) || value < 0 || value * factor > 1e18)
          return "must be a size such as 256M or 1G, not '" + text + "'";
        text = std::to_string(static_cast<uint64_t>(value * factor));
        return {};
      },
      "");
}

std::string CurrentFolder() {
  std::error_code ec;
  std::string folder = std::filesystem::current_path(ec).string();
  return folder.empty() || folder.back() == '/' ? folder : folder + "/";
}

sigset_t BlockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signals;
}

bool WaitTakingStopSignals(const sigset_t& signals, const std::function<bool()>& running,
                           const std::function<void()>& stop) {
  bool stopped = false;
  // Often enough that the end shows without delay; the signal itself ends the wait at once.
  const timespec poll{0, 50'000'000};
  while (running()) {
    if (sigtimedwait(&signals, nullptr, &poll) > 0 && !stopped) {
      stopped = true;
      stop();
    }
  }
  return stopped;
}

Session::Session() : reporter(state.texts) {
  state.ProgramFolder = CurrentFolder();
  const ProgramTextsLoad texts = LoadProgramTexts(state.texts, state.ProgramFolder);
  for (const std::string& warning : texts.warnings) {
    reporter.AppendLog(warning, LogLevel::kWarning);
    reporter.NewLogLine();
  }
  link.Configure();
}

void AddMeterOption(CLI::App& command, std::string& meter) {
  command
      .add_option("--meter", meter,
                  "The meter to use, by its serial (as `list` shows it) or its device path; "
                  "without it, the first meter attached.")
      ->type_name("SERIAL|PATH");
}

bool Session::UseMeter(const std::string& choice) {
  if (choice.empty())
    return true;
  std::string path = choice;
  if (choice.find('/') == std::string::npos) {
    Result<std::string> found = FindMeter(choice, kMeterBusyPatience);
    if (!found) {
      std::fprintf(stderr, "vireometer-cli: %s\n", found.error().message.c_str());
      return false;
    }
    path = std::move(found.value());
  }
  link.BindToPath(path);
  link.SetBusyPatience(kMeterBusyPatience);
  return true;
}

}  // namespace vireo::cli
