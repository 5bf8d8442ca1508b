// vireometer-cli: the meter from the terminal, over the same core as the desktop program.
#include <cctype>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace vireo::cli {
namespace {

constexpr const char* kFooter =
    "The log goes to standard error. Texts come from lang.ini in the current folder, else from\n"
    "the installed language of the locale (LC_ALL, LC_MESSAGES, LANG), else in English.\n"
    "Exit status: 0 success, 1 the meter or the file failed, 2 usage error.";

// A positional argument is shown by its name alone (FILE, not FILE TEXT REQUIRED): the usage
// line already says that it is required.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->nonpositional() ? CLI::Formatter::make_option_opts(option) : std::string();
  }
};

// Shows each option's value by the name its definition gives it (--count N) instead of the
// tags CLI11 adds for the type and the checks (N:ABOVE 0, TEXT:{csv,jsonl}); the description
// says what a value may be. A value that has no name of its own shows its choices (csv|jsonl).
void PlainValueNames(CLI::App& app) {
  static const std::set<std::string> kTypeTags = {"TEXT", "INT",     "UINT", "FLOAT", "NUMBER",
                                                  "BOOL", "BOOLEAN", "ENUM", "UINT8", "CHAR"};
  for (CLI::Option* option : app.get_options([](CLI::Option*) { return true; })) {
    if (!option->nonpositional() || option->get_type_size() == 0 ||
        !option->get_option_text().empty())
      continue;
    std::string name = option->get_type_name();
    std::string checks;
    std::string choices;
    for (int i = 0;; ++i) {
      std::string description;
      try {
        description = option->get_validator(i)->get_description();
      } catch (const CLI::OptionNotFound&) {
        break;
      }
      if (description.empty())
        continue;
      checks += ":" + description;
      if (description.front() == '{' && description.back() == '}') {
        choices = description.substr(1, description.size() - 2);
        for (char& c : choices)
          c = c == ',' ? '|' : c;
      }
    }
    if (!checks.empty() && name.ends_with(checks))
      name.resize(name.size() - checks.size());
    if (kTypeTags.contains(name)) {
      if (!choices.empty()) {
        name = choices;
      } else {
        name = option->get_single_name();
        for (char& c : name)
          c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      }
    }
    if (!option->get_default_str().empty())
      name += "=" + option->get_default_str();
    if (option->get_expected_max() == CLI::detail::expected_max_vector_size)
      name += " ...";
    option->option_text(name);
  }
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
    PlainValueNames(*sub);
}

int Run(int argc, char** argv) {
  CLI::App app("The USB power meter from the terminal.", "vireometer-cli");
  // Before the subcommands, which take their formatter from the app as they are made.
  app.formatter(std::make_shared<HelpFormatter>());
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
  PlainValueNames(app);
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
