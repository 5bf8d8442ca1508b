#include "text/ini_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/text/temp_folder.h"

namespace vireo {
namespace {

class IniReaderTest : public testing::Test {
 protected:
  void Open(const std::u16string& text) {
    test::WriteUtf16(folder / "t.ini", text);
    ASSERT_TRUE(reader.Open(folder / "t.ini"));
  }
  // The keys NextKey hands out until it returns false.
  std::vector<std::u16string> Keys() {
    std::vector<std::u16string> keys;
    while (reader.NextKey()) {
      keys.push_back(reader.Line().Key());
    }
    return keys;
  }
  test::TempFolder folder;
  IniReader reader;
};

TEST_F(IniReaderTest, FindSectionMatchesTheExactName) {
  Open(u"; head\r\n[FTEXT]\r\n[ ftext ]\r\n[ftext]\r\n1=a\r\n");
  ASSERT_TRUE(reader.FindSection(u"ftext"));
  EXPECT_EQ(reader.Line().Section(), u"ftext");
  EXPECT_EQ(Keys(), std::vector<std::u16string>{u"1"});
  EXPECT_TRUE(reader.FindSection(u" ftext "));
  EXPECT_FALSE(reader.FindSection(u"Ftext"));
}

TEST_F(IniReaderTest, NextKeySkipsNothingLinesAndStopsForGoodAtTheNextHeader) {
  Open(u"[a]\r\n1=x\r\n\r\n; note\r\n2=y\r\n\r\n[b]\r\n3=z\r\n");
  ASSERT_TRUE(reader.FindSection(u"a"));
  EXPECT_EQ(Keys(), (std::vector<std::u16string>{u"1", u"2"}));
  EXPECT_FALSE(reader.NextKey());
  EXPECT_FALSE(reader.NextKey());
  ASSERT_TRUE(reader.FindSection(u"b"));
  EXPECT_EQ(Keys(), std::vector<std::u16string>{u"3"});
}

TEST_F(IniReaderTest, EmptySectionAtTheStartStaysEmpty) {
  Open(u"[a]\r\n[b]\r\n1=x");
  ASSERT_TRUE(reader.FindSection(u"a"));
  EXPECT_FALSE(reader.NextKey());
  EXPECT_FALSE(reader.NextKey());
}

TEST_F(IniReaderTest, LastLineWithoutLineEndIsRead) {
  Open(u"[a]\r\n1=x\r\n2=y");
  ASSERT_TRUE(reader.FindSection(u"a"));
  EXPECT_EQ(Keys(), (std::vector<std::u16string>{u"1", u"2"}));
}

TEST_F(IniReaderTest, ByteOrderMarkBeforeTheFirstHeaderIsSkipped) {
  Open(u"\uFEFF[a]\r\n1=x\r\n");
  ASSERT_TRUE(reader.FindSection(u"a"));
  EXPECT_EQ(Keys(), std::vector<std::u16string>{u"1"});
}

class IniReaderLineEnds : public IniReaderTest,
                          public testing::WithParamInterface<const char16_t*> {};

TEST_P(IniReaderLineEnds, SectionsAndKeysReadAsWithCrLf) {
  std::u16string text = u"[a]|1=x||; note|2=y|[b]|3=z|";
  for (std::size_t at = text.find(u'|'); at != std::u16string::npos; at = text.find(u'|', at)) {
    text.replace(at, 1, GetParam());
  }
  Open(text);
  ASSERT_TRUE(reader.FindSection(u"b"));
  EXPECT_EQ(Keys(), std::vector<std::u16string>{u"3"});
  ASSERT_TRUE(reader.FindSection(u"a"));
  EXPECT_EQ(Keys(), (std::vector<std::u16string>{u"1", u"2"}));
  EXPECT_EQ(reader.Line().Value(), u"y");
  EXPECT_FALSE(reader.NextKey());
}

INSTANTIATE_TEST_SUITE_P(Ends, IniReaderLineEnds, testing::Values(u"\r\n", u"\n", u"\r"));

TEST_F(IniReaderTest, EmptyFileHasNoSection) {
  Open(u"");
  EXPECT_FALSE(reader.FindSection(u"a"));
}

}  // namespace
}  // namespace vireo
