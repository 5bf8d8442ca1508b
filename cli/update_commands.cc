// check-update: the update check and the advert of the desktop program, on the terminal.
#include <cstdio>

#include "app/curl_http_client.h"
#include "app/update_check.h"
#include "cli/commands.h"

namespace vireo::cli {
namespace {

int CheckUpdate() {
  Session session;
  CurlHttpClient client;
  const std::string baseUrl = UpdateBaseUrl();
  const UpdateOutcome outcome =
      RunUpdateCheck(client, baseUrl, session.state.texts, session.reporter);
  std::printf("%s\n", outcome.updateLine.c_str());
  if (outcome.advert)
    std::printf("%s\n", outcome.advert->c_str());
  std::fflush(stdout);
  if (!outcome.requested) {
    std::fprintf(stderr,
                 "vireometer-cli: no update server configured (set VIREOMETER_UPDATE_URL)\n");
  } else if (!outcome.versionFetched) {
    std::fprintf(stderr, "vireometer-cli: check-update: %s%s: %s\n", baseUrl.c_str(),
                 std::string(kVersionFilePath).c_str(), outcome.error.c_str());
  }
  return outcome.versionFetched ? kExitOk : kExitFailed;
}

}  // namespace

void AddUpdateCommands(CLI::App& app, int& status) {
  auto* check = app.add_subcommand(
      "check-update",
      "Ask the update server ($VIREOMETER_UPDATE_URL) for the newest version and its advert; "
      "exit status 0 when the version file came (two bytes at most: a longer answer is some other "
      "page, and the check has failed).");
  check->callback([&status] { status = CheckUpdate(); });
}

}  // namespace vireo::cli
