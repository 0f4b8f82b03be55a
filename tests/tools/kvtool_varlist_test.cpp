#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "formats/varlist.h"
#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

using nlohmann::json;

std::string Save(const TVarList& list) {
  TMemoryStream s;
  list.SaveToStream(s);
  return s.Str();
}

// Dumps the binary list, checks the dump is JSON, builds it back and
// returns the parsed dump; the rebuilt bytes must equal the original.
json RoundTrip(const std::string& bytes) {
  const TRun dump = Kvtool({"varlist", "dump"}, bytes);
  EXPECT_EQ(dump.rc, 0) << dump.err;
  const TRun build = Kvtool({"varlist", "build"}, dump.out);
  EXPECT_EQ(build.rc, 0) << build.err;
  EXPECT_TRUE(build.out == bytes) << dump.out;
  return json::parse(dump.out);
}

json ValueOf(const json& doc, const std::string& name) {
  for (const auto& item : doc.at("variables"))
    if (item.at("name") == name) return item.at("value");
  ADD_FAILURE() << "no variable " << name;
  return nullptr;
}

// A wide string may hold a surrogate without its partner; JSON text cannot,
// so such a value is dumped as its code units and built back from them.
TEST(KvtoolVarlistTest, WideStringsWithLoneSurrogatesDumpAndBuildBack) {
  TVarList list;
  list.SetValue("high", TVariant::Wide(u"a\xD800z"));
  list.SetValue("low", TVariant::Wide(std::u16string(1, u'\xDC00')));
  list.SetValue("high at the end", TVariant::Wide(u"end\xD83D"));
  list.SetValue("pair reversed", TVariant::Wide(u"\xDE00\xD83D"));
  list.SetValue("pair", TVariant::Wide(u"x\xD83D\xDE00y"));
  list.SetValue("empty", TVariant::Wide(u""));
  const json doc = RoundTrip(Save(list));
  EXPECT_EQ(ValueOf(doc, "high"), json({{"utf16", "0061 d800 007a"}}));
  EXPECT_EQ(ValueOf(doc, "low"), json({{"utf16", "dc00"}}));
  EXPECT_EQ(ValueOf(doc, "high at the end"), json({{"utf16", "0065 006e 0064 d83d"}}));
  EXPECT_EQ(ValueOf(doc, "pair reversed"), json({{"utf16", "de00 d83d"}}));
  EXPECT_EQ(ValueOf(doc, "pair"), "x\xF0\x9F\x98\x80y");  // a valid pair stays text
  EXPECT_EQ(ValueOf(doc, "empty"), "");

  for (const char* bad : {R"("d80")", R"("d800dc00")", R"("d800 ")", R"("zzzz")", R"(5)"}) {
    SCOPED_TRACE(bad);
    const TRun r =
        Kvtool({"varlist", "build"},
               std::string(R"({"variables":[{"name":"w","type":"OleStr","value":{"utf16":)") + bad + "}}]}");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// Every kind of value a list file holds dumps and comes back byte for byte,
// among them 8-bit strings and names with every byte value (the five bytes
// Windows-1252 leaves unassigned included) and floats JSON has no number for.
TEST(KvtoolVarlistTest, EveryValueKindRoundTripsToTheSameBytes) {
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
  TVarList list;
  list.SetValue("empty", TVariant());
  list.SetValue("null", TVariant::Null());
  list.SetValue("small", TVariant::Smallint(-5));
  list.SetValue("medium", TVariant::Smallint(200));
  list.SetValue("large", TVariant(int32_t{70000}));
  list.SetValue("double", TVariant(0.1));
  list.SetValue("nan", TVariant(std::numeric_limits<double>::quiet_NaN()));
  list.SetValue("minus infinity", TVariant(-std::numeric_limits<double>::infinity()));
  list.SetValue("single", TVariant::Single(1.5f));
  list.SetValue("currency", TVariant::Currency(12345678));
  list.SetValue("date", TVariant::Date(45000.75));
  list.SetValue("all bytes", TVariant(allBytes));
  list.SetValue("short", TVariant(std::string("\x80\x81\x8D\x8F\x90\x9D\xFF\x00", 8)));
  list.SetValue("true", TVariant(true));
  list.SetValue("false", TVariant(false));
  list.SetValue("bytes", TVariant::Bytes({0, 1, 0xFF}));
  list.SetValue("Spieler \x81\x9D\xC4\xFF", TVariant(std::string("x")));
  const json doc = RoundTrip(Save(list));
  EXPECT_EQ(ValueOf(doc, "nan"), "NaN");
  EXPECT_EQ(ValueOf(doc, "all bytes").get<std::string>().substr(0x41, 3), "ABC");
}

}  // namespace
}  // namespace kv::tool
