// Shared by the formula tests: evaluate as every caller does, take the
// failure text, and check a table of (formula, text, kind).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "formula/arith.h"

namespace kv::testing {

// Normalises, checks and evaluates.
inline TVariant Eval(TArith& arith, std::string_view formula) {
  const std::string text = TArith::Normalize(formula);
  const std::string message = TArith::CheckSyntax(text);
  if (!message.empty()) throw EArithError("syntax: " + message);
  return arith.Evaluate(text);
}

inline std::string FailureOf(TArith& arith, std::string_view formula) {
  try {
    return "<no failure: " + ArithValueToText(Eval(arith, formula)) + ">";
  } catch (const EArithError& e) {
    return e.what();
  }
}

struct TValueCase {
  const char* formula;
  const char* text;
  TVarType type;
};

inline void ExpectValues(TArith& arith, const TValueCase* begin, const TValueCase* end) {
  for (const TValueCase* c = begin; c != end; ++c) {
    try {
      const TVariant v = Eval(arith, c->formula);
      EXPECT_EQ(ArithValueToText(v), c->text) << c->formula;
      EXPECT_EQ(v.Type(), c->type) << c->formula;
    } catch (const EArithError& e) {
      ADD_FAILURE() << c->formula << ": " << e.what();
    }
  }
}

}  // namespace kv::testing
