#include <signal.h>

#include <filesystem>

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

Session::Session() : reporter(state.texts) {
  state.ProgramFolder = CurrentFolder();
  const ProgramTextsLoad texts = LoadProgramTexts(state.texts, state.ProgramFolder);
  for (const std::string& warning : texts.warnings) {
    reporter.AppendLog(warning, LogLevel::kWarning);
    reporter.NewLogLine();
  }
  link.Configure();
}

}  // namespace vireo::cli
