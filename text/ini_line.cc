#include "text/ini_line.h"

namespace vireo {
namespace {

bool IsWhiteSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

std::u16string Trimmed(const std::u16string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsWhiteSpace(text[begin])) {
    ++begin;
  }
  while (end > begin && IsWhiteSpace(text[end - 1])) {
    --end;
  }
  return text.substr(begin, end - begin);
}

}  // namespace

uint8_t IniLine::Parse(const std::u16string& text) {
  section_.clear();
  key_.clear();
  keyIndex_.clear();
  value_.clear();
  valueIndex_.clear();
  kind_ = 0;
  line_ = Trimmed(text.substr(0, text.find(u';')));
  if (line_.empty()) {
    return kind_;
  }
  if (line_.front() == u'[' && line_.back() == u']') {
    if (line_.size() > 2) {
      section_ = line_.substr(1, line_.size() - 2);
      kind_ = kSection;
    }
    return kind_;
  }
  const std::size_t equals = line_.find(u'=');
  const std::u16string keyPart = line_.substr(0, equals);
  const std::u16string valuePart =
      equals == std::u16string::npos ? std::u16string() : line_.substr(equals + 1);
  kind_ |= SplitIndexed(keyPart, kKey, kKeyIndex, key_, keyIndex_);
  kind_ |= SplitIndexed(valuePart, kValue, kValueIndex, value_, valueIndex_);
  return kind_;
}

uint8_t IniLine::SplitIndexed(const std::u16string& part, uint8_t textBit, uint8_t indexBit,
                              std::u16string& text, std::u16string& index) {
  if (part.empty()) {
    return 0;
  }
  const std::size_t open = part.find(u'[');
  if (open == std::u16string::npos || part.find(u']') == std::u16string::npos) {
    text = part;
    return textBit;
  }
  // The index is everything after the first "[" without its last character, which is the "]"
  // when the part ends with one.
  index = part.substr(open + 1);
  if (!index.empty()) {
    index.pop_back();
  }
  if (open == 0) {
    return indexBit;
  }
  text = part.substr(0, open);
  return indexBit | textBit;
}

bool IniLine::KeyAsNumber(uint32_t& n) const {
  if (!HasKey() || key_.empty() || key_[0] < u'0' || key_[0] > u'9') {
    return false;
  }
  n = 0;
  for (const char16_t c : key_) {
    n = n * 10u + (static_cast<uint32_t>(c) - static_cast<uint32_t>(u'0'));
  }
  return true;
}

}  // namespace vireo
