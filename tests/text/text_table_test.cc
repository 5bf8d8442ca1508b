#include "text/text_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

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

TEST(LoadProgramTexts, PrefersTheProgramFolderThenFallsBackToTheDataFolder) {
  test::TempFolder program, data;
  ::setenv("VIREOMETER_DATA_DIR", data.Path().c_str(), 1);
  TextTable table;
  EXPECT_FALSE(LoadProgramTexts(table, program.Path()));
  EXPECT_EQ(table[1], kDefault);

  test::WriteUtf16(data / "lang/en/lang.ini", u"[ftext]\r\n1=english\r\n");
  EXPECT_FALSE(LoadProgramTexts(table, program.Path()));
  EXPECT_EQ(table[1], "english");

  test::WriteUtf16(program / "lang.ini", u"[ftext]\r\n1=local\r\n");
  LoadProgramTexts(table, program.Path());
  EXPECT_EQ(table[1], "local");
  ::unsetenv("VIREOMETER_DATA_DIR");
}

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

INSTANTIATE_TEST_SUITE_P(Languages, ShippedLanguage, testing::Values("en", "zh_CN"));

}  // namespace
}  // namespace vireo
