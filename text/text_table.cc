#include "text/text_table.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "base/data_dir.h"
#include "text/extra_texts.h"
#include "text/ini_reader.h"
#include "text/utf16.h"

namespace vireo {
namespace {

// Only this many key lines of the section are looked at, whatever they hold.
constexpr int kKeyLinesRead = 75;

constexpr const char* kEnglishFile = "/lang/en/lang.ini";

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

}  // namespace

TextTable::TextTable() {
  texts.fill(kDefaultText);
}

bool TextTable::LoadTexts(const std::string& path) {
  return LoadTexts(path, {});
}

bool TextTable::LoadTexts(const std::string& path, const FileErrorCallback& onError) {
  IniReader reader;
  reader.SetErrorCallback(onError);
  if (!reader.Open(path) || !reader.FindSection(u"ftext")) {
    return false;
  }
  for (int i = 0; i < kKeyLinesRead; ++i) {
    if (!reader.NextKey()) {
      return false;
    }
    uint32_t slot = 0;
    if (reader.Line().KeyAsNumber(slot) && slot < kSlotCount) {
      texts[slot] = Utf16ToUtf8(reader.Line().Value());
    }
  }
  return true;
}

const std::string& TextTable::Extra(std::string_view key) const {
  if (const auto it = extras.find(key); it != extras.end())
    return it->second;
  // The defaults, made once; a key nobody defined reads as itself.
  static const std::map<std::string, std::string, std::less<>> defaults = [] {
    std::map<std::string, std::string, std::less<>> map;
    for (const ExtraText& text : kExtraTexts)
      map.emplace(text.key, text.english);
    return map;
  }();
  if (const auto it = defaults.find(key); it != defaults.end())
    return it->second;
  static thread_local std::string unknown;
  unknown = key;
  return unknown;
}

std::string ProgramTextsPath(const std::string& programFolder) {
  const std::string local = programFolder + "lang.ini";
  if (FileExists(local)) {
    return local;
  }
  if (const char* dataDir = std::getenv("VIREOMETER_DATA_DIR");
      dataDir != nullptr && *dataDir != '\0') {
    return dataDir + std::string(kEnglishFile);
  }
  const std::string installed = InstalledDataDir(VIREO_INSTALL_DATA_DIR) + kEnglishFile;
  if (FileExists(installed)) {
    return installed;
  }
  return VIREO_BUILD_DATA_DIR + std::string(kEnglishFile);
}

bool LoadProgramTexts(TextTable& table, const std::string& programFolder) {
  return LoadProgramTexts(table, programFolder, {});
}

bool LoadProgramTexts(TextTable& table, const std::string& programFolder,
                      const FileErrorCallback& onError) {
  return table.LoadTexts(ProgramTextsPath(programFolder), onError);
}

}  // namespace vireo
