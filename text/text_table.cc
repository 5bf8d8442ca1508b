#include "text/text_table.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include "base/data_dir.h"
#include "text/extra_texts.h"
#include "text/ini_reader.h"
#include "text/utf16.h"

namespace vireo {
namespace {

// Only this many key lines of the section are looked at, whatever they hold.
constexpr int kKeyLinesRead = 75;

constexpr const char* kEnglishFile = "/lang/en/lang.ini";

// The folder holding lang/: $VIREOMETER_DATA_DIR when set, else the install folder when its
// English file is there, else the source tree.
std::string LanguageDataDir() {
  if (const char* dataDir = std::getenv("VIREOMETER_DATA_DIR");
      dataDir != nullptr && *dataDir != '\0') {
    std::string folder = dataDir;
    while (folder.size() > 1 && folder.back() == '/') {
      folder.pop_back();
    }
    return folder;
  }
  std::string installed = InstalledDataDir(VIREO_INSTALL_DATA_DIR);
  if (struct stat info{}; ::stat((installed + kEnglishFile).c_str(), &info) == 0) {
    return installed;
  }
  return VIREO_BUILD_DATA_DIR;
}

// A language name as a folder of lang/ may be called: letters, digits and "_", so that no
// locale value reaches outside that folder.
bool IsLanguageName(std::string_view name) {
  return !name.empty() && name.size() <= 32 && std::ranges::all_of(name, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// The language of the messages locale as POSIX orders the variables: LC_ALL, else
// LC_MESSAGES, else LANG, the first that is set and not empty. "zh_CN.UTF-8@latin" gives
// "zh_CN"; "C" and "POSIX" give nothing, as does a value that is no language name.
std::string LocaleLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
      continue;
    }
    std::string_view language(value);
    language = language.substr(0, language.find_first_of(".@"));
    if (language == "C" || language == "POSIX" || !IsLanguageName(language)) {
      return {};
    }
    return std::string(language);
  }
  return {};
}

// The installed language file for the locale: lang/ll_CC, else lang/ll; empty when the locale
// names no language or neither folder has a lang.ini.
std::string LocaleTextsPath(const std::string& dataDir) {
  const std::string language = LocaleLanguage();
  if (language.empty()) {
    return {};
  }
  for (const std::string& name : {language, language.substr(0, language.find('_'))}) {
    std::string path = std::string(dataDir).append("/lang/").append(name).append("/lang.ini");
    if (struct stat info{}; ::lstat(path.c_str(), &info) == 0) {
      return path;
    }
  }
  return {};
}

// The files a user most likely saved instead of UTF-16LE: "[ftext]" as UTF-8 (or Latin-1)
// bytes, as UTF-16BE, or a byte-order mark of either.
bool LooksLikeAnotherEncoding(const MemoryLineFile& file) {
  const std::string_view bytes(reinterpret_cast<const char*>(file.buffer()), file.length());
  using namespace std::string_view_literals;
  return bytes.starts_with("\xEF\xBB\xBF"sv) || bytes.starts_with("\xFE\xFF"sv) ||
         bytes.find("[ftext]"sv) != std::string_view::npos ||
         bytes.find("\0[\0f\0t\0e\0x\0t\0]"sv) != std::string_view::npos;
}

std::string ReasonText(const TextTable& table, const TextsLoad& load) {
  switch (load.fault) {
    case LanguageFault::kNone:
      break;
    case LanguageFault::kNotRegular:
      return table.Extra("lang_reason_not_file");
    case LanguageFault::kMissing:
    case LanguageFault::kUnreadable:
      return FillIn(table.Extra("lang_reason_unreadable"),
                    {std::error_code(load.error, std::generic_category()).message()});
    case LanguageFault::kEmpty:
      return table.Extra("lang_reason_empty");
    case LanguageFault::kEncoding:
      return table.Extra("lang_reason_encoding");
    case LanguageFault::kNoSection:
      return table.Extra("lang_reason_no_section");
  }
  return {};
}

}  // namespace

TextTable::TextTable() {
  texts.fill(kDefaultText);
}

bool TextTable::LoadTexts(const std::string& path) {
  return LoadFile(path).complete;
}

bool TextTable::LoadTexts(const std::string& path, const FileErrorCallback& onError) {
  return LoadFile(path, onError).complete;
}

