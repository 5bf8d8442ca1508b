#include "app/http_client.h"

#include <cctype>

namespace vireo {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
      return false;
  }
  return true;
}

}  // namespace

bool IsWebUrl(std::string_view url) {
  std::string_view rest;
  if (StartsWithNoCase(url, "http://"))
    rest = url.substr(7);
  else if (StartsWithNoCase(url, "https://"))
    rest = url.substr(8);
  else
    return false;
  // A host must follow; no spaces or control characters anywhere.
  for (unsigned char c : url) {
    if (c <= ' ' || c == 0x7F)
      return false;
  }
  return !rest.empty() && rest.front() != '/' && rest.front() != '?' && rest.front() != '#';
}

}  // namespace vireo
