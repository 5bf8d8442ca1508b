#include "text/memory_line_file.h"

#include <algorithm>
#include <cstring>

namespace vireo {
namespace {

constexpr char16_t kCr = 0x000D;
constexpr char16_t kLf = 0x000A;
constexpr char16_t kByteOrderMark = 0xFEFF;

}  // namespace

uint32_t MemoryLineFile::ReadBytes(uint32_t offset, uint8_t* destination, uint32_t n) const {
  if (offset >= length()) {
    return 0;
  }
  const uint32_t count = std::min(n, length() - offset);
  std::memcpy(destination, buffer() + offset, count);
  return count;
}

bool MemoryLineFile::NextLine() {
  for (uint32_t offset = cursor_; HasUnitAt(offset); offset += 2) {
    const char16_t unit = UnitAt(offset);
    if (unit == kLf || unit == kCr) {
      // CR LF is one line end; a CR or an LF alone is one too.
      offset += 2;
      if (unit == kCr && UnitAt(offset) == kLf) {
        offset += 2;
      }
      cursor_ = offset;
      return true;
    }
  }
  return false;
}

bool MemoryLineFile::PrevLine() {
  if (cursor_ == 0) {
    return false;
  }
  // The first line end behind the cursor ends the previous line, the second one starts it.
  // Reaching the start of the file ends the search whatever is there.
  int lineEnds = 0;
  uint32_t offset = cursor_;
  while (true) {
    offset -= 2;
    if (offset == 0) {
      cursor_ = 0;
      return false;
    }
    const char16_t unit = UnitAt(offset);
    if (unit != kLf && unit != kCr) {
      continue;
    }
    if (++lineEnds == 2) {
      cursor_ = offset + 2;
      return true;
    }
    if (unit == kLf && UnitAt(offset - 2) == kCr) {
      offset -= 2;  // the CR of this CR LF belongs to the same line end
      if (offset == 0) {
        cursor_ = 0;
        return false;
      }
    }
  }
}

std::u16string MemoryLineFile::GetLine() const {
  std::u16string line;
  uint32_t offset = cursor_;
  if (offset == 0 && UnitAt(0) == kByteOrderMark) {
    offset = 2;
  }
  for (; HasUnitAt(offset); offset += 2) {
    const char16_t unit = UnitAt(offset);
    if (unit == kCr || unit == kLf) {
      break;
    }
    if (unit != 0) {
      line.push_back(unit);
    }
  }
  return line;
}

bool MemoryLineFile::HasUnitAt(uint32_t offset) const {
  return length() >= 2 && offset <= length() - 2;
}

char16_t MemoryLineFile::UnitAt(uint32_t offset) const {
  if (!HasUnitAt(offset)) {
    return 0;
  }
  const uint8_t* unit = buffer() + offset;
  return static_cast<char16_t>(unit[0] | (unit[1] << 8));
}

}  // namespace vireo