TextsLoad TextTable::LoadFile(const std::string& path, const FileErrorCallback& onError) {
  TextsLoad load;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    load.error = errno;
    // A dangling link is there but unreadable; only a name with nothing behind it is missing.
    struct stat link {};
    load.fault = load.error == ENOENT && ::lstat(path.c_str(), &link) != 0
                     ? LanguageFault::kMissing
                     : LanguageFault::kUnreadable;
    return load;
  }
  if (!S_ISREG(info.st_mode)) {
    load.fault = LanguageFault::kNotRegular;
    return load;
  }
  IniReader reader;
  reader.SetErrorCallback(onError);
  if (!reader.Open(path)) {
    load.error = reader.File().lastError();
    load.fault = load.error == EINVAL ? LanguageFault::kNotRegular : LanguageFault::kUnreadable;
    return load;
  }
  return FillFrom(reader);
}

TextsLoad TextTable::LoadFrom(ByteSource& source, const FileErrorCallback& onError) {
  IniReader reader;
  reader.SetErrorCallback(onError);
  if (!reader.OpenFrom(source)) {
    return {.fault = LanguageFault::kUnreadable, .error = reader.File().lastError()};
  }
  return FillFrom(reader);
}

TextsLoad TextTable::FillFrom(IniReader& reader) {
  TextsLoad load;
  if (reader.File().length() == 0) {
    load.fault = LanguageFault::kEmpty;
    return load;
  }
  if (!reader.FindSection(u"ftext")) {
    load.fault = LooksLikeAnotherEncoding(reader.File()) ? LanguageFault::kEncoding
                                                         : LanguageFault::kNoSection;
    return load;
  }
  load.complete = true;
  for (int i = 0; i < kKeyLinesRead; ++i) {
    if (!reader.NextKey()) {
      load.complete = false;
      break;
    }
    uint32_t slot = 0;
    if (reader.Line().KeyAsNumber(slot) && slot < kSlotCount) {
      texts[slot] = Utf16ToUtf8(reader.Line().Value());
    }
  }
  // Every key line of [extra] counts; a key given twice takes the later text, as a slot does.
  if (reader.FindSection(u"extra")) {
    while (reader.NextKey()) {
      if (reader.Line().HasKey()) {
        extras.insert_or_assign(Utf16ToUtf8(reader.Line().Key()),
                                Utf16ToUtf8(reader.Line().Value()));
      }
    }
  }
  return load;
}

const std::string& TextTable::Extra(ExtraKey key) const {
  if (const auto it = extras.find(key.name()); it != extras.end()) {
    return it->second;
  }
  static const std::array<std::string, std::size(kExtraTexts)> defaults = [] {
    std::array<std::string, std::size(kExtraTexts)> english;
    for (std::size_t i = 0; i < english.size(); ++i) {
      english[i] = kExtraTexts[i].english;
    }
    return english;
  }();
  return defaults[key.index()];
}

std::string EnglishTextsPath() {
  return LanguageDataDir() + kEnglishFile;
}

ProgramTextsLoad LoadProgramTexts(TextTable& table, const std::string& programFolder,
                                  const FileErrorCallback& onError) {
  ProgramTextsLoad result;
  result.path = programFolder + "lang.ini";
  const TextsLoad local = table.LoadFile(result.path, onError);
  if (local.fault == LanguageFault::kNone) {
    result.complete = local.complete;
    return result;
  }
  const std::string localPath = std::move(result.path);
  const std::string dataDir = LanguageDataDir();
  // Without a lang.ini here, the installed language of the user's locale.
  const std::string localePath =
      local.fault == LanguageFault::kMissing ? LocaleTextsPath(dataDir) : std::string();
  TextsLoad locale{.fault = LanguageFault::kMissing};
  if (!localePath.empty() && localePath != dataDir + kEnglishFile) {
    locale = table.LoadFile(localePath, onError);
    if (locale.fault == LanguageFault::kNone) {
      result.path = localePath;
      result.complete = locale.complete;
      return result;
    }
  }
  result.path = dataDir + kEnglishFile;
  const TextsLoad english = table.LoadFile(result.path, onError);
  result.complete = english.complete;
  // The words come from the table as it now stands: the English file's, else the defaults.
  if (local.fault != LanguageFault::kMissing) {
    result.warnings.push_back(
        FillIn(table.Extra("lang_unusable"), {localPath, ReasonText(table, local)}));
  }
  if (locale.fault != LanguageFault::kMissing) {
    result.warnings.push_back(
        FillIn(table.Extra("lang_unusable"), {localePath, ReasonText(table, locale)}));
  }
  if (english.fault != LanguageFault::kNone) {
    result.warnings.push_back(
        FillIn(table.Extra("lang_english_unusable"), {result.path, ReasonText(table, english)}));
  }
  return result;
}

std::string FillIn(std::string_view text, std::initializer_list<std::string_view> values) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      const auto n = static_cast<std::size_t>(text[i + 1] - '1');
      if (n < values.size()) {
        out += values.begin()[n];
        ++i;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

}  // namespace vireo
