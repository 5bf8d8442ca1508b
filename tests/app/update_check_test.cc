// The update check's parsing, its sequence over a scripted web client, the update worker,
// and the libcurl client's cancel.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>

#include "app/curl_http_client.h"
#include "app/update_check.h"
#include "app/update_control.h"
#include "base/posix.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

using testing::LogEntry;
using testing::RecordingReporter;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values)
    out.push_back(static_cast<char>(v));
  return out;
}

TEST(ParseVersionFile, MissingBytesStayAt0xFF) {
  EXPECT_EQ(ParseVersionFile(""), (UpdateVersionWord{0xFF, 0xFF}));
  EXPECT_EQ(ParseVersionFile(Bytes({0x16})), (UpdateVersionWord{0x16, 0xFF}));
  EXPECT_EQ(ParseVersionFile(Bytes({0x16, 0x12, 0x99})), (UpdateVersionWord{0x16, 0x12}));
}

TEST(UpdateLine, NibblesAsMajorAndMinor) {
  TextTable texts;
  texts.texts[TXT_UPDATE_LABEL] = "U";
  texts.texts[TXT_LATEST_LABEL] = "L";
  texts.texts[TXT_VERSION_LABEL] = "V";
  EXPECT_EQ(UpdateLine(texts, {0x16, 0x12}), "U:L1.6 V1.2");
  EXPECT_EQ(UpdateLine(texts, {0x00, 0xFF}), "U:L0.0 V15.15");
}

struct AdvertCase {
  const char* name;
  std::string content;
  std::string text;
};

void PrintTo(const AdvertCase& c, std::ostream* os) {
  *os << c.name;
}

class Advert : public ::testing::TestWithParam<AdvertCase> {};

TEST_P(Advert, IsPlainText) {
  EXPECT_EQ(AdvertText(GetParam().content), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    AdvertText, Advert,
    ::testing::Values(
        AdvertCase{"Empty", "", ""}, AdvertCase{"MarkOnly", Bytes({0xFF, 0xFE}), ""},
        AdvertCase{"FirstTwoBytesSkippedWhateverTheyAre", Bytes({'x', 'y', 'O', 0, 'K', 0}), "OK"},
        AdvertCase{"OddLastByteDropped", Bytes({0xFF, 0xFE, 'O', 0, 'K'}), "O"},
        AdvertCase{"EndsAtNul", Bytes({0xFF, 0xFE, 'a', 0, 0, 0, 'b', 0}), "a"},
        AdvertCase{"Utf16ToUtf8", Bytes({0xFF, 0xFE, 0xE9, 0x00, 0x2D, 0x4E}),
                   "\xC3\xA9\xE4\xB8\xAD"},
        AdvertCase{"SurrogatePair", Bytes({0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE}),
                   "\xF0\x9F\x98\x80"},
        AdvertCase{"UnpairedSurrogate", Bytes({0xFF, 0xFE, 0x3D, 0xD8, 'a', 0}),
                   "\xEF\xBF\xBD"
                   "a"},
        AdvertCase{"C0DelAndC1Dropped",
                   Bytes({0xFF, 0xFE, 'a', 0, 0x1B, 0, 0x7F, 0, 0x9B, 0, 0x0A, 0, 'b', 0}), "ab"},
        AdvertCase{"TabKept", Bytes({0xFF, 0xFE, 'a', 0, 0x09, 0, 'b', 0}), "a\tb"},
        AdvertCase{"MarkupIsText", Bytes({0xFF, 0xFE, '<', 0, 'b', 0, '>', 0}), "<b>"}),
    [](const auto& param) { return std::string(param.param.name); });

struct UrlCase {
  const char* url;
  bool web;
};

class WebUrl : public ::testing::TestWithParam<UrlCase> {};

TEST_P(WebUrl, OnlyHttpAndHttpsWithAHost) {
  EXPECT_EQ(IsWebUrl(GetParam().url), GetParam().web) << GetParam().url;
}

INSTANTIATE_TEST_SUITE_P(
    IsWebUrl, WebUrl,
    ::testing::Values(UrlCase{"http://example.org", true},
                      UrlCase{"HTTPS://example.org/shop?a=1", true},
                      UrlCase{"http://127.0.0.1:8080/", true}, UrlCase{"", false},
                      UrlCase{"http://", false}, UrlCase{"http:///path", false},
                      UrlCase{"file:///etc/passwd", false}, UrlCase{"ftp://example.org", false},
                      UrlCase{"javascript:alert(1)", false}, UrlCase{"example.org", false},
                      UrlCase{"http://exa mple.org", false},
                      UrlCase{"http://example.org/\n", false}));

TEST(ConfiguredUrls, EnvironmentOverridesAndShopNeedsAWebAddress) {
  setenv("VIREOMETER_UPDATE_URL", "http://127.0.0.1:1//", 1);
  EXPECT_EQ(UpdateBaseUrl(), "http://127.0.0.1:1");
  setenv("VIREOMETER_UPDATE_URL", "", 1);
  EXPECT_EQ(UpdateBaseUrl(), "");
  unsetenv("VIREOMETER_UPDATE_URL");
  EXPECT_EQ(UpdateBaseUrl(), "") << "the build's default is empty";
  setenv("VIREOMETER_SHOP_URL", "https://shop.example/x", 1);
  EXPECT_EQ(ShopUrl(), "https://shop.example/x");
  setenv("VIREOMETER_SHOP_URL", "file:///etc/passwd", 1);
  EXPECT_EQ(ShopUrl(), "");
  unsetenv("VIREOMETER_SHOP_URL");
  EXPECT_EQ(ShopUrl(), "");
}

HttpResult Failed(std::string error, long status = 0) {
  HttpResult r;
  r.status = status;
  r.error = std::move(error);
  return r;
}

// Answers fetches from a script and records the addresses asked for. With `hold` set, a fetch
// waits until Cancel.
class ScriptedClient : public HttpClient {
 public:
  HttpResult Fetch(const std::string& url) override {
    std::unique_lock lock(mutex_);
    urls.push_back(url);
    changed_.notify_all();
    changed_.wait(lock, [this] { return !hold || cancelled_; });
    if (cancelled_ || replies.empty())
      return Failed("cancelled");
    HttpResult reply = replies.front();
    replies.pop_front();
    return reply;
  }
  void Cancel() override {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
  }
  void WaitForFetches(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return urls.size() >= count; });
  }

  std::deque<HttpResult> replies;
  std::vector<std::string> urls;
  bool hold = false;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool cancelled_ = false;
};

