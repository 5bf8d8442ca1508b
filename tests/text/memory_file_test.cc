#include "text/memory_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/text/temp_folder.h"
#include "text/memory_line_file.h"

namespace vireo {
namespace {

using test::TempFolder;
using test::Utf16Le;
using test::WriteBytes;

std::string Contents(const MemoryFile& file) {
  return std::string(reinterpret_cast<const char*>(file.buffer()), file.length());
}

// Announces `size` bytes, delivers `available` of them, then ends (or fails with `error`).
class FakeSource : public ByteSource {
 public:
  FakeSource(uint64_t size, std::size_t available, int error = 0)
      : size_(size), available_(available), error_(error) {}

  uint64_t Size() const override { return size_; }
  ssize_t Read(uint8_t* dest, std::size_t n) override {
    requests.push_back(n);
    const std::size_t count = std::min(n, available_ - delivered_);
    if (count == 0 && error_ != 0) {
      errno = error_;
      return -1;
    }
    for (std::size_t i = 0; i < count; ++i) {
      dest[i] = static_cast<uint8_t>(delivered_ + i);
    }
    delivered_ += count;
    return static_cast<ssize_t>(count);
  }

  std::vector<std::size_t> requests;

 private:
  uint64_t size_;
  std::size_t available_, delivered_ = 0;
  int error_;
};

class MemoryFileTest : public testing::Test {
 protected:
  MemoryFileTest() {
    file.SetErrorCallback([this](const std::string& text) { messages.push_back(text); });
  }
  TempFolder folder;
  MemoryFile file;
  std::vector<std::string> messages;
};

TEST_F(MemoryFileTest, UnopenableFileFailsSilentlyAndDropsTheOldBlock) {
  WriteBytes(folder / "a", "abc");
  ASSERT_TRUE(file.Load(folder / "a"));
  EXPECT_FALSE(file.Load(folder / "missing"));
  EXPECT_FALSE(file.Load(folder.Path()));
  // A FIFO opens without a writer, but has no file to load.
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(file.Load(folder / "fifo"));
  EXPECT_FALSE(file.Load("/dev/zero"));
  EXPECT_EQ(file.buffer(), nullptr);
  EXPECT_EQ(file.loaded(), 0);
  EXPECT_TRUE(messages.empty());
}

TEST_F(MemoryFileTest, ReadsInPiecesOfAtMost61400Bytes) {
  FakeSource source(150000, 150000);
  ASSERT_TRUE(file.LoadFrom(source));
  EXPECT_EQ(source.requests, (std::vector<std::size_t>{61400, 61400, 27200}));
  EXPECT_EQ(file.buffer()[149999], static_cast<uint8_t>(149999));
}

struct FailingLoad {
  uint64_t size;
  std::size_t available;
  int error;
  const char* message;
};

class MemoryFileFailingLoad : public MemoryFileTest,
                              public testing::WithParamInterface<FailingLoad> {};

TEST_P(MemoryFileFailingLoad, FailsHoldingNothingAndReportsTheCode) {
  WriteBytes(folder / "a", "abc");
  ASSERT_TRUE(file.Load(folder / "a"));
  FakeSource source(GetParam().size, GetParam().available, GetParam().error);
  EXPECT_FALSE(file.LoadFrom(source));
  EXPECT_EQ(file.buffer(), nullptr);
  EXPECT_EQ(file.length(), 0u);
  EXPECT_EQ(file.loaded(), 0);
  EXPECT_EQ(messages, std::vector<std::string>{GetParam().message});
}

INSTANTIATE_TEST_SUITE_P(Faults, MemoryFileFailingLoad,
                         testing::Values(
                             // The file shrank from 100 to 40 bytes while being read.
                             FailingLoad{100, 40, 0, "文件复制到内存失败！ \r\n错误代码：#5"},
                             FailingLoad{100, 40, EACCES, "文件复制到内存失败！ \r\n错误代码：#13"},
                             FailingLoad{uint64_t{1} << 32, 0, 0,
                                         "文件复制到内存失败！ \r\n错误代码：#27"}));

TEST_F(MemoryFileTest, SaveAndLoadRoundTripEveryByte) {
  std::string bytes(200000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(i * 7);
  }
  WriteBytes(folder / "in", bytes);
  WriteBytes(folder / "out", std::string(300000, 'x'));
  ASSERT_TRUE(file.Load(folder / "in"));
  EXPECT_EQ(file.loaded(), 1);
  ASSERT_TRUE(file.Save(folder / "out"));
  MemoryFile copy;
  ASSERT_TRUE(copy.Load(folder / "out"));
  EXPECT_EQ(Contents(copy), bytes);
  EXPECT_FALSE(file.Save(folder / "no-such-folder/out"));
  EXPECT_TRUE(messages.empty());
  copy.Free();
  EXPECT_EQ(copy.buffer(), nullptr);
  EXPECT_EQ(copy.length(), 0u);
  EXPECT_EQ(copy.loaded(), 0);
}

TEST_F(MemoryFileTest, SaveReportsAWriteError) {
  if (::access("/dev/full", W_OK) != 0) {
    GTEST_SKIP() << "no writable /dev/full";
  }
  WriteBytes(folder / "in", "abc");
  ASSERT_TRUE(file.Load(folder / "in"));
  EXPECT_FALSE(file.Save("/dev/full"));
  EXPECT_EQ(messages, std::vector<std::string>{"文件保存失败！ \r\n错误代码：#28"});
}

class MemoryLineFileTest : public testing::Test {
 protected:
  void Load(const std::string& bytes) {
    WriteBytes(folder / "lines", bytes);
    ASSERT_TRUE(file.Load(folder / "lines"));
  }
  TempFolder folder;
  MemoryLineFile file;
};

TEST_F(MemoryLineFileTest, WalksLinesForwardAndBack) {
  Load(Utf16Le(u"ab\r\ncd\r\nef"));
  EXPECT_EQ(file.GetLine(), u"ab");
  ASSERT_TRUE(file.NextLine());
  EXPECT_EQ(file.cursor(), 8u);
  ASSERT_TRUE(file.NextLine());
  EXPECT_EQ(file.GetLine(), u"ef");
  EXPECT_FALSE(file.NextLine());
  EXPECT_EQ(file.cursor(), 16u);
  ASSERT_TRUE(file.PrevLine());
  EXPECT_EQ(file.GetLine(), u"cd");
  // From the second line the search runs into the start: cursor 0, but false.
  EXPECT_FALSE(file.PrevLine());
  EXPECT_EQ(file.cursor(), 0u);
  EXPECT_FALSE(file.PrevLine());
}

// The same four lines "ab", "", "cd", "ef" with each kind of line end, and with all mixed.
class MemoryLineFileLineEnds : public MemoryLineFileTest,
                               public testing::WithParamInterface<std::u16string> {};

TEST_P(MemoryLineFileLineEnds, EveryLineIsVisitedForwardAndBack) {
  const std::u16string& end = GetParam();
  std::u16string text = u"ab\r\n\ncd\ref";
  if (end != u"mixed") {
    text = u"ab" + end + end + u"cd" + end + u"ef";
  }
  Load(Utf16Le(text));
  std::vector<std::u16string> forward{file.GetLine()};
  while (file.NextLine()) {
    forward.push_back(file.GetLine());
  }
  EXPECT_EQ(forward, (std::vector<std::u16string>{u"ab", u"", u"cd", u"ef"}));
  std::vector<std::u16string> back;
  while (file.PrevLine()) {
    back.push_back(file.GetLine());
  }
  // The walk back ends at the start of the file with false, as from the second line.
  EXPECT_EQ(back, (std::vector<std::u16string>{u"cd", u""}));
  EXPECT_EQ(file.cursor(), 0u);
  EXPECT_EQ(file.GetLine(), u"ab");
}

INSTANTIATE_TEST_SUITE_P(Ends, MemoryLineFileLineEnds,
                         testing::Values(u"\r\n", u"\n", u"\r", u"mixed"),
                         [](const testing::TestParamInfo<std::u16string>& p) {
                           return p.param == u"\r\n" ? std::string("CrLf")
                                  : p.param == u"\n" ? std::string("Lf")
                                  : p.param == u"\r" ? std::string("Cr")
                                                     : std::string("Mixed");
                         });

TEST_F(MemoryLineFileTest, EmptyFirstLineIsReachedBackwardsOnlyAsTheStart) {
  Load(Utf16Le(u"\r\nA\r\nB"));
  ASSERT_TRUE(file.NextLine());
  ASSERT_TRUE(file.NextLine());
  EXPECT_EQ(file.GetLine(), u"B");
  ASSERT_TRUE(file.PrevLine());
  EXPECT_EQ(file.GetLine(), u"A");
  EXPECT_FALSE(file.PrevLine());
  EXPECT_EQ(file.cursor(), 0u);
}

TEST_F(MemoryLineFileTest, SkipsLeadingByteOrderMarkAndNulUnits) {
  Load(Utf16Le(std::u16string(u"\uFEFFa\0b\r\n\uFEFFc", 8)));
  EXPECT_EQ(file.GetLine(), u"ab");
  ASSERT_TRUE(file.NextLine());
  EXPECT_EQ(file.GetLine(), u"\uFEFFc");
}

TEST_F(MemoryLineFileTest, OddLastByteIsNotAUnit) {
  Load(Utf16Le(u"ab") + "\n");
  EXPECT_EQ(file.GetLine(), u"ab");
  EXPECT_FALSE(file.NextLine());
}

}  // namespace
}  // namespace vireo
