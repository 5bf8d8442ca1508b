#include "serve/http_endpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "base/posix.h"

namespace vireo::serve {

namespace {

constexpr const char* kRealm = "vireometer";
constexpr const char* kIndex =
    "vireometer-cli serve\n/metrics         Prometheus metrics\n/api/v1/meters   the meters as "
    "JSON\n/healthz         ok while the service runs\n";

MHD_Result Send(MHD_Connection* connection, unsigned status, std::string body,
                const char* contentType);

// The first call only sees the headers; answering a good request then would cost the
// connection its keep-alive, so its answer waits for the second call. A request with a body,
// or another method, is answered at once: every endpoint is read-only.
MHD_Result Answer(void* self, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* uploadSize, void** request) {
  static int headersSeen;
  auto* endpoint = static_cast<HttpEndpoint*>(self);
  const std::string_view m = method ? method : "";
  if (*request == nullptr) {
    *request = &headersSeen;
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const bool body =
        (length && std::string_view(length) != "0") ||
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
    if (body)
      return Send(connection, MHD_HTTP_CONTENT_TOO_LARGE, "no request body here\n", "text/plain");
    if (m != MHD_HTTP_METHOD_GET && m != MHD_HTTP_METHOD_HEAD)
      return static_cast<MHD_Result>(endpoint->Respond(connection, url ? url : "", m));
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  return static_cast<MHD_Result>(endpoint->Respond(connection, url ? url : "", m));
}

void LogLibraryError(void* self, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  static_cast<HttpEndpoint*>(self)->LibraryError(text);
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::nullopt;
  return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

MHD_Result Send(MHD_Connection* connection, unsigned status, std::string body,
                const char* contentType) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  if (!response)
    return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error) {
  ListenAddress a;
  std::string_view portText;
  if (text.starts_with("[")) {
    const size_t close = text.find("]:");
    if (close == std::string_view::npos) {
      error = std::string("'").append(text).append("' is not [IPV6]:PORT");
      return std::nullopt;
    }
    a.host = std::string(text.substr(1, close - 1));
    portText = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(':') != colon) {
      error = std::string("'").append(text).append(
          "' is not ADDRESS:PORT (IPv6 in brackets: [::1]:9741)");
      return std::nullopt;
    }
    a.host = std::string(text.substr(0, colon));
    portText = text.substr(colon + 1);
  }
  unsigned long port = 0;
  const std::string portString(portText);
  char* end = nullptr;
  port = std::strtoul(portString.c_str(), &end, 10);
  if (portString.empty() || *end != '\0' || port > 65535) {
    error = std::string("'").append(text).append("' has no port number 0..65535");
    return std::nullopt;
  }
  a.port = static_cast<uint16_t>(port);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&a.address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.address);
  if (inet_pton(AF_INET, a.host.c_str(), &v4->sin_addr) == 1 && !text.starts_with("[")) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(a.port);
    a.length = sizeof *v4;
    a.loopback = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  } else if (inet_pton(AF_INET6, a.host.c_str(), &v6->sin6_addr) == 1 && text.starts_with("[")) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(a.port);
    a.length = sizeof *v6;
    a.loopback = IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr) ||
                 (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127);
  } else {
    error = "'" + a.host + "' is not a numeric IPv4 or IPv6 address";
    return std::nullopt;
  }
  return a;
}

void HttpEndpoint::DaemonStop::operator()(MHD_Daemon* daemon) const {
  MHD_stop_daemon(daemon);
}

HttpEndpoint::HttpEndpoint(HttpContent content, std::optional<WebConfig> web,
                           std::function<void(const std::string&)> log, HttpLimits limits)
    : content_(std::move(content)), web_(std::move(web)), log_(std::move(log)), limits_(limits) {
  if (web_ && !web_->users.empty())
    passwords_ = std::make_unique<PasswordCheck>(web_->users);
}

HttpEndpoint::~HttpEndpoint() = default;

void HttpEndpoint::LibraryError(const char* text) {
  if (!starting_.load())
    return;
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
    line.pop_back();
  log_("HTTP: " + line);
}