HttpResult Ok(std::string body, std::optional<uint64_t> length = std::nullopt) {
  HttpResult r;
  r.ok = true;
  r.status = 200;
  r.body = std::move(body);
  r.contentLength = length ? length : std::optional<uint64_t>(r.body.size());
  return r;
}

class UpdateSequence : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(texts_.LoadTexts(EnglishTextsPath())); }
  TextTable texts_;
  ScriptedClient client_;
  RecordingReporter reporter_;
};

TEST_F(UpdateSequence, WithoutAnAddressNoRequestAndNoLogLine) {
  const UpdateOutcome outcome = RunUpdateCheck(client_, "", texts_, reporter_);
  EXPECT_FALSE(outcome.requested);
  EXPECT_TRUE(client_.urls.empty());
  EXPECT_TRUE(reporter_.log().empty());
  EXPECT_EQ(reporter_.status(StatusField::kUpgrade), "No update information");
}

TEST_F(UpdateSequence, FetchesBothFilesBelowTheBaseAddress) {
  client_.replies = {Ok(Bytes({0x16, 0x12})), Ok(Bytes({0xFF, 0xFE, 'H', 0, 'i', 0}))};
  const UpdateOutcome outcome = RunUpdateCheck(client_, "http://h/base", texts_, reporter_);
  EXPECT_EQ(client_.urls, (std::vector<std::string>{"http://h/base/updata/Vireo_NewVersion.pdf",
                                                    "http://h/base/updata/Vireo_ad.pdf"}));
  EXPECT_TRUE(outcome.versionFetched);
  EXPECT_EQ(reporter_.status(StatusField::kUpgrade), "Update:Latest1.6 Version1.2");
  EXPECT_EQ(reporter_.lines(),
            (std::vector<LogEntry>{{"Update:Latest1.6 Version1.2", 1}, {"Hi", 1}}));
}

TEST_F(UpdateSequence, AdvertIsCutAtItsContentLength) {
  client_.replies = {Ok(Bytes({0x16, 0x12})), Ok(Bytes({0xFF, 0xFE, 'a', 0, 'b', 0, 'c', 0}), 6)};
  EXPECT_EQ(RunUpdateCheck(client_, "http://h", texts_, reporter_).advert, "ab");
}

TEST_F(UpdateSequence, AdvertWithZeroLengthAddsNothing) {
  client_.replies = {Ok(Bytes({0x16, 0x12})), Ok(Bytes({0xFF, 0xFE, 'a', 0}), 0)};
  EXPECT_FALSE(RunUpdateCheck(client_, "http://h", texts_, reporter_).advert);
  EXPECT_EQ(reporter_.lines().size(), 1u);
}

TEST_F(UpdateSequence, FailedVersionFileIsARedDefaultLine) {
  client_.replies = {Failed("HTTP status 404", 404)};
  const UpdateOutcome outcome = RunUpdateCheck(client_, "http://h", texts_, reporter_);
  EXPECT_FALSE(outcome.versionFetched);
  EXPECT_EQ(outcome.error, "HTTP status 404");
  EXPECT_EQ(reporter_.status(StatusField::kUpgrade), "No update information");
  EXPECT_EQ(reporter_.lines(), (std::vector<LogEntry>{{"No update information", 3}}));
}

TEST(UpdateControl, StartReturnsWhileTheServerKeepsSilentAndShutdownEndsIt) {
  AppState state;
  ASSERT_TRUE(state.texts.LoadTexts(EnglishTextsPath()));
  auto client = std::make_unique<ScriptedClient>();
  client->hold = true;
  ScriptedClient& scripted = *client;
  RecordingReporter reporter;
  UpdateControl control(std::move(client), "http://h", state, reporter);
  control.Start();
  scripted.WaitForFetches(1);  // the check is under way on the worker, and Start has returned
  EXPECT_TRUE(control.IsRunning());
  control.Start();  // once only
  control.Shutdown();
  EXPECT_FALSE(control.IsRunning());
  EXPECT_EQ(reporter.status(StatusField::kUpgrade), "No update information");
}

TEST(CurlHttpClient, CancelEndsAFetchThatTheServerNeverAnswers) {
  posix::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener.Get(), 4), 0);
  socklen_t size = sizeof address;
  getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &size);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";

  CurlHttpClient client;
  auto fetch = std::async(std::launch::async, [&] { return client.Fetch(url); });
  posix::UniqueFd connection(
      accept(listener.Get(), nullptr, nullptr));  // connected, never answered
  ASSERT_TRUE(connection.IsValid());
  client.Cancel();
  const HttpResult result = fetch.get();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "cancelled") << "not the time-out: the cancel ended it";
  EXPECT_EQ(client.Fetch(url).error, "cancelled");
}

}  // namespace
}  // namespace vireo
