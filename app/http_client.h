// HttpClient: the small web client the update check fetches its two files with. One
// implementation (CurlHttpClient) talks to the network; tests may supply others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vireo {

// What one fetch gave: success when a response with a status of 200 to 298 came whole (or
// filled the size cap); the body read, at most the client's cap; the Content-Length header if
// the server sent one. `error` says why a fetch failed, for the terminal, never for the log.
struct HttpResult {
  bool ok = false;
  long status = 0;
  std::string body;
  std::optional<uint64_t> contentLength;
  bool truncated = false;  // the body reached the cap and the rest was not read
  std::string error;
};

class HttpClient {
 public:
  // Nothing is read of a file beyond this, whatever its Content-Length says.
  static constexpr size_t kMaxBodyBytes = 64 * 1024;

  virtual ~HttpClient() = default;
  // Fetches url with GET. Blocks until the response has come, failed or timed out.
  virtual HttpResult Fetch(const std::string& url) = 0;
  // From any thread: ends a fetch in progress at once and makes later ones fail, so a worker
  // blocked in Fetch can be joined without waiting for its time-out.
  virtual void Cancel() = 0;
};

// True for an absolute http:// or https:// address with a host, the only ones the program
// fetches or opens.
bool IsWebUrl(std::string_view url);

}  // namespace vireo
