#include "app/curl_http_client.h"

#include <curl/curl.h>

#include <memory>

namespace vireo {
namespace {

constexpr long kMaxRedirects = 5;
constexpr int kPollMs = 1000;  // libcurl's own timers wake the poll sooner when due

struct Transfer {
  HttpResult result;
  bool capped = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  const size_t room = HttpClient::kMaxBodyBytes - transfer.result.body.size();
  if (length > room) {
    transfer.result.body.append(data, room);
    transfer.capped = true;
    return 0;  // ends the transfer; the rest is never read
  }
  transfer.result.body.append(data, length);
  return length;
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

HttpResult Failure(std::string error) {
  HttpResult result;
  result.error = std::move(error);
  return result;
}

}  // namespace

CurlHttpClient::CurlHttpClient(std::chrono::milliseconds timeout) : timeout_(timeout) {
  InitCurlOnce();
  multi_ = curl_multi_init();
}

CurlHttpClient::~CurlHttpClient() {
  if (multi_ != nullptr)
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void CurlHttpClient::Cancel() {
  cancelled_ = true;
  if (multi_ != nullptr)
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

HttpResult CurlHttpClient::Fetch(const std::string& url) {
  std::lock_guard lock(fetchMutex_);
  if (cancelled_)
    return Failure("cancelled");
  if (!IsWebUrl(url))
    return Failure("not an http or https address");
  auto* multi = static_cast<CURLM*>(multi_);
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (multi == nullptr || easy == nullptr)
    return Failure("the web client could not be set up");

  Transfer transfer;
  CURL* e = easy.get();
  const long timeoutMs = static_cast<long>(timeout_.count());
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // One limit from the start of the connection to the last byte of the body.
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
  // Proxies come from http_proxy, https_proxy and no_proxy, which libcurl reads itself.

  if (curl_multi_add_handle(multi, e) != CURLM_OK)
    return Failure("the web client could not start the transfer");
  int running = 1;
  while (!cancelled_) {
    if (curl_multi_perform(multi, &running) != CURLM_OK || running == 0)
      break;
    if (curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr) != CURLM_OK)
      break;
  }
  CURLcode code = CURLE_FAILED_INIT;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == e)
      code = message->data.result;
  }
  curl_multi_remove_handle(multi, e);

  HttpResult& result = transfer.result;
  if (cancelled_)
    return Failure("cancelled");
  const bool complete = code == CURLE_OK || (code == CURLE_WRITE_ERROR && transfer.capped);
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &result.status);
  curl_off_t length = -1;
  if (curl_easy_getinfo(e, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0)
    result.contentLength = static_cast<uint64_t>(length);
  result.truncated = transfer.capped;
  if (!complete) {
    result.error = curl_easy_strerror(code);
    return result;
  }
  result.ok = result.status >= 200 && result.status <= 298;
  if (!result.ok)
    result.error = "HTTP status " + std::to_string(result.status);
  return result;
}

}  // namespace vireo
