// The update check and the advert: the newest version number and an advert text fetched from
// the maker's web server once at start. The parsing is pure (bytes in, text out); the sequence
// runs over an HttpClient and tells a Reporter.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/http_client.h"
#include "app/reporter.h"
#include "text/text_table.h"

namespace vireo {

// The two files, appended to the configured base address.
inline constexpr std::string_view kVersionFilePath = "/updata/Vireo_NewVersion.pdf";
inline constexpr std::string_view kAdvertFilePath = "/updata/Vireo_ad.pdf";

// The newest version and the second version number, a byte each: major number in the high
// nibble, minor in the low one. 0xFF where the file had no byte.
using UpdateVersionWord = std::array<uint8_t, 2>;
inline constexpr UpdateVersionWord kNoUpdateVersion = {0xFF, 0xFF};

// The size of the version file; a longer answer is something else (a portal's or error page).
inline constexpr size_t kVersionFileBytes = 2;

// The first two bytes of a version file; missing bytes keep 0xFF.
UpdateVersionWord ParseVersionFile(std::string_view content);

// "Update:Latest1.6 Version1.2" for the bytes 0x16 0x12, in the texts' words.
std::string UpdateLine(const TextTable& texts, const UpdateVersionWord& word);

// The advert as plain text (UTF-8): what follows the 2-byte byte-order mark, read as UTF-16LE
// up to the first NUL character or the end (an odd last byte is dropped). Control characters
// other than tab are dropped, so the text can never break a log line or drive a terminal.
// Nothing is ever read as markup.
std::string AdvertText(std::string_view content);

// The base address in force: $VIREOMETER_UPDATE_URL when set (empty turns the check off), else
// the build's VIREO_UPDATE_URL. Trailing slashes are removed.
std::string UpdateBaseUrl();
// The shop address BUY opens: $VIREOMETER_SHOP_URL when set, else the build's VIREO_SHOP_URL.
// Empty unless it is an http or https address.
std::string ShopUrl();

struct UpdateOutcome {
  bool requested = false;       // a base address was configured, so the server was asked
  bool versionFetched = false;  // the version file came
  UpdateVersionWord word = kNoUpdateVersion;
  std::string updateLine;             // what the "upgrade" status field shows
  std::optional<std::string> advert;  // the advert text, when the server gave one
  std::string error;                  // why the version file did not come, for the terminal
};

// The update check, then the advert. Without a base address nothing is fetched and nothing is
// logged: the status field shows TXT_UPDATE_DEFAULT. A failed version fetch, or an answer longer
// than a version file, shows it and logs it in red; a fetched one shows and logs the update line in
// green. The advert is logged in green when the server sends one with a Content-Length, and adds
// nothing otherwise.
UpdateOutcome RunUpdateCheck(HttpClient& client, const std::string& baseUrl, const TextTable& texts,
                             Reporter& reporter);

}  // namespace vireo
