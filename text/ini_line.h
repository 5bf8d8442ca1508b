// IniLine: the parse of one line of an INI text: a section header or a key line split into
// key and value, each with an optional "[index]".
#pragma once

#include <cstdint>
#include <string>

namespace vireo {

class IniLine {
 public:
  // Kind flags.
  static constexpr uint8_t kSection = 0x80;
  static constexpr uint8_t kKey = 0x01;
  static constexpr uint8_t kKeyIndex = 0x02;
  static constexpr uint8_t kValue = 0x04;
  static constexpr uint8_t kValueIndex = 0x08;

  IniLine() = default;
  virtual ~IniLine() = default;

  // Parses text into the members and returns the kind; 0 means the line carries nothing
  // (blank, comment only, or "[]"). A ";" starts a comment wherever it stands.
  uint8_t Parse(const std::u16string& text);

  uint8_t Kind() const { return kind_; }
  bool IsSection() const { return (kind_ & kSection) != 0; }
  bool HasKey() const { return (kind_ & kKey) != 0; }

  const std::u16string& LineText() const { return line_; }
  const std::u16string& Section() const { return section_; }
  const std::u16string& Key() const { return key_; }
  const std::u16string& KeyIndex() const { return keyIndex_; }
  const std::u16string& Value() const { return value_; }
  const std::u16string& ValueIndex() const { return valueIndex_; }

  // The key as a decimal number. Only the first character must be a digit; every character
  // adds (c - '0') with 32-bit wrap-around, so "5 " gives 34 and "1x" gives 82.
  bool KeyAsNumber(uint32_t& n) const;

 private:
  // Splits one side of "=" into its text and "[index]"; returns the kind bits it sets.
  static uint8_t SplitIndexed(const std::u16string& part, uint8_t textBit, uint8_t indexBit,
                              std::u16string& text, std::u16string& index);

  std::u16string line_;
  std::u16string section_;
  std::u16string key_;
  std::u16string keyIndex_;
  std::u16string value_;
  std::u16string valueIndex_;
  uint8_t kind_ = 0;
};

}  // namespace vireo
