// What the serve tests share: an HTTP(S) client (libcurl), a free loopback port, a bcrypt hash
// made by the system's libcrypt, and a program looked up on PATH.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vireo::testing {

struct HttpReply {
  long status = 0;  // 0 when no connection was made
  std::string body;
  std::string error;  // libcurl's words when no reply came
};

struct HttpRequest {
  std::string url;
  std::vector<std::string> headers;  // "Accept: ..."
  std::string userPassword;          // "user:password" for basic auth, empty for none
  std::string caFile;                // the certificate an https server must show
};

HttpReply HttpGet(const HttpRequest& request);
inline HttpReply HttpGet(const std::string& url) {
  return HttpGet(HttpRequest{url, {}, {}, {}});
}

// The text with every character a URL's query cannot hold percent-encoded.
std::string UrlEscape(const std::string& text);

// A TCP port on 127.0.0.1 that nothing listens on now.
uint16_t FreePort();

// A bcrypt hash of `password` at a low cost, as htpasswd -B makes them.
std::string BcryptHash(const std::string& password);

// The full path of a program on PATH (and /usr/sbin, where Debian puts mosquitto); empty if
// it is not installed.
std::string FindProgram(const std::string& name);

}  // namespace vireo::testing
