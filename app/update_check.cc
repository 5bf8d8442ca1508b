#include "app/update_check.h"

#include <algorithm>
#include <cstdlib>

#include "meter/firmware_version.h"
#include "text/utf16.h"

namespace vireo {
namespace {

// A control character other than tab: C0, DEL and C1.
bool IsDroppedControl(char16_t unit) {
  return (unit < 0x20 && unit != u'\t') || (unit >= 0x7F && unit <= 0x9F);
}

std::string ConfiguredUrl(const char* variable, const char* built) {
  const char* value = std::getenv(variable);
  return value != nullptr ? std::string(value) : std::string(built);
}

}  // namespace

UpdateVersionWord ParseVersionFile(std::string_view content) {
  UpdateVersionWord word = kNoUpdateVersion;
  for (size_t i = 0; i < word.size() && i < content.size(); ++i)
    word[i] = static_cast<uint8_t>(content[i]);
  return word;
}

std::string UpdateLine(const TextTable& texts, const UpdateVersionWord& word) {
  return texts[TXT_UPDATE_LABEL] + ":" + texts[TXT_LATEST_LABEL] + FirmwareVersionText(word[0]) +
         " " + texts[TXT_VERSION_LABEL] + FirmwareVersionText(word[1]);
}

std::string AdvertText(std::string_view content) {
  std::u16string text;
  for (size_t i = 2; i + 1 < content.size(); i += 2) {
    const auto unit = static_cast<char16_t>(static_cast<uint8_t>(content[i]) |
                                            static_cast<uint8_t>(content[i + 1]) << 8);
    if (unit == 0)
      break;
    if (!IsDroppedControl(unit))
      text.push_back(unit);
  }
  return Utf16ToUtf8(text);
}

std::string UpdateBaseUrl() {
  std::string url = ConfiguredUrl("VIREOMETER_UPDATE_URL", VIREO_UPDATE_URL);
  while (!url.empty() && url.back() == '/')
    url.pop_back();
  return url;
}

std::string ShopUrl() {
  std::string url = ConfiguredUrl("VIREOMETER_SHOP_URL", VIREO_SHOP_URL);
  return IsWebUrl(url) ? url : std::string();
}

UpdateOutcome RunUpdateCheck(HttpClient& client, const std::string& baseUrl, const TextTable& texts,
                             Reporter& reporter) {
  UpdateOutcome outcome;
  outcome.updateLine = texts[TXT_UPDATE_DEFAULT];
  if (baseUrl.empty()) {
    // Nothing to ask and nothing failed.
    reporter.SetStatus(StatusField::kUpgrade, outcome.updateLine);
    return outcome;
  }
  outcome.requested = true;

  HttpResult version = client.Fetch(baseUrl + std::string(kVersionFilePath));
  if (version.ok && version.body.size() > kVersionFileBytes) {
    // A captive portal's page or an error page sent with status 200: not the version file.
    version.ok = false;
    version.error = std::string("the answer has ")
                        .append(version.truncated ? "more than " : "")
                        .append(std::to_string(version.body.size()))
                        .append(" bytes, not the version file's 2");
  }
  if (!version.ok) {
    outcome.error = version.error;
    reporter.SetStatus(StatusField::kUpgrade, outcome.updateLine);
    reporter.AppendLog(outcome.updateLine, LogLevel::kError);
    reporter.NewLogLine();
  } else {
    outcome.versionFetched = true;
    outcome.word = ParseVersionFile(version.body);
    outcome.updateLine = UpdateLine(texts, outcome.word);
    reporter.SetStatus(StatusField::kUpgrade, outcome.updateLine);
    reporter.AppendLog(outcome.updateLine, LogLevel::kSuccess);
    reporter.NewLogLine();
  }

  const HttpResult advert = client.Fetch(baseUrl + std::string(kAdvertFilePath));
  if (!advert.ok || !advert.contentLength || *advert.contentLength == 0)
    return outcome;
  // As many bytes as the header announced, of those read (never more than the cap).
  const std::string_view body(advert.body);
  outcome.advert = AdvertText(
      body.substr(0, static_cast<size_t>(std::min<uint64_t>(*advert.contentLength, body.size()))));
  reporter.AppendLog(*outcome.advert, LogLevel::kSuccess);
  reporter.NewLogLine();
  return outcome;
}

}  // namespace vireo
