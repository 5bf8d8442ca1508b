// CurlHttpClient: HttpClient over libcurl. http and https only (redirects too), proxies from
// the usual environment variables, one time-out for each file from connect to last byte, and
// at most HttpClient::kMaxBodyBytes read of each body.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "app/http_client.h"

namespace vireo {

class CurlHttpClient final : public HttpClient {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  explicit CurlHttpClient(std::chrono::milliseconds timeout = kDefaultTimeout);
  ~CurlHttpClient() override;
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  HttpResult Fetch(const std::string& url) override;
  void Cancel() override;

 private:
  std::chrono::milliseconds timeout_;
  void* multi_;  // CURLM*, kept out of this header
  std::atomic<bool> cancelled_{false};
  std::mutex fetchMutex_;  // one fetch at a time on the one multi handle
};

}  // namespace vireo
