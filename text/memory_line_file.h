// MemoryLineFile: walks a loaded UTF-16LE text file line by line with a byte cursor.
#pragma once

#include <cstdint>
#include <string>

#include "text/memory_file.h"

namespace vireo {

// The text is a sequence of 2-byte little-endian units. A line ends at CR LF, at a CR alone or
// at an LF alone, so files from any system read alike and every line is visited once. An odd
// last byte is not a unit and is ignored. A byte-order mark (U+FEFF) at the very start is
// skipped by GetLine, so a file written with one reads like one without.
class MemoryLineFile : public MemoryFile {
 public:
  MemoryLineFile() = default;
  ~MemoryLineFile() override = default;

  // Copies up to n bytes from offset; the number copied, 0 when offset is past the end.
  uint32_t ReadBytes(uint32_t offset, uint8_t* destination, uint32_t n) const;

  void ResetCursor() { cursor_ = 0; }
  // Moves the cursor just past the next line end; false (cursor unchanged) when there is none.
  bool NextLine();
  // Moves the cursor to the start of the previous line. Reaching the start of the file ends
  // the search with the cursor at 0 and the result false, even though the cursor moved.
  bool PrevLine();
  // The units from the cursor up to the line end or the end of the file; NUL units are dropped.
  std::u16string GetLine() const;

  uint32_t cursor() const { return cursor_; }

 private:
  bool HasUnitAt(uint32_t offset) const;
  // The unit at a byte offset; 0 when no whole unit is there.
  char16_t UnitAt(uint32_t offset) const;

  uint32_t cursor_ = 0;
};

}  // namespace vireo
