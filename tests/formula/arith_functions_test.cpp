// The thirty built-in functions: results, kinds, and the function failure
// message with the arguments.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "formula/arith.h"
#include "tests/formula/arith_test_util.h"

namespace kv {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;

using testing::Eval;
using testing::ExpectValues;
using testing::FailureOf;
using TCase = testing::TValueCase;

std::string FunctionFailure(const std::string& name, const std::string& a1, const std::string& a2 = "",
                            const std::string& a3 = "") {
  return "ARITH-FEHLER Fehler beim Ausf\xFChren der '" + name +
         "'-Funktion. Parametertypen pr\xFC"
         "fen.\n\r1[" +
         a1 + "] 2[" + a2 + "] 3[" + a3 + "]";
}

TEST(ArithFunctions, TableHasThirtyFunctionsWithTheirArgumentCounts) {
  const std::map<std::string, int> expected = {
      {"MIN", 2},  {"MAX", 2},    {"TRUNC", 1},   {"ROUND", 1},   {"IIF", 3},     {"SUBSTR", 3},
      {"STR", 1},  {"POS", 2},    {"LEN", 1},     {"DATESTR", 2}, {"SORTSTR", 1}, {"NORMSTR", 2},
      {"COPY", 3}, {"TELSTR", 1}, {"KROUND1", 1}, {"KROUND2", 1}, {"SUM", 3},     {"ABS", 1},
      {"SIN", 1},  {"COS", 1},    {"TAN", 1},     {"ARCSIN", 1},  {"ARCCOS", 1},  {"ARCTAN", 1},
      {"LN", 1},   {"EXP", 1},    {"RANDOM", 1},  {"ROUND2", 2},  {"GTZ", 1},     {"STZ", 1},
  };
  int number = 0;
  for (const auto& [name, args] : expected) {
    const TArithFunction* f = TArith::FindFunction(name);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_EQ(f->args, args) << name;
    number += f->number;
  }
  EXPECT_EQ(number, 30 * 31 / 2);  // numbers 1 to 30, each once
  EXPECT_EQ(TArith::FindFunction("FOO"), nullptr);
}

TEST(ArithFunctions, NumbersAndRounding) {
  TArith arith;
  const TCase cases[] = {
      {"MIN(2,5;3)", "2", vtInteger},  // 2,5 rounds to 2 first
      {"MAX(1,4;1,6)", "2", vtInteger},
      {"MIN(-1;\"4\")", "-1", vtInteger},
      {"TRUNC(-2,7)", "-2", vtInteger},
      {"TRUNC(2,7)", "2", vtInteger},
      {"ROUND(2,5)", "2", vtInteger},
      {"ROUND(3,5)", "4", vtInteger},
      {"ROUND(-2,5)", "-2", vtInteger},
      {"ROUND2(2,125;2)", "2,12", vtDouble},
      {"ROUND2(1234;-2)", "1200", vtDouble},
      {"KROUND1(2,5)", "3", vtInteger},
      {"KROUND1(2,4)", "2", vtInteger},
      {"KROUND1(-2,3)", "-3", vtInteger},
      {"KROUND1(-2,5)", "-3", vtInteger},
      {"KROUND2(2,5)", "2", vtInteger},
      {"KROUND2(2,51)", "3", vtInteger},
      {"KROUND2(-2,5)", "-3", vtInteger},
      {"ABS(-1)", "1", vtDouble},
      {"ABS(ROUND(-3))", "3", vtDouble},
      {"GTZ(-3)", "0", vtInteger},
      {"GTZ(3)", "3", vtDouble},
      {"STZ(3)", "0", vtInteger},
      {"STZ(-3)", "-3", vtDouble},
      {"SIN(0)+COS(0)+TAN(0)", "1", vtDouble},
      {"ARCSIN(1)", "1,5707963267949", vtDouble},
      {"ARCCOS(1)", "0", vtDouble},
      {"ARCTAN(1)", "0,785398163397448", vtDouble},
      {"LN(EXP(2))", "2", vtDouble},
      {"EXP(1)", "2,71828182845905", vtDouble},
  };
  ExpectValues(arith, std::begin(cases), std::end(cases));
}

TEST(ArithFunctions, ConditionsAndSum) {
  TArith arith;
  const TCase cases[] = {
      {"IIF(1<2;\"a\";2)", "a", vtString},
      {"IIF(1>2;\"a\";ROUND(2))", "2", vtInteger},  // the branch keeps its kind
      {"IIF(\"false\";1;2)", "2", vtDouble},
      {"IIF(;1;2)", "2", vtDouble},  // empty is false
      {"SUM(\"@\";1;3)", "6", vtDouble},
      {"SUM(\"@\";3;1)", "0", vtDouble},
      {"SUM(\" @ * 2 \";1;3)", "12", vtDouble},  // the text is normalised
      {"SUM(\"@\";1;1000000)", "500000500000", vtDouble},
  };
  ExpectValues(arith, std::begin(cases), std::end(cases));
  const TVariant last = Eval(arith, "@");  // "@" keeps its last value
  EXPECT_EQ(last.Type(), vtInteger);
  EXPECT_EQ(ArithValueToText(last), "1000000");
}

TEST(ArithFunctions, Texts) {
  TArith arith;
  const TCase cases[] = {
      {"STR(2,5)", "2,5", vtString},
      {"STR(1<2)", "True", vtString},
      {"LEN(12345)", "5", vtInteger},
      {"LEN(\"\")", "0", vtInteger},
      {"POS(\"b\";\"abc\")", "2", vtInteger},
      {"POS(\"x\";\"abc\")", "0", vtInteger},
      {"POS(\"\";\"abc\")", "0", vtInteger},
      {"COPY(STR(12345);2;3)", "234", vtString},
      {"COPY(\"abc\";0;2)", "ab", vtString},
      {"COPY(\"abc\";2;100)", "bc", vtString},
      {"COPY(\"abc\";4;1)", "", vtString},
      {"COPY(\"abc\";1;0)", "", vtString},
      {"SUBSTR(\"Name: Fritz\";\":\";100)", ": Fritz", vtString},
      {"SUBSTR(\"abcdef\";\"x\";3)", "abc", vtString},
      {"SUBSTR(\"abcdef\";2;4)", "bcd", vtString},
      {"SUBSTR(\"abcdef\";4;2)", "", vtString},
      {"SUBSTR(\"a-b-c\";\"-\";\"c\")", "-b-c", vtString},
      {"SUBSTR(\"abc\";5;9)", "", vtString},
      {"SUBSTR(\"abc\";0;0)", "", vtString},
      {"NORMSTR(\"ab\";4)", "ab  ", vtString},
      {"NORMSTR(12345;3)", "123", vtString},
      {"NORMSTR(4,5;5)", "4,5  ", vtString},
      {"NORMSTR(42;5)", "00042", vtString},
      {"NORMSTR(-42;5)", "-0042", vtString},        // zeros after the sign
      {"NORMSTR(ROUND(42);5)", "42   ", vtString},  // a whole number is padded like text
      {"NORMSTR(\"abc\";-1)", "", vtString},
      {"SORTSTR(\"M\xFC\xDFig \xC4rger \xF6l\")", "MUESSIG AERGER OEL", vtString},
      {"TELSTR(\"+49 (0)30-123\")", "49030123", vtString},
      {"TELSTR(\"abc\")", "", vtString},
  };
  ExpectValues(arith, std::begin(cases), std::end(cases));
}

TEST(ArithFunctions, DateStrUsesGermanConventions) {
  TArith arith;
  const TCase cases[] = {
      {"DATESTR(24.12.2003;\"dd.mm.yyyy\")", "24.12.2003", vtString},
      {"DATESTR(24.12.2003;\"d/m/yy\")", "24.12.03", vtString},
      {"DATESTR(24.12.2003;\"dddd, d. mmmm\")", "Mittwoch, 24. Dezember", vtString},
      {"DATESTR(1.3.2004;\"ddd mmm\")", "Mo M\xE4r", vtString},
      {"DATESTR(24.12.2003+0,75;\"hh:mm\")", "18:00", vtString},         // minutes after an hour
      {"DATESTR(24.12.2003+0,75;\"h:nn am/pm\")", "6:00 PM", vtString},  // the format is upper-cased
      {"DATESTR(24.12.2003+0,75;\"c\")", "24.12.2003 18:00:00", vtString},
      {"DATESTR(37979;\"yyyy\")", "2003", vtString},
  };
  ExpectValues(arith, std::begin(cases), std::end(cases));
}

TEST(ArithFunctions, RandomStaysInItsRange) {
  TArith arith;
  arith.Randomize(42);
  std::map<std::string, int> seen;
  for (int i = 0; i < 600; ++i) ++seen[ArithValueToText(Eval(arith, "RANDOM(6)"))];
  EXPECT_EQ(seen.size(), 6u);
  for (const auto& [value, count] : seen) {
    EXPECT_TRUE(value >= "1" && value <= "6") << value;
    EXPECT_GT(count, 50) << value;
  }
  EXPECT_EQ(ArithValueToText(Eval(arith, "RANDOM(0)")), "1");
  EXPECT_EQ(ArithValueToText(Eval(arith, "RANDOM(1)")), "1");

  TArith fresh;  // seeded from the clock on its first draw
  const std::string drawn = ArithValueToText(Eval(fresh, "RANDOM(6)"));
  EXPECT_TRUE(drawn >= "1" && drawn <= "6") << drawn;

  TArith a, b;
  a.Randomize(7);
  b.Randomize(7);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Eval(a, "RANDOM(1000000)"), Eval(b, "RANDOM(1000000)"));
}

