// IniReader: finds a section of a UTF-16LE INI file by its exact name and hands out the key
// lines of that section one at a time.
#pragma once

#include <string>

#include "text/ini_line.h"
#include "text/memory_line_file.h"

namespace vireo {

// Use: Open, FindSection, then NextKey until it returns false, reading Line after each true
// result. The file is released by Close or by destruction.
class IniReader {
 public:
  IniReader() = default;
  virtual ~IniReader() = default;

  virtual bool Open(const std::string& path) { return file_.Load(path); }
  // Open over bytes from elsewhere than a file.
  bool OpenFrom(ByteSource& source) { return file_.LoadFrom(source); }
  void Close() { file_.Free(); }
  void SetErrorCallback(FileErrorCallback onError) { file_.SetErrorCallback(std::move(onError)); }

  // Puts the cursor on the header "[name]"; case-sensitive, whole name.
  bool FindSection(const std::u16string& name);
  // Advances to the next key line of the current section. At the next header it steps back
  // and returns false, so later calls return false too.
  bool NextKey();

  const IniLine& Line() const { return line_; }
  const std::u16string& CurrentSection() const { return section_; }
  // The opened file's bytes and cursor.
  const MemoryLineFile& File() const { return file_; }

 private:
  std::u16string section_;
  MemoryLineFile file_;
  IniLine line_;
};

}  // namespace vireo
