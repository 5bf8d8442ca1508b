// HttpEndpoint: the read-only HTTP(S) endpoint of the service on libmicrohttpd: /metrics,
// /api/v1/meters and /healthz, on one or more addresses, with the basic auth and TLS of a web
// config. Each connection has its own thread and the number of connections, the request's
// size, its header count and its time are bounded, so a slow or stuck client holds up neither
// another client nor a stream; the content comes from snapshots that take no lock a stream
// waits for.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serve/exposition.h"
#include "serve/web_config.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace vireo::serve {

struct ListenAddress {
  sockaddr_storage address{};
  socklen_t length = 0;
  std::string host;  // as written: "127.0.0.1", "::1"
  uint16_t port = 0;
  bool loopback = false;  // 127.0.0.0/8 or ::1 (a wildcard is not)
};

// "127.0.0.1:9741", "[::1]:9741", "0.0.0.0:9741", "[::]:9741"; port 0 lets the system choose.
// None, with the reason in `error`, for anything else.
std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error);

// What the endpoint serves; called on the connections' threads, at the same time.
struct HttpContent {
  std::function<std::string(MetricsFormat)> metrics;
  std::function<std::string()> metersJson;
};

// Bounds of each connection.
struct HttpLimits {
  unsigned connections = 64;     // open at once, in all
  unsigned perAddress = 16;      // open at once from one client address
  unsigned timeoutSeconds = 10;  // idle time before a connection is closed
  size_t requestBytes = 16384;   // request line and headers
  unsigned headers = 64;
};

class HttpEndpoint {
 public:
  // `web` may be empty (no auth, no TLS). `log` hears one line per event.
  HttpEndpoint(HttpContent content, std::optional<WebConfig> web,
               std::function<void(const std::string&)> log, HttpLimits limits = {});
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  // Starts serving on `address`; false with the reason in `error`.
  bool Listen(const ListenAddress& address, std::string& error);
  // The addresses served, as base URLs ("http://127.0.0.1:9741"), with the ports bound.
  const std::vector<std::string>& urls() const { return urls_; }

  // Answers one request; run by the daemons' connection threads. An MHD_Result.
  int Respond(MHD_Connection* connection, std::string_view url, std::string_view method);
  // An error of the library while a daemon starts (afterwards they are not logged: a client's
  // broken handshake is no event of the service).
  void LibraryError(const char* text);

 private:
  struct DaemonStop {
    void operator()(MHD_Daemon* daemon) const;
  };

  const HttpContent content_;
  const std::optional<WebConfig> web_;
  std::unique_ptr<PasswordCheck> passwords_;
  const std::function<void(const std::string&)> log_;
  const HttpLimits limits_;
  std::string cert_, key_;  // PEM texts, kept while the daemons run
  std::atomic<bool> starting_{false};
  std::vector<std::unique_ptr<MHD_Daemon, DaemonStop>> daemons_;
  std::vector<std::string> urls_;
};

}  // namespace vireo::serve