bool HttpEndpoint::Listen(const ListenAddress& address, std::string& error) {
  const bool tls = web_ && web_->Tls();
  const std::string shown =
      address.address.ss_family == AF_INET6 ? "[" + address.host + "]" : address.host;
  if (tls && cert_.empty()) {
    if (!MHD_is_feature_supported(MHD_FEATURE_TLS)) {
      error = "this libmicrohttpd was built without TLS";
      return false;
    }
    const std::optional<std::string> cert = ReadFile(web_->certFile);
    const std::optional<std::string> key = ReadFile(web_->keyFile);
    if (!cert || !key) {
      error = "cannot read " + (cert ? web_->keyFile : web_->certFile);
      return false;
    }
    cert_ = *cert;
    key_ = *key;
  }

  posix::UniqueFd socket(
      ::socket(address.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int one = 1;
  if (socket)
    setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (socket && address.address.ss_family == AF_INET6) {
    // [::] serves IPv4 too; any other IPv6 address only itself.
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address.address);
    const int only = IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr) ? 0 : 1;
    setsockopt(socket.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
  }
  if (!socket ||
      ::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address.address), address.length) !=
          0 ||
      ::listen(socket.Get(), 64) != 0) {
    error = "cannot listen on " + shown + ":" + std::to_string(address.port) + ": " +
            std::strerror(errno);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&bound), &boundLength);
  const uint16_t port =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

  unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL |
                   MHD_USE_ERROR_LOG;
  if (tls)
    flags |= MHD_USE_TLS;
  MHD_OptionItem tlsOptions[] = {{MHD_OPTION_HTTPS_MEM_KEY, 0, key_.data()},
                                 {MHD_OPTION_HTTPS_MEM_CERT, 0, cert_.data()},
                                 {MHD_OPTION_END, 0, nullptr}};
  MHD_OptionItem plainOptions[] = {{MHD_OPTION_END, 0, nullptr}};
  starting_ = true;
  MHD_Daemon* daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Answer, this, MHD_OPTION_EXTERNAL_LOGGER, &LogLibraryError, this,
      MHD_OPTION_LISTEN_SOCKET, socket.Get(), MHD_OPTION_CONNECTION_LIMIT, limits_.connections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.perAddress, MHD_OPTION_CONNECTION_TIMEOUT,
      limits_.timeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.requestBytes,
      MHD_OPTION_ARRAY, tls ? tlsOptions : plainOptions, MHD_OPTION_END);
  starting_ = false;
  if (!daemon) {
    error = "cannot serve HTTP" + std::string(tls ? "S" : "") + " on " + shown + ":" +
            std::to_string(port) + (tls ? " (is the key the certificate's?)" : "");
    return false;
  }
  socket.Release();  // the daemon closes it when it stops
  daemons_.emplace_back(daemon);
  urls_.push_back(std::string(tls ? "https://" : "http://") + shown + ":" + std::to_string(port));
  return true;
}

int HttpEndpoint::Respond(MHD_Connection* connection, std::string_view url,
                          std::string_view method) {
  if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD)
    return Send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n", "text/plain");
  if (MHD_get_connection_values(connection, MHD_HEADER_KIND, nullptr, nullptr) >
      static_cast<int>(limits_.headers)) {
    return Send(connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "too many headers\n",
                "text/plain");
  }
  if (passwords_) {
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    const bool allowed = user && password && passwords_->Check(user, password);
    MHD_free(user);
    MHD_free(password);
    if (!allowed) {
      const std::string body = "401 Unauthorized\n";
      MHD_Response* response = MHD_create_response_from_buffer(
          body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
      if (!response)
        return MHD_NO;
      const MHD_Result result = MHD_queue_basic_auth_fail_response(connection, kRealm, response);
      MHD_destroy_response(response);
      return result;
    }
  }
  if (url == "/metrics") {
    const char* accept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Accept");
    const MetricsFormat format = ChooseMetricsFormat(accept ? accept : "");
    return Send(connection, MHD_HTTP_OK, content_.metrics(format), ContentType(format));
  }
  if (url == "/api/v1/meters")
    return Send(connection, MHD_HTTP_OK, content_.metersJson(), "application/json");
  if (url == "/healthz")
    return Send(connection, MHD_HTTP_OK, "ok\n", "text/plain");
  if (url == "/")
    return Send(connection, MHD_HTTP_OK, kIndex, "text/plain");
  return Send(connection, MHD_HTTP_NOT_FOUND, "404 Not Found\n", "text/plain");
}

}  // namespace vireo::serve
