#include "serve/web_config.h"

#include <crypt.h>
#include <yaml.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace vireo::serve {

namespace {

// Owns a parsed YAML document.
class YamlDocument {
 public:
  explicit YamlDocument(std::string_view text) {
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser))
      return;
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
    loaded_ = yaml_parser_load(&parser, &document_) != 0;
    if (!loaded_) {
      error_ = parser.problem ? parser.problem : "not YAML";
      error_ += " at line " + std::to_string(parser.problem_mark.line + 1);
    }
    yaml_parser_delete(&parser);
  }
  ~YamlDocument() {
    if (loaded_)
      yaml_document_delete(&document_);
  }
  YamlDocument(const YamlDocument&) = delete;
  YamlDocument& operator=(const YamlDocument&) = delete;

  bool loaded() const { return loaded_; }
  const std::string& error() const { return error_; }
  yaml_node_t* Root() { return yaml_document_get_root_node(&document_); }
  yaml_node_t* Node(int index) { return yaml_document_get_node(&document_, index); }
  // A scalar's text; none for another kind of node.
  std::optional<std::string> Scalar(yaml_node_t* node) {
    if (!node || node->type != YAML_SCALAR_NODE)
      return std::nullopt;
    return std::string(reinterpret_cast<const char*>(node->data.scalar.value),
                       node->data.scalar.length);
  }
  // Calls f(key, value node) for each pair of a mapping; false if the node is no mapping or a
  // key is no scalar, or when f returns false.
  template <typename F>
  bool ForEachPair(yaml_node_t* mapping, F f) {
    if (!mapping || mapping->type != YAML_MAPPING_NODE)
      return false;
    for (yaml_node_pair_t* p = mapping->data.mapping.pairs.start;
         p < mapping->data.mapping.pairs.top; ++p) {
      const std::optional<std::string> key = Scalar(Node(p->key));
      if (!key || !f(*key, Node(p->value)))
        return false;
    }
    return true;
  }

 private:
  yaml_document_t document_{};
  bool loaded_ = false;
  std::string error_;
};

bool IsBcryptHash(const std::string& hash) {
  return hash.size() == 60 &&
         (hash.starts_with("$2a$") || hash.starts_with("$2b$") || hash.starts_with("$2y$"));
}

bool IsNull(yaml_node_t* node) {
  if (!node)
    return true;
  if (node->type != YAML_SCALAR_NODE)
    return false;
  const std::string_view v(reinterpret_cast<const char*>(node->data.scalar.value),
                           node->data.scalar.length);
  return v.empty() || v == "~" || v == "null";
}

// Equal in time that does not depend on where they differ.
bool SameText(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

WebConfigResult ParseWebConfig(std::string_view yaml, const std::string& folder) {
  YamlDocument doc(yaml);
  if (!doc.loaded())
    return {std::nullopt, doc.error()};
  WebConfig config;
  yaml_node_t* root = doc.Root();
  if (IsNull(root))
    return {config, {}};  // an empty file: nothing asked for
  std::string error;
  auto path = [&folder](const std::string& p) {
    return p.empty() || p.front() == '/' ? p : (std::filesystem::path(folder) / p).string();
  };
  const bool ok = doc.ForEachPair(root, [&](const std::string& key, yaml_node_t* value) {
    if (key == "basic_auth_users") {
      if (IsNull(value))
        return true;
      const bool good = doc.ForEachPair(value, [&](const std::string& user, yaml_node_t* hashNode) {
        const std::optional<std::string> hash = doc.Scalar(hashNode);
        if (!hash || !IsBcryptHash(*hash)) {
          error = "the password of user '" + user + "' is not a bcrypt hash ($2y$...)";
          return false;
        }
        config.users[user] = *hash;
        return true;
      });
      if (!good && error.empty())
        error = "basic_auth_users must map user names to hashes";
      return good;
    }
    if (key == "tls_server_config") {
      if (IsNull(value))
        return true;
      const bool good = doc.ForEachPair(value, [&](const std::string& tlsKey, yaml_node_t* v) {
        const std::optional<std::string> text = doc.Scalar(v);
        if (tlsKey == "cert_file" && text) {
          config.certFile = path(*text);
        } else if (tlsKey == "key_file" && text) {
          config.keyFile = path(*text);
        } else {
          error = "tls_server_config: '" + tlsKey + "' is not supported (only cert_file and " +
                  "key_file)";
          return false;
        }
        return true;
      });
      if (!good && error.empty())
        error = "tls_server_config must be a mapping";
      return good;
    }
    error = "'" + key + "' is not supported (only basic_auth_users and tls_server_config)";
    return false;
  });
  if (!ok)
    return {std::nullopt, error.empty() ? "the top level must be a mapping" : error};
  if (config.certFile.empty() != config.keyFile.empty())
    return {std::nullopt, "tls_server_config needs both cert_file and key_file"};
  return {config, {}};
}

WebConfigResult LoadWebConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return {std::nullopt, "cannot read " + path};
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  WebConfigResult result = ParseWebConfig(text, std::filesystem::path(path).parent_path().string());
  if (!result.config)
    result.error = path + ": " + result.error;
  return result;
}

PasswordCheck::PasswordCheck(std::map<std::string, std::string> users) : users_(std::move(users)) {}

bool PasswordCheck::Check(const std::string& user, const std::string& password) const {
  const auto found = users_.find(user);
  {
    std::lock_guard lock(mutex_);
    if (const auto v = verified_.find(user); v != verified_.end() && SameText(v->second, password))
      return true;
  }
  if (users_.empty())
    return false;
  // An unknown user costs a bcrypt too, so the time does not tell which users exist.
  const std::string& hash = found != users_.end() ? found->second : users_.begin()->second;
  auto data = std::make_unique<crypt_data>();
  const char* result = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
  const bool match = found != users_.end() && result && SameText(result, hash);
  if (match) {
    std::lock_guard lock(mutex_);
    verified_[user] = password;
  }
  return match;
}

}  // namespace vireo::serve
