// Fuzz target: arbitrary bytes as a language file, through the INI reader and the text table.
// Besides the sanitizers' findings it stops on a broken promise: a cursor off a unit boundary
// or past the end, a line holding a line end, a key line handed out after the section ended,
// a text that is not valid UTF-8, or an unusable file that changed the table.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "text/extra_texts.h"
#include "text/ini_reader.h"
#include "text/memory_file.h"
#include "text/memory_line_file.h"
#include "text/text_table.h"

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "language_file_fuzz: %s\n", what);
    std::abort();
  }
}

bool IsUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : 4;
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || i + length > text.size()) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        return false;
      }
    }
    i += length;
  }
  return true;
}

void CheckLine(const vireo::MemoryLineFile& file) {
  Require(file.cursor() % 2 == 0 && file.cursor() <= file.length(), "cursor off the units");
  const std::u16string line = file.GetLine();
  Require(line.find(u'\r') == std::u16string::npos && line.find(u'\n') == std::u16string::npos,
          "line holds a line end");
}

// Finds both sections of a language file and reads their key lines.
void WalkReader(const uint8_t* data, std::size_t size) {
  vireo::MemorySource source(data, size);
  vireo::IniReader reader;
  if (!reader.OpenFrom(source)) {
    return;
  }
  for (const std::u16string& name : {std::u16string(u"ftext"), std::u16string(u"extra")}) {
    if (!reader.FindSection(name)) {
      continue;
    }
    Require(reader.Line().Section() == name, "found section has another name");
    while (reader.NextKey()) {
      Require(reader.Line().Kind() != 0 && !reader.Line().IsSection(), "bad key line");
      CheckLine(reader.File());
    }
    Require(!reader.NextKey(), "key line after the end of the section");
  }
}

// Every line, forward then back: each step moves the cursor the right way.
void WalkLines(const uint8_t* data, std::size_t size) {
  vireo::MemorySource source(data, size);
  vireo::MemoryLineFile file;
  if (!file.LoadFrom(source)) {
    return;
  }
  uint32_t last = 0;
  CheckLine(file);
  while (file.NextLine()) {
    Require(file.cursor() > last, "NextLine did not move on");
    last = file.cursor();
    CheckLine(file);
  }
  while (file.PrevLine()) {
    Require(file.cursor() < last, "PrevLine did not move back");
    last = file.cursor();
    CheckLine(file);
  }
  Require(file.cursor() == 0, "the walk back did not end at the start");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WalkReader(data, size);
  WalkLines(data, size);

  vireo::MemorySource source(data, size);
  vireo::TextTable table;
  const vireo::TextsLoad load = table.LoadFrom(source);
  for (const std::string& text : table.texts) {
    Require(IsUtf8(text), "slot text is not UTF-8");
  }
  for (const auto& [key, text] : table.extras) {
    Require(IsUtf8(key) && IsUtf8(text), "extra text is not UTF-8");
  }
  for (const vireo::ExtraText& extra : vireo::kExtraTexts) {
    Require(IsUtf8(table.Extra(*vireo::ExtraKey::Find(extra.key))), "Extra is not UTF-8");
  }
  if (load.fault != vireo::LanguageFault::kNone) {
    // An unusable file leaves the table as it was made.
    Require(table.extras.empty(), "unusable file set extra texts");
    for (const std::string& text : table.texts) {
      Require(text == vireo::TextTable::kDefaultText, "unusable file set a slot");
    }
  }
  return 0;
}
