#include "serve/serve_support.h"

#include <crypt.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>

namespace vireo::testing {

namespace {

size_t Append(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

}  // namespace

HttpReply HttpGet(const HttpRequest& request) {
  HttpReply reply;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  curl_slist* headers = nullptr;
  for (const std::string& h : request.headers)
    headers = curl_slist_append(headers, h.c_str());
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 10000L);
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  if (!request.userPassword.empty())
    curl_easy_setopt(c, CURLOPT_USERPWD, request.userPassword.c_str());
  if (!request.caFile.empty())
    curl_easy_setopt(c, CURLOPT_CAINFO, request.caFile.c_str());
  const CURLcode rc = curl_easy_perform(c);
  if (rc == CURLE_OK) {
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
  } else {
    reply.error = curl_easy_strerror(rc);
  }
  curl_slist_free_all(headers);
  return reply;
}

std::string UrlEscape(const std::string& text) {
  char* escaped = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
  std::string out = escaped ? escaped : "";
  curl_free(escaped);
  return out;
}

uint16_t FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
  close(s);
  return ntohs(a.sin_port);
}

std::string BcryptHash(const std::string& password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn("$2b$", 5, nullptr, 0, salt, sizeof salt))
    return {};
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_rn(password.c_str(), salt, data.get(), sizeof *data);
  return hash ? hash : "";
}

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(std::string(path ? path : "") + ":/usr/sbin:/usr/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::filesystem::path candidate = std::filesystem::path(folder) / name;
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0)
      return candidate.string();
  }
  return {};
}

}  // namespace vireo::testing
