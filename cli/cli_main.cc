// vireometer-cli: the meter from the terminal, over the same core as the desktop program.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace vireo::cli {
namespace {

constexpr const char* kFooter =
    "The log goes to standard error. Texts come from lang.ini in the current folder, else from\n"
    "the installed language of the locale (LC_ALL, LC_MESSAGES, LANG), else in English.\n"
    "Exit status: 0 success, 1 the meter or the file failed, 2 usage error.";

int Run(int argc, char** argv) {
  CLI::App app("The USB power meter from the terminal.", "vireometer-cli");
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("vireometer-cli ") + VIREO_VERSION);
  app.require_subcommand(1, 1);
  int status = kExitOk;
  AddDeviceCommands(app, status);
  AddSessionCommands(app, status);
  AddFirmwareCommands(app, status);
  AddUpdateCommands(app, status);
  AddRecordCommands(app, status);
  AddServeCommand(app, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    // One line that says what was wrong, and where to look: the subcommand's own help.
    std::string help = "vireometer-cli";
    for (const CLI::App* sub : app.get_subcommands())
      help += " " + sub->get_name();
    std::string what = e.what();
    const std::vector<std::string> rest = app.remaining();
    if (app.get_subcommands().empty() && !rest.empty()) {
      what =
          (rest.front().starts_with("-") ? "no option '" : "no subcommand '") + rest.front() + "'";
    }
    std::fprintf(stderr, "vireometer-cli: %s (see %s --help)\n", what.c_str(), help.c_str());
    return kExitUsage;
  }
  return status;
}

}  // namespace
}  // namespace vireo::cli

int main(int argc, char** argv) {
  return vireo::cli::Run(argc, argv);
}
