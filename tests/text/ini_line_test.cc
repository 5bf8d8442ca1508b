#include "text/ini_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "text/utf16.h"

namespace vireo {
namespace {

struct ParseCase {
  std::u16string text;
  int kind;
  std::u16string section, key, keyIndex, value, valueIndex;
};

void PrintTo(const ParseCase& c, std::ostream* out) {
  *out << '"' << Utf16ToUtf8(c.text) << '"';
}

class IniLineParse : public testing::TestWithParam<ParseCase> {};

TEST_P(IniLineParse, SplitsLineIntoParts) {
  const ParseCase& c = GetParam();
  IniLine line;
  EXPECT_EQ(line.Parse(c.text), c.kind);
  EXPECT_EQ(line.Kind(), c.kind);
  EXPECT_EQ(line.IsSection(), c.kind == 0x80);
  EXPECT_EQ(line.Section(), c.section);
  EXPECT_EQ(line.Key(), c.key);
  EXPECT_EQ(line.KeyIndex(), c.keyIndex);
  EXPECT_EQ(line.Value(), c.value);
  EXPECT_EQ(line.ValueIndex(), c.valueIndex);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, IniLineParse,
    testing::Values(ParseCase{u"5=Volt", 0x05, u"", u"5", u"", u"Volt", u""},
                    ParseCase{u"5 = Volt", 0x05, u"", u"5 ", u"", u" Volt", u""},
                    ParseCase{u"\t 3=  lead  \t", 0x05, u"", u"3", u"", u"  lead", u""},
                    ParseCase{u"7=Volt;age", 0x05, u"", u"7", u"", u"Volt", u""},
                    ParseCase{u"; only a comment", 0, u"", u"", u"", u"", u""},
                    ParseCase{u"   ", 0, u"", u"", u"", u"", u""},
                    ParseCase{u"12", 0x01, u"", u"12", u"", u"", u""},
                    ParseCase{u"x=", 0x01, u"", u"x", u"", u"", u""},
                    ParseCase{u"=x", 0x04, u"", u"", u"", u"x", u""},
                    ParseCase{u"9=Max [V]", 0x0D, u"", u"9", u"", u"Max ", u"V"},
                    ParseCase{u"9=[V]", 0x09, u"", u"9", u"", u"", u"V"},
                    ParseCase{u"9=a[b]c", 0x0D, u"", u"9", u"", u"a", u"b]"},
                    ParseCase{u"9=]x[", 0x0D, u"", u"9", u"", u"]x", u""},
                    ParseCase{u"key[3]=x", 0x07, u"", u"key", u"3", u"x", u""},
                    ParseCase{u"[3]=x", 0x06, u"", u"", u"3", u"x", u""},
                    ParseCase{u"[]", 0, u"", u"", u"", u"", u""},
                    ParseCase{u"[x]", 0x80, u"x", u"", u"", u"", u""},
                    ParseCase{u"[ ftext ]", 0x80, u" ftext ", u"", u"", u"", u""},
                    ParseCase{u"  [a=b] ; note", 0x80, u"a=b", u"", u"", u"", u""}));

TEST(IniLine, ParseForgetsThePreviousLine) {
  IniLine line;
  line.Parse(u"key[1]=value[2]");
  EXPECT_EQ(line.Parse(u"[s]"), 0x80);
  EXPECT_TRUE(line.Key().empty() && line.KeyIndex().empty() && line.Value().empty() &&
              line.ValueIndex().empty());
  EXPECT_EQ(line.Parse(u"1=a"), 0x05);
  EXPECT_TRUE(line.Section().empty());
}

struct NumberCase {
  std::u16string text;
  bool ok;
  uint32_t number;
};

void PrintTo(const NumberCase& c, std::ostream* out) {
  *out << '"' << Utf16ToUtf8(c.text) << '"';
}

class IniLineKeyAsNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(IniLineKeyAsNumber, ReadsDecimalWithWrapAround) {
  IniLine line;
  line.Parse(GetParam().text);
  uint32_t n = 12345;
  ASSERT_EQ(line.KeyAsNumber(n), GetParam().ok);
  if (GetParam().ok) {
    EXPECT_EQ(n, GetParam().number);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, IniLineKeyAsNumber,
    testing::Values(NumberCase{u"5=Volt", true, 5}, NumberCase{u"013=x", true, 13},
                    NumberCase{u"5 = Volt", true, 34}, NumberCase{u"0 = x", true, 4294967280u},
                    NumberCase{u"1x=abc", true, 82}, NumberCase{u"4294967296=x", true, 0},
                    NumberCase{u"-1=x", false, 0}, NumberCase{u"x1=x", false, 0},
                    NumberCase{u"=x", false, 0}, NumberCase{u"[3]=x", false, 0},
                    NumberCase{u"[7]", false, 0}));

}  // namespace
}  // namespace vireo