TEST(ArithFunctions, FailuresNameTheFunctionAndItsArguments) {
  TArith arith;
  struct TFailure {
    const char* formula;
    std::string message;
  } cases[] = {
      {"ARCSIN(2)", FunctionFailure("ARCSIN", "2")},
      {"ARCCOS(-1,5)", FunctionFailure("ARCCOS", "-1,5")},
      {"LN(0)", FunctionFailure("LN", "0")},
      {"LN(-1)", FunctionFailure("LN", "-1")},
      {"EXP(1000)", FunctionFailure("EXP", "1000")},
      {"MIN(\"a\";1)", FunctionFailure("MIN", "a", "1")},
      {"IIF(\"maybe\";1;2)", FunctionFailure("IIF", "maybe", "1", "2")},
      {"SUM(\"1/0\";1;2)", FunctionFailure("SUM", "1/0", "1", "2")},
      {"SUM(\"STR(@<0)\";1;2)", FunctionFailure("SUM", "STR(@<0)", "1", "2")},  // 0 + "False" is no number
      {"SUM(STR(\"x\");1;2)", FunctionFailure("SUM", "x", "1", "2")},           // X is no variable
      {"DATESTR(10000000000;\"yyyy\")", FunctionFailure("DATESTR", "10000000000", "yyyy")},
      {"ROUND2(1;400)", FunctionFailure("ROUND2", "1", "400")},
      // Whole numbers are 32-bit: beyond that range the function fails.
      {"TRUNC(3000000000)", FunctionFailure("TRUNC", "3000000000")},
      {"ROUND(-3000000000)", FunctionFailure("ROUND", "-3000000000")},
      {"MAX(3000000000;1)", FunctionFailure("MAX", "3000000000", "1")},
      {"KROUND1(3000000000)", FunctionFailure("KROUND1", "3000000000")},
      // RANDOM of a negative range has no sensible answer.
      {"RANDOM(-1)", FunctionFailure("RANDOM", "-1")},
      // Bounded work and memory.
      {"SUM(\"@\";1;1000001)", FunctionFailure("SUM", "@", "1", "1000001")},
      {"SUM(\"@\";-2147483648;2147483647)", FunctionFailure("SUM", "@", "-2147483648", "2147483647")},
      {"NORMSTR(\"a\";2000000)", FunctionFailure("NORMSTR", "a", "2000000")},
  };
  for (const auto& c : cases) EXPECT_EQ(FailureOf(arith, c.formula), c.message) << c.formula;

  const std::string joined = FailureOf(arith, "NORMSTR(\"a\";1000000)+NORMSTR(\"b\";100000)");
  EXPECT_THAT(joined, StartsWith("ARITH-FEHLER bei Addition!\r\nSummand:[a   "));
  EXPECT_THAT(joined, EndsWith("]\n\rDie Zeichenkette w\xFC"
                               "rde l\xE4"
                               "nger als 1048576 Zeichen"));
}

}  // namespace
}  // namespace kv
