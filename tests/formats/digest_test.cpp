#include "formats/digest.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

TEST(DigestTest, Md5AsUpperCaseHex) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"The quick brown fox jumps over the lazy dog", "9E107D9D372BB6826BD81D3542A419D6"},
      {"\xFC", "CF0EECE3A23B680F6266A21AABBA4D32"},  // one Windows-1252 byte, not its UTF-8 form
      {"Gr\xFC\xDF"
       "e",
       "2C987648C54E9054BF8C8C916B17D5C0"},
  };
  for (const auto& [text, digest] : cases) EXPECT_EQ(DigestText(text), digest) << text;
}

}  // namespace
}  // namespace kv
