// Evaluation: precedence, value kinds and conversions, the failure messages
// with their exact line breaks, and the bounds that keep hostile formulas
// harmless.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/clock.h"
#include "core/regional.h"
#include "formula/arith.h"
#include "tests/formula/arith_test_util.h"

namespace kv {
namespace {

// ThreadSanitizer makes this plain computation several times slower.
#if defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 3;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kSlowdown = 3;
#else
constexpr int kSlowdown = 1;
#endif
#else
constexpr int kSlowdown = 1;
#endif

using ::testing::HasSubstr;
using ::testing::StartsWith;

using testing::Eval;
using testing::ExpectValues;
using testing::FailureOf;
using testing::TValueCase;

TEST(ArithEvaluate, PrecedenceAndAssociativity) {
  TArith arith;
  const TValueCase cases[] = {
      {"2+3*4", "14", vtDouble},
      {"2^3^2", "64", vtDouble},  // left-associative
      {"-2^2", "4", vtDouble},    // the sign binds to the factor
      {"7/2", "3,5", vtDouble},
      {"10%", "0,1", vtDouble},
      {"5!", "120", vtDouble},
      {"0!+1!", "2", vtDouble},
      {"2,5*2", "5", vtDouble},
      {"2^3!", "64", vtDouble},  // postfix before infix: 2^6
      {"(2+3)!", "120", vtDouble},
      {"2*3%", "0,06", vtDouble},
      {"1-2-3", "-4", vtDouble},
      {"8/4/2", "1", vtDouble},
      {"2*-3", "-6", vtDouble},
      {"1+2=3", "True", vtBoolean},
      {"1<2", "True", vtBoolean},
      {"1<2<3", "True", vtBoolean},   // (True)<3, True counts as -1
      {"1=2<>3", "True", vtBoolean},  // (False)<>3
      {"3>2>1", "False", vtBoolean},  // (True)>1
      {"1<=1&2>=3", "False", vtBoolean},
      {"1=1|1=2", "True", vtBoolean},
      {"", "", vtEmpty},
      {"1;2", "1", vtDouble},
      {"0,1+0,2", "0,3", vtDouble},
      {"123456789012345678", "1,23456789012346E17", vtDouble},
  };
  ExpectValues(arith, std::begin(cases), std::end(cases));
}

TEST(ArithEvaluate, ValueKindsAndConversions) {
  TArith arith;
  const TValueCase cases[] = {
      {"0^0", "0", vtInteger},
      {"0^-1", "0", vtInteger},
      {"(-8)^0,5", "0", vtInteger},
      {"(-2)^0,5", "0", vtInteger},
      {"(-2)^2", "4", vtDouble},
      {"2^-1", "0,5", vtDouble},
      {"\"ab\"+\"cd\"", "abcd", vtString},
      {"\"1\"+\"2\"", "12", vtString},
      {"\"5\"+1", "6", vtDouble},  // a string with a number counts as a number
      {"\"2,5\"*\"2\"", "5", vtDouble},
      {"(1<2)+1", "0", vtDouble},  // True is -1
      {"ROUND(2)+ROUND(3)", "5", vtInteger},
      {"ROUND(2)/ROUND(4)", "0,5", vtDouble},  // division is always floating
      {"5&3", "1", vtInteger},
      {"5|3", "7", vtInteger},
      {"(1<2)&(2<1)", "False", vtBoolean},
      {"(1<2)|(2<1)", "True", vtBoolean},
      {"(1<2)&5", "5", vtInteger},  // -1 AND 5
      {"24.12.2003+1", "25.12.2003", vtDate},
      {"1+24.12.2003", "25.12.2003", vtDate},
      {"24.12.2003-1", "23.12.2003", vtDate},
      {"24.12.2003-23.12.2003", "1", vtDouble},
      {"24.12.2003+0,75", "24.12.2003 18:00:00", vtDate},
      {"24.12.2003>23.12.2003", "True", vtBoolean},
      {"\"abc\"<\"abd\"", "True", vtBoolean},
      {"\"a\"<\"B\"", "True", vtBoolean},   // regional order, not byte order
      {"\"a\"<\"A\"", "True", vtBoolean},   // same letter: lower case first
      {"\"a\"=\"A\"", "False", vtBoolean},  // case-sensitive
      {"\"\xC4rger\"<\"Bach\"", "True", vtBoolean},
      {"\"10\"<9", "False", vtBoolean},  // the string is read as a number
      {"\"True\"=(1<2)", "True", vtBoolean},
      {"-\"3\"", "-3", vtDouble},
  };
  ExpectValues(arith, std::begin(cases), std::end(cases));
}

TEST(ArithEvaluate, ShortDatesTakeTheYearFromTheClock) {
  TManualClock clock(regional::EncodeDate(2024, 6, 1));
  SetClock(&clock);
  TArith arith;
  EXPECT_EQ(ArithValueToText(Eval(arith, "24.12")), "24.12.2024");
  EXPECT_EQ(ArithValueToText(Eval(arith, "24.12.03")), "24.12.2003");
  SetClock(nullptr);
}

TEST(ArithEvaluate, ReadsTheVariableList) {
  TArith arith;
  arith.Variables().SetValue("KILLS", TVariant(10.0));
  arith.Variables().SetValue("Nick", TVariant("Fritz"));
  arith.Variables().SetValue("Big", TVariant::Int64(5'000'000'000));
  EXPECT_EQ(ArithValueToText(Eval(arith, "kills/4")), "2,5");
  EXPECT_EQ(ArithValueToText(Eval(arith, "nick+\"!\"")), "Fritz!");
  EXPECT_EQ(ArithValueToText(Eval(arith, "big+1")), "5000000001");
  EXPECT_EQ(FailureOf(arith, "deaths+1"), "Variable DEATHS nicht gefunden");
  EXPECT_EQ(FailureOf(arith, "@"), "Variable @ nicht gefunden");
}

TEST(ArithEvaluate, OperatorFailureMessagesKeepTheirLineBreaks) {
  TArith arith;
  arith.Variables().SetValue("S", TVariant("abc"));
  const std::string cast = "Variante des Typs (String) konnte nicht in Typ (Double) konvertiert werden";
  struct TCase {
    const char* formula;
    std::string message;
  } cases[] = {
      {"S+1", "ARITH-FEHLER bei Addition!\r\nSummand:[abc] + Summand:[1]\n\r" + cast},
      {"S-1", "ARITH-FEHLER bei Subtraktion!\r\nMinuend:[abc] - Subtrahend:[1]\n\r" + cast},
      {"2*S", "ARITH-FEHLER bei Multiplikation!\r\nFaktor:[2] * Faktor:[abc]\n\r" + cast},
      {"1/0", "ARITH-FEHLER bei Division!\r\nDividend:[1] / Divisor:[0]\n\rGleitkommadivision durch Null"},
      {"0/0",
       "ARITH-FEHLER bei Division!\r\nDividend:[0] / Divisor:[0]\n\rUng\xFC"
       "ltige Gleitkommaoperation"},
      {"S%", "ARITH-FEHLER bei Division!\r\nDividend:[abc] / Divisor:[100]\n\r" + cast},
      {"S^2", "ARITH-FEHLER beim Potenzieren!\n\rBasis[abc]^Exponent[2]" + cast},
      {"10^400",
       "ARITH-FEHLER beim Potenzieren!\n\rBasis[10]^Exponent[400]Gleitkomma\xFC"
       "berlauf"},
      {"(-8)^1,5",
       "ARITH-FEHLER beim Potenzieren!\n\rBasis[-8]^Exponent[1,5]Ung\xFC"
       "ltige Gleitkommaoperation"},
      {"1E300", "syntax: Nach Position 1 fehlt ein Operator"},  // no exponents in the language
      {"3,5!", "ARITH-FEHLER beim Fakult\xE4t bilden!\n\r[3,5] ist kein g\xFCltiger Integer-Wert."},
      {"-3!", "ARITH-FEHLER beim Fakult\xE4t bilden!\n\r[-3] ist kein g\xFCltiger Integer-Wert."},
      {"S!", "ARITH-FEHLER beim Fakult\xE4t bilden!\n\r[abc] ist kein g\xFCltiger Integer-Wert."},
      {"S<1",
       "ARITH-FEHLER bei Vergleichs- oder logischer Operation\r\nSeite1:[abc]   Seite2:[1] sind von "
       "inkompatiblen Datentypen\n\r" +
           cast},
      {"1&S",
       "ARITH-FEHLER bei Vergleichs- oder logischer Operation\r\nSeite1:[1]   Seite2:[abc] sind von "
       "inkompatiblen Datentypen\n\r" +
           cast},
      {"(1<2)=S",
       "ARITH-FEHLER bei Vergleichs- oder logischer Operation\r\nSeite1:[True]   Seite2:[abc] sind von "
       "inkompatiblen Datentypen\n\rVariante des Typs (String) konnte nicht in Typ (Boolean) "
       "konvertiert werden"},
      // A failure in a nested part reaches the caller with its own message.
      {"2*(1+(3/0))",
       "ARITH-FEHLER bei Division!\r\nDividend:[3] / Divisor:[0]\n\rGleitkommadivision durch Null"},
      {"MIN(1/0;2)",
       "ARITH-FEHLER bei Division!\r\nDividend:[1] / Divisor:[0]\n\rGleitkommadivision durch Null"},
      // No short-circuit: the branch IIF does not choose is evaluated too.
      {"IIF(1>2;1/0;5)",
       "ARITH-FEHLER bei Division!\r\nDividend:[1] / Divisor:[0]\n\rGleitkommadivision durch Null"},
  };
  for (const auto& c : cases) EXPECT_EQ(FailureOf(arith, c.formula), c.message) << c.formula;
}

TEST(ArithEvaluate, TextThatWasNotCheckedFailsCleanly) {
  TArith arith;
  struct TCase {
    const char* text;
    const char* message;
  } cases[] = {
      {"2X", "ARITH-FEHLER an Position 2 der Formel\n\r[2X]\n\rOperator erwartet!"},
      {"1)", "ARITH-FEHLER an Position 2 der Formel\n\r[1)]\n\rOperator erwartet!"},
      {"(1;2)", "ARITH-FEHLER an Position 3 der Formel\n\r[(1;2)]\n\rOperator erwartet!"},
      {"MIN(1;2", "ARITH-FEHLER an Position 8 der Formel\n\r[MIN(1;2]\n\rOperator erwartet!"},
      {"12,X", "ARITH-FEHLER an Position 3 der Formel\n\r[12,X]\n\rOperator erwartet!"},
      {"FOO(1)", "ARITH-FEHLER Funktion [FOO] ist nicht definiert!"},
      {"MIN(1)",
       "ARITH-FEHLER Fehler beim Ausf\xFChren der 'MIN'-Funktion. Parametertypen pr\xFC"
       "fen.\n\r1[1] 2[] 3[]"},
      {"\"abc", "Ein String wurde nicht geschlossen"},
      {"32.13.2003", "Der '32.13.2003' ist kein g\xFCltiges Datum"},
  };
  for (const auto& c : cases) {
    try {
      arith.Evaluate(c.text);
      ADD_FAILURE() << c.text << " evaluated";
    } catch (const EArithError& e) {
      EXPECT_EQ(std::string(e.what()), c.message) << c.text;
    }
  }
  // Signs are read in a loop, not by recursion.
  EXPECT_EQ(ArithValueToText(arith.Evaluate(std::string(20001, '-') + "2")), "-2");
}

TEST(ArithEvaluate, BoundsNestingLengthAndWork) {
  TArith arith;
  const std::string deep = std::string(kMaxFormulaNesting, '(') + "7" + std::string(kMaxFormulaNesting, ')');
  EXPECT_EQ(ArithValueToText(arith.Evaluate(deep)), "7");

  // Far deeper than the limit, and never checked: a failure, not a crash.
  const std::string hostile = std::string(30000, '(') + "1";
  try {
    arith.Evaluate(hostile);
    ADD_FAILURE() << "hostile nesting evaluated";
  } catch (const EArithError& e) {
    EXPECT_THAT(e.what(), StartsWith("ARITH-FEHLER an Position 201 der Formel\n\r[((("));
    EXPECT_THAT(e.what(), HasSubstr("]\n\rMehr als 200 verschachtelte Ebenen!"));
  }

  const std::string too_long(kMaxFormulaLength + 1, '1');
  try {
    arith.Evaluate(too_long);
    ADD_FAILURE() << "overlong formula evaluated";
  } catch (const EArithError& e) {
    EXPECT_EQ(std::string(e.what()),
              "ARITH-FEHLER Die Formel ist mit 32769 Zeichen zu lang, erlaubt sind 32768 Zeichen!");
  }

  // Factorials beyond the floating-point range fail at once instead of looping.
  EXPECT_EQ(ArithValueToText(Eval(arith, "170!")), "7,25741561530799E306");
  EXPECT_EQ(FailureOf(arith, "1000000000!"),
            "ARITH-FEHLER beim Fakult\xE4t bilden!\n\r[1000000000]! Gleitkomma\xFC"
            "berlauf");

  // A SUM text that calls itself through a variable ends at the nesting limit.
  arith.Variables().SetValue("X", TVariant("SUM(X;1;2)"));
  EXPECT_THAT(FailureOf(arith, "SUM(X;1;2)"),
              StartsWith("ARITH-FEHLER Fehler beim Ausf\xFChren der 'SUM'-Funktion. Parametertypen pr\xFC"
                         "fen."));

  // Nested SUMs share one budget of work, so a billion iterations end early.
  arith.Variables().SetValue("INNER", TVariant("SUM(\"@\";1;1000000)"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FailureOf(arith, "SUM(INNER;1;1000)"),
            "ARITH-FEHLER Fehler beim Ausf\xFChren der 'SUM'-Funktion. Parametertypen pr\xFC"
            "fen.\n\r1[SUM(\"@\";1;1000000)] 2[1] 3[1000]");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30 * kSlowdown));
}

TEST(ArithEvaluate, DefaultScoreFormulaWithNumbers) {
  TArith arith;
  const std::string formula =
      "IIF((25>20);((((300 - 100) * (300/100))/25) * 10000);\"not enough maps played\")";
  EXPECT_EQ(ArithValueToText(Eval(arith, formula)), "240000");
  const std::string few = "IIF((5>20);((((300 - 100) * (300/100))/5) * 10000);\"not enough maps played\")";
  EXPECT_EQ(ArithValueToText(Eval(arith, few)), "not enough maps played");
}

}  // namespace
}  // namespace kv
