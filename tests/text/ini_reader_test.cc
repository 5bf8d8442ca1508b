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

TEST_F(IniReaderTest, LineFeedOnlyFileHasNoSection) {
  Open(u"[a]\n1=x\n");
  EXPECT_FALSE(reader.FindSection(u"a"));
}

TEST_F(IniReaderTest, EmptyFileHasNoSection) {
  Open(u"");
  EXPECT_FALSE(reader.FindSection(u"a"));
}

}  // namespace
}  // namespace vireo
