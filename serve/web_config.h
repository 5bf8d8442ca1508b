// WebConfig: the --web-config file in the format that Prometheus exporters share (YAML):
// basic_auth_users (name: bcrypt hash) and tls_server_config (cert_file, key_file; relative
// paths from the file's folder). Keys this program does not follow are refused, so a file
// written for another exporter never protects less than it says. PasswordCheck verifies a
// user's password against the hash with the system's libcrypt.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vireo::serve {

struct WebConfig {
  std::map<std::string, std::string> users;  // name -> bcrypt hash
  std::string certFile;
  std::string keyFile;

  bool Tls() const { return !certFile.empty(); }
  // A web config that asks for neither passwords nor TLS protects nothing.
  bool Protects() const { return Tls() || !users.empty(); }
};

struct WebConfigResult {
  std::optional<WebConfig> config;
  std::string error;  // why the file was refused, one sentence
};

WebConfigResult LoadWebConfig(const std::string& path);
// The text of such a file; `folder` is where relative paths start.
WebConfigResult ParseWebConfig(std::string_view yaml, const std::string& folder);

// Verifies passwords; any thread. A password once verified for a user is kept in memory, so
// a scraper that sends it every second pays for bcrypt once, not at every scrape.
class PasswordCheck {
 public:
  explicit PasswordCheck(std::map<std::string, std::string> users);
  bool Check(const std::string& user, const std::string& password) const;

 private:
  const std::map<std::string, std::string> users_;
  mutable std::mutex mutex_;
  mutable std::map<std::string, std::string> verified_;  // guarded by mutex_
};

}  // namespace vireo::serve
