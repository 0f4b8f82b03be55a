// The operators of the formula language and the messages of their failures.
#include <cmath>
#include <limits>
#include <new>

#include "core/cp1252.h"
#include "formula/arith.h"
#include "formula/arith_internal.h"

namespace kv::arith {
namespace {

bool IsIntegral(TKind k) { return k == TKind::Whole || k == TKind::Boolean || k == TKind::Empty; }

// Exact value of an integral operand (a whole number beyond 2^53 would lose
// digits through a double).
int64_t IntegralValue(const TVariant& v) { return v.IsInteger() ? v.RawInt() : v.AsInt64(); }

// Runs an operation and turns any failure of it into the operator's message,
// with the underlying error text as the last part.
template <typename Op, typename Text>
TVariant Guarded(Op op, Text text) {
  try {
    return op();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const EArithError&) {
    throw;
  } catch (const std::exception& e) {
    throw EArithError(text(e.what()));
  }
}

std::string Quote(const TVariant& v) { return "[" + ToText(v) + "]"; }

// +, -, * on numbers: whole numbers stay whole while the result fits in
// 64 bits; a date-time moved by a number stays a date-time.
TVariant Numeric(char op, const TVariant& l, const TVariant& r) {
  const TKind a = KindOf(l), b = KindOf(r);
  const double x = ToNumber(l), y = ToNumber(r);
  if (IsIntegral(a) && IsIntegral(b)) {
    const int64_t xi = IntegralValue(l), yi = IntegralValue(r);
    int64_t res;
    const bool overflow = op == '+'   ? __builtin_add_overflow(xi, yi, &res)
                          : op == '-' ? __builtin_sub_overflow(xi, yi, &res)
                                      : __builtin_mul_overflow(xi, yi, &res);
    if (!overflow) return MakeWhole(res);
  }
  const double res = CheckedFloat(op == '+' ? x + y : op == '-' ? x - y : x * y, x, y);
  const bool date = (op == '+' && (a == TKind::Date || b == TKind::Date)) ||
                    (op == '-' && a == TKind::Date && b != TKind::Date);
  return date ? TVariant::Date(res) : TVariant(res);
}

// Order of two operands: <0, 0, >0; throws when the kinds do not compare.
int Order(const TVariant& l, const TVariant& r) {
  const TKind a = KindOf(l), b = KindOf(r);
  const bool ls = a == TKind::String || a == TKind::Empty, rs = b == TKind::String || b == TKind::Empty;
  if (ls && rs && (a == TKind::String || b == TKind::String)) return CompareRegional(ToText(l), ToText(r));
  double x, y;
  if (a == TKind::Boolean && b == TKind::String) {
    x = ToNumber(l);
    y = ToBool(r) ? -1 : 0;
  } else if (a == TKind::String && b == TKind::Boolean) {
    x = ToBool(l) ? -1 : 0;
    y = ToNumber(r);
  } else {
    x = ToNumber(l);
    y = ToNumber(r);
  }
  if (std::isnan(x) || std::isnan(y)) throw EVariantError(kMsgInvalidOp);
  return x < y ? -1 : (x > y ? 1 : 0);
}

bool IsBoolLike(const TVariant& v) {
  if (KindOf(v) == TKind::Boolean) return true;
  if (KindOf(v) != TKind::String) return false;
  const std::string s = ToText(v);
  return SameText(s, "True") || SameText(s, "False");
}

std::string CompareText(const TVariant& l, const TVariant& r, const std::string& msg) {
  return "ARITH-FEHLER bei Vergleichs- oder logischer Operation\r\nSeite1:" + Quote(l) +
         "   Seite2:" + Quote(r) + " sind von inkompatiblen Datentypen\n\r" + msg;
}

}  // namespace

TVariant Add(const TVariant& l, const TVariant& r) {
  return Guarded(
      [&] {
        const TKind a = KindOf(l), b = KindOf(r);
        const bool ls = a == TKind::String || a == TKind::Empty, rs = b == TKind::String || b == TKind::Empty;
        if (ls && rs && (a == TKind::String || b == TKind::String)) {
          std::string s = ToText(l);
          const std::string t = ToText(r);
          if (s.size() + t.size() > kMaxFormulaString) throw EVariantError(StringTooLongText());
          return TVariant(s += t);
        }
        return Numeric('+', l, r);
      },
      [&](const std::string& msg) {
        return "ARITH-FEHLER bei Addition!\r\nSummand:" + Quote(l) + " + Summand:" + Quote(r) + "\n\r" + msg;
      });
}

TVariant Subtract(const TVariant& l, const TVariant& r) {
  return Guarded([&] { return Numeric('-', l, r); },
                 [&](const std::string& msg) {
                   return "ARITH-FEHLER bei Subtraktion!\r\nMinuend:" + Quote(l) +
                          " - Subtrahend:" + Quote(r) + "\n\r" + msg;
                 });
}

TVariant Multiply(const TVariant& l, const TVariant& r) {
  return Guarded([&] { return Numeric('*', l, r); },
                 [&](const std::string& msg) {
                   return "ARITH-FEHLER bei Multiplikation!\r\nFaktor:" + Quote(l) + " * Faktor:" + Quote(r) +
                          "\n\r" + msg;
                 });
}

TVariant Divide(const TVariant& l, const TVariant& r) {
  return Guarded(
      [&] {
        const double x = ToNumber(l), y = ToNumber(r);
        if (y == 0) throw EVariantError(x == 0 || std::isnan(x) ? kMsgInvalidOp : kMsgZeroDivide);
        return TVariant(CheckedFloat(x / y, x, y));
      },
      [&](const std::string& msg) {
        return "ARITH-FEHLER bei Division!\r\nDividend:" + Quote(l) + " / Divisor:" + Quote(r) + "\n\r" + msg;
      });
}

TVariant Power(const TVariant& l, const TVariant& r) {
  return Guarded(
      [&] {
        const double base = ToNumber(l), exponent = ToNumber(r);
        if (exponent < 1 && base <= 0) return TVariant(int32_t{0});
        return TVariant(CheckedFloat(std::pow(base, exponent), base, exponent));
      },
      [&](const std::string& msg) {
        return "ARITH-FEHLER beim Potenzieren!\n\rBasis" + Quote(l) + "^Exponent" + Quote(r) + msg;
      });
}

TVariant Compare(TCompare op, const TVariant& l, const TVariant& r) {
  return Guarded(
      [&] {
        const int o = Order(l, r);
        switch (op) {
          case TCompare::Equal: return TVariant(o == 0);
          case TCompare::NotEqual: return TVariant(o != 0);
          case TCompare::Less: return TVariant(o < 0);
          case TCompare::LessEqual: return TVariant(o <= 0);
          case TCompare::Greater: return TVariant(o > 0);
          case TCompare::GreaterEqual: return TVariant(o >= 0);
        }
        return TVariant(false);
      },
      [&](const std::string& msg) { return CompareText(l, r, msg); });
}

// Booleans combine logically; everything else bitwise on whole numbers.
TVariant Logic(char op, const TVariant& l, const TVariant& r) {
  return Guarded(
      [&] {
        if (IsBoolLike(l) && IsBoolLike(r)) {
          const bool x = ToBool(l), y = ToBool(r);
          return TVariant(op == '&' ? (x && y) : (x || y));
        }
        const int32_t x = ToWhole(l), y = ToWhole(r);
        return MakeWhole(op == '&' ? (x & y) : (x | y));
      },
      [&](const std::string& msg) { return CompareText(l, r, msg); });
}

TVariant Factorial(const TVariant& v) {
  const std::string head = "ARITH-FEHLER beim Fakult\xE4t bilden!\n\r" + Quote(v);
  double n;
  try {
    n = ToNumber(v);
  } catch (const EVariantError&) {
    n = std::numeric_limits<double>::quiet_NaN();
  }
  if (!(n >= 0) || n != std::floor(n))
    throw EArithError(head +
                      " ist kein g\xFC"
                      "ltiger Integer-Wert.");
  // 171! and beyond exceed the floating-point range; stop before looping.
  if (n > 170) throw EArithError(head + "! " + kMsgOverflow);
  double result = 1;
  for (int i = 2; i <= static_cast<int>(n); ++i) result *= i;
  return TVariant(result);
}

TVariant Percent(const TVariant& v) {
  return Guarded([&] { return TVariant(ToNumber(v) / 100.0); },
                 [&](const std::string& msg) {
                   return "ARITH-FEHLER bei Division!\r\nDividend:" + Quote(v) + " / Divisor:[100]\n\r" + msg;
                 });
}

TVariant Negate(const TVariant& v) {
  try {
    switch (KindOf(v)) {
      case TKind::Whole:
      case TKind::Boolean:
      case TKind::Empty: {
        const int64_t x = IntegralValue(v);
        if (x != std::numeric_limits<int64_t>::min()) return MakeWhole(-x);
        return TVariant(-static_cast<double>(x));
      }
      default: return TVariant(-ToNumber(v));
    }
  } catch (const EVariantError& e) {
    throw EArithError(e.what());
  }
}

}  // namespace kv::arith
