#include "rules/sprees_file.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

std::string Block(const std::string& text) {
  const auto n = static_cast<uint32_t>(text.size());
  std::string out{static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                  static_cast<char>((n >> 16) & 0xff), static_cast<char>(n >> 24)};
  return out + text;
}

TSpreeLists Read(const std::string& bytes) {
  TMemoryStream in(bytes);
  TSpreeLists lists;
  ReadSpreesFile(in, lists);
  return lists;
}

std::string Write(const TSpreeLists& lists) {
  TMemoryStream out;
  WriteSpreesFile(out, lists);
  return out.Str();
}

TEST(SpreesFile, ReadsTheFourBlocksAndWritesThemBackByteForByte) {
  const std::string file = Block("3\r\n5\r\n10\r\n") +
                           Block(
                               "%playernick% is on fire=%playernick% was stopped\r\n=only an end\r\n"
                               "no end at all\r\n") +
                           Block("2\r\n") + Block("a=b=c\r\n");
  const TSpreeLists lists = Read(file);
  ASSERT_EQ(lists.killing.size(), 3u);
  EXPECT_EQ(lists.killing[0].count, 3);
  EXPECT_EQ(lists.killing[0].StartMessage(), "%playernick% is on fire");
  EXPECT_EQ(lists.killing[0].EndMessage(), "%playernick% was stopped");
  EXPECT_EQ(lists.killing[1].StartMessage(), "");
  EXPECT_EQ(lists.killing[1].EndMessage(), "only an end");
  EXPECT_EQ(lists.killing[2].count, 10);
  EXPECT_EQ(lists.killing[2].StartMessage(), "no end at all");
  EXPECT_EQ(lists.killing[2].EndMessage(), "");
  ASSERT_EQ(lists.losing.size(), 1u);
  EXPECT_EQ(lists.losing[0].StartMessage(), "a");  // split at the first "="
  EXPECT_EQ(lists.losing[0].EndMessage(), "b=c");
  EXPECT_EQ(Write(lists), file);
  // Nothing at all: two empty lists, written as four empty blocks.
  EXPECT_EQ(Read(""), TSpreeLists());
  EXPECT_EQ(Write(TSpreeLists()), std::string(16, '\0'));
  EXPECT_EQ(Read(std::string(16, '\0')), TSpreeLists());
}

TEST(SpreesFile, CountLinesAreMatchedToMessagesAsWellAsTheyCanBe) {
  // More count lines than messages, counts that are no number or too large,
  // fewer count lines than messages.
  const TSpreeLists lists = Read(Block("x\r\n 4 \r\n99999999999\r\n-2\r\n") + Block("a=\r\nb=\r\nc=\r\n") +
                                 Block("7\r\n8\r\n9\r\n") + Block("d=e\r\n"));
  ASSERT_EQ(lists.killing.size(), 3u);
  EXPECT_EQ(lists.killing[0].count, 0);
  EXPECT_EQ(lists.killing[1].count, 4);
  EXPECT_EQ(lists.killing[2].count, 0);
  ASSERT_EQ(lists.losing.size(), 1u);
  EXPECT_EQ(lists.losing[0].count, 7);
  const TSpreeLists fewer = Read(Block("6\r\n") + Block("a=\r\nb=\r\n") + Block("") + Block(""));
  ASSERT_EQ(fewer.killing.size(), 2u);
  EXPECT_EQ(fewer.killing[1].count, 0);
  EXPECT_TRUE(fewer.losing.empty());
}

TEST(SpreesFile, DamageIsReportedAndWhatWasReadBeforeStays) {
  const std::string killing = Block("3\r\n") + Block("three=over\r\n");
  struct TCase {
    const char* what;
    std::string bytes;
    size_t killing_kept;
    const char* says;
  };
  const TCase cases[] = {
      {"cut in a count", std::string("\x05\x00", 2), 0, "ends before the counts of the killing sprees"},
      {"block longer than the file", Block("3\r\n").substr(0, 6), 0, "announce 3 bytes, the file holds 2"},
      {"negative block", std::string("\xff\xff\xff\xff", 4), 0, "announce -1 bytes"},
      {"absurd block", std::string("\x00\x00\x00\x7f", 4) + "xx", 0, "announce 2130706432 bytes"},
      {"losing counts missing", killing, 1, "ends before the counts of the losing sprees"},
      {"losing lines cut",
       killing + Block("2\r\n") +
           std::string("\x09\x00\x00\x00"
                       "a=",
                       6),
       1, "messages of the losing sprees announce 9 bytes"},
  };
  for (const auto& c : cases) {
    TMemoryStream in(c.bytes);
    TSpreeLists lists;
    try {
      ReadSpreesFile(in, lists);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const EStreamError& e) {
      EXPECT_NE(std::string(e.what()).find(kSpreesLoadError), std::string::npos) << c.what;
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.what << ": " << e.what();
    }
    EXPECT_EQ(lists.killing.size(), c.killing_kept) << c.what;
    EXPECT_TRUE(lists.losing.empty()) << c.what;
  }
}

}  // namespace
}  // namespace kv
