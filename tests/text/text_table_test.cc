#include "text/text_table.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/text/temp_folder.h"

namespace vireo {
namespace {

constexpr const char* kDefault = "ftext.ini error";

struct TableCase {
  const char* name;
  std::u16string file;
  bool result;
  std::map<int, std::string> changed;  // every other slot keeps the default
};

class TextTableLoad : public testing::TestWithParam<TableCase> {};

TEST_P(TextTableLoad, SetsExactlyTheNamedSlots) {
  test::TempFolder folder;
  test::WriteUtf16(folder / "lang.ini", GetParam().file);
  TextTable table;
  EXPECT_EQ(table.LoadTexts(folder / "lang.ini"), GetParam().result);
  for (int slot = 0; slot < TextTable::kSlotCount; ++slot) {
    const auto it = GetParam().changed.find(slot);
    EXPECT_EQ(table[slot], it == GetParam().changed.end() ? kDefault : it->second)
        << "slot " << slot;
  }
}

// "[ftext]", the lines `before`, then key lines "first=first" to "last=last", each followed by
// a comment line and a blank line, which do not count as key lines.
std::u16string SectionOf(int first, int last, const std::u16string& before = u"") {
  std::u16string text = u"[ftext]\r\n" + before;
  for (int key = first; key <= last; ++key) {
    const std::string ascii = std::to_string(key);
    const std::u16string number(ascii.begin(), ascii.end());
    text += number + u"=" + number + u"\r\n; comment\r\n\r\n";
  }
  return text;
}

std::map<int, std::string> SlotsNamed(int first, int last) {
  std::map<int, std::string> slots;
  for (int key = first; key <= last; ++key) {
    slots[key] = std::to_string(key);
  }
  return slots;
}

INSTANTIATE_TEST_SUITE_P(
    Files, TextTableLoad,
    testing::Values(
        TableCase{"AllSlots", SectionOf(0, 74), true, SlotsNamed(0, 74)},
        // 80 key lines, two of them out of range: slots named after line 75 keep the default.
        TableCase{"OnlyFirst75KeyLines", SectionOf(0, 77, u"75=x\r\n-1=y\r\n"), true,
                  SlotsNamed(0, 72)},
        TableCase{"ShortSection",
                  u"\r\n[other]\r\n1=no\r\n[ftext]\r\n1=one\r\n[next]\r\n2=no",
                  false,
                  {{1, "one"}}},
        TableCase{"CapitalisedSection", u"[FTEXT]\r\n1=one\r\n", false, {}},
        TableCase{"LineFeedsOnly",
                  u"[ftext]\n1=one\n\n2=two\n[extra]\n3=no\n",
                  false,
                  {{1, "one"}, {2, "two"}}},
        TableCase{"CarriageReturnsOnly", u"[ftext]\r1=one\r2=two", false, {{1, "one"}, {2, "two"}}},
        TableCase{"Syntax",
                  u"[ftext]\r\n013=thirteen\r\n5=early\r\n5=late\r\n7=Volt;age\r\n9=Max [V]\r\n"
                  u"10=[V]\r\n12\r\n5 =space\r\n3=  lead  \r\n",
                  false,
                  {{13, "thirteen"},
                   {5, "late"},
                   {7, "Volt"},
                   {9, "Max "},
                   {10, ""},
                   {12, ""},
                   {34, "space"},
                   {3, "  lead"}}},
        TableCase{"Utf8",
                  u"\uFEFF[ftext]\r\n1=电压\r\n2=\U0001F600\r\n3=a\xD800z\r\n",
                  false,
                  {{1, "电压"}, {2, "\xF0\x9F\x98\x80"}, {3, "a\xEF\xBF\xBDz"}}}),
    [](const testing::TestParamInfo<TableCase>& p) { return p.param.name; });

TEST(TextTableExtra, ReadsTheExtraSectionByNameBesideTheSlots) {
  test::TempFolder folder;
  test::WriteUtf16(folder / "lang.ini",
                   u"[extra]\r\nlang_reason_empty=leer\r\n[ftext]\r\n1=one\r\n[extra2]\r\n"
                   u"lang_reason_encoding=no\r\n");
  TextTable table;
  EXPECT_FALSE(table.LoadTexts(folder / "lang.ini"));
  EXPECT_EQ(table[1], "one");
  EXPECT_EQ(table.Extra("lang_reason_empty"), "leer");
  EXPECT_EQ(table.Extra("lang_reason_encoding"), "it is not UTF-16LE text");
}

TEST(TextTableExtra, KeepsTheReaderRulesAndTheLaterOfTwoLines) {
  test::TempFolder folder;
  test::WriteUtf16(folder / "lang.ini",
                   u"[ftext]\r\n1=one\r\n[extra]\r\n"
                   u"lang_reason_empty=first\r\nlang_reason_empty=  later ; comment\r\n"
                   u"lang_reason_not_file=cut [here]\r\nlang_reason_encoding\r\n"
                   u"lang_reason_no_section =spaced\r\nsome_future_key=kept\r\n");
  TextTable table;
  table.LoadTexts(folder / "lang.ini");
  EXPECT_EQ(table.Extra("lang_reason_empty"), "  later");
  EXPECT_EQ(table.Extra("lang_reason_not_file"), "cut ");
  EXPECT_EQ(table.Extra("lang_reason_encoding"), "");
  // A space before "=" belongs to the key, which then names no text.
  EXPECT_EQ(table.Extra("lang_reason_no_section"), "it has no section named ftext");
  EXPECT_EQ(table.extras.at("lang_reason_no_section "), "spaced");
  EXPECT_EQ(table.extras.at("some_future_key"), "kept");
}

TEST(TextTableExtra, FileWithoutFtextSectionChangesNothing) {
  test::TempFolder folder;
  test::WriteUtf16(folder / "lang.ini", u"[extra]\r\nlang_reason_empty=leer\r\n");
  TextTable table;
  EXPECT_EQ(table.LoadFile(folder / "lang.ini").fault, LanguageFault::kNoSection);
  EXPECT_TRUE(table.extras.empty());
  EXPECT_EQ(table.Extra("lang_reason_empty"), "it is empty");
}

TEST(FillIn, ReplacesNumberedPlaceholdersOnce) {
  EXPECT_EQ(FillIn("%2 before %1, %1 again", {"a", "b"}), "b before a, a again");
  EXPECT_EQ(FillIn("%3 and 100% and %", {"%1", "x"}), "%3 and 100% and %");
  EXPECT_EQ(FillIn("[%1]", {"%2"}), "[%2]");
}

// The English file the tests install in a private data folder.
constexpr char16_t kEnglish[] =
    u"[ftext]\r\n1=english\r\n[extra]\r\nlang_unusable=Not used: %1 (%2)\r\n"
    u"lang_reason_not_file=no file\r\nlang_reason_unreadable=unreadable %1\r\n"
    u"lang_reason_empty=empty\r\nlang_reason_encoding=encoding\r\n"
    u"lang_reason_no_section=no section\r\n";

constexpr const char* kLocaleVariables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};

// Runs each test in a private data folder and with no locale set; puts the locale back after.
class LoadProgramTextsTest : public testing::Test {
 protected:
  LoadProgramTextsTest() {
    ::setenv("VIREOMETER_DATA_DIR", data.Path().c_str(), 1);
    for (const char* name : kLocaleVariables) {
      if (const char* value = std::getenv(name)) {
        saved[name] = value;
      }
      ::unsetenv(name);
    }
  }
  ~LoadProgramTextsTest() override {
    ::unsetenv("VIREOMETER_DATA_DIR");
    for (const char* name : kLocaleVariables) {
      ::unsetenv(name);
    }
    for (const auto& [name, value] : saved) {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  test::TempFolder program, data;
  TextTable table;
  std::map<std::string, std::string> saved;
};

TEST_F(LoadProgramTextsTest, WithoutALangIniTheLocalesLanguageIsUsed) {
  test::WriteUtf16(data / "lang/en/lang.ini", kEnglish);
  test::WriteUtf16(data / "lang/zh_CN/lang.ini", u"[ftext]\r\n1=chinese\r\n");
  test::WriteUtf16(data / "lang/de/lang.ini", u"[ftext]\r\n1=german\r\n");
  struct Case {
    const char* all;
    const char* messages;
    const char* lang;
    const char* file;
  };
  // The first variable set and not empty decides, as POSIX orders them.
  for (const Case& c : {
           Case{nullptr, nullptr, "zh_CN.UTF-8", "zh_CN"},
           Case{"C", nullptr, "zh_CN.UTF-8", "en"},
           Case{"", "zh_CN", "en_US.UTF-8", "zh_CN"},
           Case{nullptr, "POSIX", "zh_CN.UTF-8", "en"},
           Case{nullptr, nullptr, "de_AT.UTF-8@euro", "de"},
           Case{nullptr, nullptr, "fr_FR.UTF-8", "en"},
           Case{nullptr, nullptr, "../de", "en"},
           Case{nullptr, nullptr, nullptr, "en"},
       }) {
    const char* values[] = {c.all, c.messages, c.lang};
    for (int i = 0; i < 3; ++i) {
      values[i] ? ::setenv(kLocaleVariables[i], values[i], 1) : ::unsetenv(kLocaleVariables[i]);
    }
    TextTable texts;
    const ProgramTextsLoad load = LoadProgramTexts(texts, program.Path());
    EXPECT_EQ(load.path, data / ("lang/" + std::string(c.file) + "/lang.ini"))
        << (c.all ? c.all : "-") << " " << (c.messages ? c.messages : "-") << " "
        << (c.lang ? c.lang : "-");
    EXPECT_TRUE(load.warnings.empty());
  }

  // A lang.ini in the working folder still wins.
  ::setenv("LANG", "zh_CN.UTF-8", 1);
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  test::WriteUtf16(program / "lang.ini", u"[ftext]\r\n1=local\r\n");
  EXPECT_EQ(LoadProgramTexts(table, program.Path()).path, program / "lang.ini");
  EXPECT_EQ(table[1], "local");
}

TEST_F(LoadProgramTextsTest, AnUnusableLocaleFileIsNamedAndEnglishIsShown) {
  test::WriteUtf16(data / "lang/en/lang.ini", kEnglish);
  test::WriteBytes(data / "lang/zh_CN/lang.ini", "");
  ::setenv("LANG", "zh_CN.UTF-8", 1);
  const ProgramTextsLoad load = LoadProgramTexts(table, program.Path());
  EXPECT_EQ(load.path, data / "lang/en/lang.ini");
  EXPECT_EQ(table[1], "english");
  EXPECT_EQ(load.warnings,
            std::vector<std::string>{"Not used: " + (data / "lang/zh_CN/lang.ini") + " (empty)"});
}

TEST_F(LoadProgramTextsTest, PrefersTheProgramFolderThenFallsBackToTheEnglishFile) {
  test::WriteUtf16(data / "lang/en/lang.ini", kEnglish);
  ProgramTextsLoad load = LoadProgramTexts(table, program.Path());
  EXPECT_EQ(load.path, data / "lang/en/lang.ini");
  EXPECT_EQ(table[1], "english");
  EXPECT_TRUE(load.warnings.empty());

  // A file with an [ftext] section is used, however little it holds.
  test::WriteUtf16(program / "lang.ini", u"[ftext]\r\n2=local\r\n");
  load = LoadProgramTexts(table, program.Path());
  EXPECT_EQ(load.path, program / "lang.ini");
  EXPECT_FALSE(load.complete);
  EXPECT_EQ(table[2], "local");
  EXPECT_TRUE(load.warnings.empty());
}

TEST_F(LoadProgramTextsTest, MissingEnglishFileIsNamedInAWarning) {
  const ProgramTextsLoad load = LoadProgramTexts(table, program.Path());
  EXPECT_EQ(table[1], kDefault);
  ASSERT_EQ(load.warnings.size(), 1u);
  EXPECT_EQ(load.warnings[0], "The English language file " + (data / "lang/en/lang.ini") +
                                  " cannot be used: it cannot be read (" + std::strerror(ENOENT) +
                                  ").");
}

struct UnusableCase {
  const char* name;
  std::function<void(const std::string& path)> make;
  const char* reason;  // as the English file above words it
};

class UnusableLanguageFile : public LoadProgramTextsTest,
                             public testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusableLanguageFile, IsNamedInAWarningAndTheEnglishTextsAreShown) {
  test::WriteUtf16(data / "lang/en/lang.ini", kEnglish);
  GetParam().make(program / "lang.ini");
  const ProgramTextsLoad load = LoadProgramTexts(table, program.Path());
  EXPECT_EQ(load.path, data / "lang/en/lang.ini");
  EXPECT_EQ(table[1], "english");
  for (int slot = 2; slot < TextTable::kSlotCount; ++slot) {
    EXPECT_EQ(table[slot], kDefault) << "slot " << slot;
  }
  EXPECT_EQ(load.warnings, std::vector<std::string>{"Not used: " + (program / "lang.ini") + " (" +
                                                    GetParam().reason + ")"});
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnusableLanguageFile,
    testing::Values(
        UnusableCase{
            "Utf8",
            [](const std::string& path) { test::WriteBytes(path, "[ftext]\r\n1=utf8\r\n"); },
            "encoding"},
        UnusableCase{
            "Utf8WithBom",
            [](const std::string& path) { test::WriteBytes(path, "\xEF\xBB\xBF; texts\r\n"); },
            "encoding"},
        UnusableCase{"Utf16BigEndian",
                     [](const std::string& path) {
                       std::string bytes;
                       for (char c : std::string("[ftext]\r\n1=be\r\n")) {
                         bytes += '\0';
                         bytes += c;
                       }
                       test::WriteBytes(path, bytes);
                     },
                     "encoding"},
        UnusableCase{"Empty", [](const std::string& path) { test::WriteBytes(path, ""); }, "empty"},
        UnusableCase{"NoFtextSection",
                     [](const std::string& path) {
                       test::WriteUtf16(path, u"[Ftext]\r\n1=capital\r\n[extra]\r\n");
                     },
                     "no section"},
        UnusableCase{
            "Folder",
            [](const std::string& path) { std::filesystem::create_directories(path + "/sub"); },
            "no file"},
        UnusableCase{"Fifo",
                     [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
                     "no file"},
        UnusableCase{
            "DanglingLink",
            [](const std::string& path) { std::filesystem::create_symlink(path + ".gone", path); },
            "unreadable No such file or directory"}),
    [](const testing::TestParamInfo<UnusableCase>& p) { return p.param.name; });

class ShippedLanguage : public testing::TestWithParam<const char*> {};

TEST_P(ShippedLanguage, FillsEveryUsedSlot) {
  TextTable table;
  ASSERT_TRUE(table.LoadTexts(std::string(VIREO_LANG_DIR "/") + GetParam() + "/lang.ini"));
  for (int slot :
       {0,  1,  2,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
        26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48,
        50, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74}) {
    EXPECT_NE(table[slot], kDefault) << "slot " << slot;
    EXPECT_FALSE(table[slot].empty()) << "slot " << slot;
  }
}

TEST_P(ShippedLanguage, FillsEveryExtraText) {
  TextTable table;
  ASSERT_TRUE(table.LoadTexts(std::string(VIREO_LANG_DIR "/") + GetParam() + "/lang.ini"));
  for (const ExtraText& text : kExtraTexts) {
    const auto it = table.extras.find(text.key);
    ASSERT_NE(it, table.extras.end()) << text.key;
    EXPECT_FALSE(it->second.empty()) << text.key;
  }
  EXPECT_EQ(table.extras.size(), std::size(kExtraTexts));
}

INSTANTIATE_TEST_SUITE_P(Languages, ShippedLanguage, testing::Values("en", "zh_CN"));

}  // namespace
}  // namespace vireo
