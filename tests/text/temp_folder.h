// Test helpers: UTF-16LE file writing, and the temporary folder of every test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/temp_folder.h"

namespace vireo::test {

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// The text as UTF-16 little-endian bytes, written out unit by unit.
inline std::string Utf16Le(const std::u16string& text) {
  std::string bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

inline void WriteUtf16(const std::string& path, const std::u16string& text) {
  WriteBytes(path, Utf16Le(text));
}

}  // namespace vireo::test
