// Normalising and the syntax check: every message, its position and which
// message wins when two apply.
#include <gtest/gtest.h>

#include <string>

#include "formula/arith.h"

namespace kv {
namespace {

TEST(ArithNormalize, RemovesBlanksAndUpperCasesOutsideStrings) {
  struct TCase {
    const char* in;
    const char* out;
  } cases[] = {
      {"abs(-1)", "ABS(-1)"},
      {" 1 + 2 ", "1+2"},
      {"iif(x > 2; \"a b\"; \"c\")", "IIF(X>2;\"a b\";\"c\")"},
      {"\xE4\xF6\xFC + \"\xE4\"", "\xC4\xD6\xDC+\"\xE4\""},  // umlauts upper-cased outside strings only
      {"\"open string  stays", "\"open string  stays"},
      {"a\tb", "A\tB"},  // only the blank is removed
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TArith::Normalize(c.in), c.out) << c.in;
}

struct TSyntaxCase {
  const char* text;
  const char* message;
};

void ExpectMessages(const TSyntaxCase* begin, const TSyntaxCase* end) {
  for (const TSyntaxCase* c = begin; c != end; ++c)
    EXPECT_EQ(TArith::CheckSyntax(c->text), c->message) << c->text;
}

TEST(ArithCheckSyntax, AcceptsWellFormedFormulas) {
  const TSyntaxCase cases[] = {
      {"", ""},
      {"1;2", ""},
      {"1;)", ""},  // the text after a top-level ";" is ignored
      {"2+3*4", ""},
      {"-2^2", ""},
      {"(-2)^0,5", ""},
      {"5!%", ""},
      {"1<=2&1>=2|1<>2", ""},
      {"24.12.2003+1", ""},
      {"MIN(;1)", ""},  // an empty argument passes
      {"ABS(MIN(1;2))*2", ""},
      {"SUM(\"@*2\";1;3)", ""},
      {"@+$A_1~\\", ""},
      {"IIF((20>20);((((10-5)*(10/5))/20)*10000);\"not enough maps played\")", ""},
  };
  ExpectMessages(std::begin(cases), std::end(cases));
}

TEST(ArithCheckSyntax, ValueAndOperatorMessages) {
  const TSyntaxCase cases[] = {
      {"(1)2", "Vor der Zahl auf Position 4 fehlt ein Operator"},
      {"12,X", "An Position 3 fehlt der Nachkommawert"},
      {"12,", "An Position 3 fehlt der Nachkommawert"},
      {"32.13.2003", "Der '32.13.2003' ist kein g\xFCltiges Datum"},
      {"1+00.1.2003",
       "Der '0.1.2003' ist kein g\xFCltiges Datum"},  // digits before the dot as a plain integer
      {"24.12.", "Der '24.12.' ist kein g\xFCltiges Datum"},
      {"1\"a\"", "Vor dem String auf Position 2 fehlt ein Operator"},
      {"\"abc", "Ein String wurde nicht geschlossen"},
      {"1\"abc", "Ein String wurde nicht geschlossen"},  // wins over the missing operator
      {"1X", "Nach Position 1 fehlt ein Operator"},
      {"@@", "Nach Position 1 fehlt ein Operator"},  // "@" only starts a name
      {"2(1)", "Dem Klammerauf bei Position 2 geht kein Opperator vorraus"},
      {"(1+)", "Vor der Klammer-zu an Position 4 fehlt ein Wert"},
      {"()", "Vor der Klammer-zu an Position 2 fehlt ein Wert"},
      {"1)",
       "Die Klammerebene die bei Position 2 geschlossen werden soll wurde nie ge\xF6"
       "ffnet"},
      {"+)",
       "Die Klammerebene die bei Position 2 geschlossen werden soll wurde nie ge\xF6"
       "ffnet"},  // wins
      {"1--2", "An Position 2 stehen zwei [-]-Zeichen"},
      {"1+-2", "An Position 2 stehen zwei [-]-Zeichen"},
      {"--2", "An Position 1 stehen zwei [-]-Zeichen"},
      {"1-+2", "An Position 2 stehen zwei [+]-Zeichen"},
      {"*1", "Der Operator [*] ist am Anfang einer Formel nicht erlaubt"},
      {"(^1)", "Der Operator [^] ist nach einem Klammer-auf nicht erlaubt"},
      {"1=<2", "Operator =< an Position 2 existiert nicht"},
      {"1+*2", "Operator +* an Position 2 existiert nicht"},
      {"1<==2", "Operator == an Position 3 existiert nicht"},
      {"!", "Fehler an Position 1. Ein [!]-Zeichen mu\xDF hinter einem Wert stehen"},
      {"1+%", "Fehler an Position 3. Ein [%]-Zeichen mu\xDF hinter einem Wert stehen"},
      {"1#2", "Das Zeichen an Position 2 ist an dieser Stelle nicht erlaubt"},
      {"abs(1)", "Das Zeichen an Position 1 ist an dieser Stelle nicht erlaubt"},  // not normalised
      {"1,5.3", "Das Zeichen an Position 4 ist an dieser Stelle nicht erlaubt"},
      {"1 +2", "Das Zeichen an Position 2 ist an dieser Stelle nicht erlaubt"},
      {"\xC4", "Das Zeichen an Position 1 ist an dieser Stelle nicht erlaubt"},
  };
  ExpectMessages(std::begin(cases), std::end(cases));
}

TEST(ArithCheckSyntax, EndOfFormulaMessages) {
  const TSyntaxCase cases[] = {
      {"1+", "Die Funktion darf nicht mit einem Operator enden"},
      {"(1",
       "Die Klammerebene die bei Position 1 ge\xF6"
       "ffnen wurde, wird nicht wieder geschlossen"},
      {"(1+",
       "Die Klammerebene die bei Position 1 ge\xF6"
       "ffnen wurde, wird nicht wieder geschlossen"},
      {"((1)",
       "Die Klammerebene die bei Position 1 ge\xF6"
       "ffnen wurde, wird nicht wieder geschlossen"},
      {"(1+(2",
       "Die Klammerebene die bei Position 4 ge\xF6"
       "ffnen wurde, wird nicht wieder geschlossen"},
      {"(1;2)",
       "Die Klammerebene die bei Position 1 ge\xF6"
       "ffnen wurde, wird nicht wieder geschlossen"},
      // A parenthesis inside a string is text, not an opening.
      {"(1+\"(\"",
       "Die Klammerebene die bei Position 1 ge\xF6"
       "ffnen wurde, wird nicht wieder geschlossen"},
      {"(\")\"",
       "Die Klammerebene die bei Position 1 ge\xF6"
       "ffnen wurde, wird nicht wieder geschlossen"},
  };
  ExpectMessages(std::begin(cases), std::end(cases));
}

TEST(ArithCheckSyntax, FunctionMessages) {
  const TSyntaxCase cases[] = {
      {"FOO(1)", "Funktion 'FOO' ist nicht definiert"},
      {"1+MIN(1;\"a", "In der 'MIN'-Funktion an Position 3 wird ein String nicht geschlossen"},
      {"1+MIN(1;2",
       "Die 'MIN'-Funktion an Position 3 besitzt keine schlie\xDF"
       "ende Klammer"},
      {"MIN(1)", "Die 'MIN'-Funktion an Position 1 ben\xF6tigt 2 statt 1 Parameter"},
      {"ABS()", ""},
      {"IIF(1;2;3;4)", "Die 'IIF'-Funktion an Position 1 ben\xF6tigt 3 statt 4 Parameter"},
      {"MIN((1;2);3)",
       "Fehler im Fkt.-Parameter [(1;2)] \rDie Klammerebene die bei Position 1 ge\xF6"
       "ffnen wurde, wird nicht wieder geschlossen"},
      {"MIN(\";\";2)", ""},  // separators inside strings do not count
      {"MIN(1;2+)", "Fehler im Fkt.-Parameter [2+] \rDie Funktion darf nicht mit einem Operator enden"},
      {"ABS(MIN(1;*2))",
       "Fehler im Fkt.-Parameter [MIN(1;*2)] \rFehler im Fkt.-Parameter [*2] \rDer Operator [*] "
       "ist am Anfang einer Formel nicht erlaubt"},
      {"MIN(1;2)(",
       "Dem Klammerauf bei Position 9 geht kein Opperator vorraus"},  // the scan resumes after ")"
      {"min(1;2)", "Das Zeichen an Position 1 ist an dieser Stelle nicht erlaubt"},
  };
  ExpectMessages(std::begin(cases), std::end(cases));
  EXPECT_NE(TArith::FindFunction("round2"), nullptr);  // names compare without regard to case
}

TEST(ArithCheckSyntax, RefusesFormulasBeyondTheLimits) {
  std::string deep(kMaxFormulaNesting, '(');
  deep += "1" + std::string(kMaxFormulaNesting, ')');
  EXPECT_EQ(TArith::CheckSyntax(deep), "");

  const std::string deeper = "(" + deep + ")";
  EXPECT_EQ(TArith::CheckSyntax(deeper),
            "Die Klammer auf Position 201 liegt tiefer als 200 verschachtelte Ebenen");

  // Calls nest like parentheses; the limit is reported once, not through
  // hundreds of argument messages.
  std::string calls;
  for (int i = 0; i < 300; ++i) calls += "ABS(";
  calls += "1" + std::string(300, ')');
  EXPECT_EQ(TArith::CheckSyntax(calls),
            "Die Klammer auf Position 804 liegt tiefer als 200 verschachtelte Ebenen");

  // Whatever follows the end of the formula is not measured.
  EXPECT_EQ(TArith::CheckSyntax("1;" + std::string(1000, '(')), "");

  std::string longest = "1";
  while (longest.size() + 2 <= kMaxFormulaLength) longest += "+1";
  EXPECT_EQ(TArith::CheckSyntax(longest), "");
  EXPECT_EQ(TArith::CheckSyntax(longest + "+1"),
            "Die Formel ist mit 32769 Zeichen zu lang, erlaubt sind 32768 Zeichen");
}

}  // namespace
}  // namespace kv
