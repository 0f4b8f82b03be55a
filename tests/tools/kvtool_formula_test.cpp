// kvtool formula check|eval as the operator runs them.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

TEST(KvtoolFormula, CheckPrintsTheNormalisedTextAndTheMessage) {
  TRun r = Kvtool({"formula", "check", "iif(x > 2; \"a b\"; abs(-1))"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "IIF(X>2;\"a b\";ABS(-1))\n");
  EXPECT_EQ(r.err, "");

  r = Kvtool({"formula", "check", "min(1)"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.out, "MIN(1)\n");
  EXPECT_EQ(r.err, "kvtool: Die 'MIN'-Funktion an Position 1 ben\xC3\xB6tigt 2 statt 1 Parameter\n");

  // The carriage return inside the message is shown, not obeyed.
  r = Kvtool({"formula", "check", "abs(*1)"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(
      r.err,
      "kvtool: Fehler im Fkt.-Parameter [*1] \\rDer Operator [*] ist am Anfang einer Formel nicht erlaubt\n");
}

TEST(KvtoolFormula, EvalTakesVariablesAsNumbersOrStrings) {
  TRun r = Kvtool({"formula", "eval", "kills / deaths"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, "kvtool: Variable KILLS nicht gefunden\n");

  r = Kvtool({"formula", "eval", "kills / deaths", "kills=7", "Deaths=2"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "3,5\n");

  r = Kvtool({"formula", "eval", "nick + \"\xC3\xA4\" + str(k)", "nick=J\xC3\xBCrgen", "k=2,5"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out,
            "J\xC3\xBCrgen\xC3\xA4"
            "2,5\n");

  r = Kvtool({"formula", "eval", "k + 1", "k=2.5"});  // a dot is no decimal separator: a string
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err,
            "kvtool: ARITH-FEHLER bei Addition!\\r\\nSummand:[2.5] + Summand:[1]\\n\\rVariante des Typs "
            "(String) konnte nicht in Typ (Double) konvertiert werden\n");
}

TEST(KvtoolFormula, EvalReportsSyntaxAndCalculationErrors) {
  TRun r = Kvtool({"formula", "eval", "1/0"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "kvtool: ARITH-FEHLER bei Division!\\r\\nDividend:[1] / Divisor:[0]\\n\\rGleitkommadivision "
            "durch Null\n");

  r = Kvtool({"formula", "eval", "1+"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, "kvtool: Die Funktion darf nicht mit einem Operator enden\n");

  r = Kvtool({"formula", "eval", ""});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "\n");

  r = Kvtool({"formula", "eval", "1", "novalue"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, "kvtool: variable 'novalue' is not NAME=VALUE\n");

  r = Kvtool({"formula", "check"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, "kvtool: usage: kvtool formula check TEXT | formula eval TEXT [NAME=VALUE ...]\n");
}

}  // namespace
}  // namespace kv::tool
