// The built-in functions of the formula language. Each takes its evaluated
// arguments; any exception thrown here is reported by the caller as the
// function's failure, with the arguments.
#include <algorithm>
#include <cmath>
#include <limits>

#include "core/cp1252.h"
#include "core/datetime_format.h"
#include "formula/arith.h"
#include "formula/arith_internal.h"

namespace kv {

using namespace arith;

namespace {

// Whole-number results are 32-bit; a value beyond that range is a failure of
// the function rather than a silently wrapped number.
TVariant Whole(double v) {
  if (!(v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()))
    throw EArithError("whole number out of range");
  return TVariant(static_cast<int32_t>(v));
}

TVariant Float(double v) { return TVariant(CheckedFloat(v, 0, 0)); }

std::string Capped(std::string s) {
  if (s.size() > kMaxFormulaString) throw EArithError(StringTooLongText());
  return s;
}

// 1-based position of the first occurrence, 0 when absent or empty.
int64_t PosOf(std::string_view needle, std::string_view haystack) {
  if (needle.empty()) return 0;
  const size_t p = haystack.find(needle);
  return p == std::string_view::npos ? 0 : static_cast<int64_t>(p) + 1;
}

TVariant SubStr(const std::vector<TVariant>& a) {
  const std::string s = ToText(a[0]);
  const auto bound = [&](const TVariant& v) -> int64_t {
    return KindOf(v) == TKind::String ? PosOf(ToText(v), s) : ToWhole(v);
  };
  const int64_t from = bound(a[1]), to = bound(a[2]);
  const auto len = static_cast<int64_t>(s.size());
  if (from >= 1 && from <= to) {
    if (from > len) return TVariant("");
    return TVariant(
        s.substr(static_cast<size_t>(from - 1), static_cast<size_t>(std::min(to, len) - from + 1)));
  }
  if (from == 0 && to > 0) return TVariant(s.substr(0, static_cast<size_t>(std::min(to, len))));
  return TVariant("");
}

TVariant Copy(const std::vector<TVariant>& a) {
  const std::string s = ToText(a[0]);
  int64_t start = ToWhole(a[1]);
  const int64_t count = ToWhole(a[2]);
  if (start < 1) start = 1;
  if (start > static_cast<int64_t>(s.size()) || count < 1) return TVariant("");
  return TVariant(s.substr(static_cast<size_t>(start - 1), static_cast<size_t>(count)));
}

// Fixed-width text: cut to n characters, or padded to n. Whole-valued
// floating-point numbers get leading zeros (after the sign, so -42 becomes
// -0042 and stays a number); everything else trailing blanks.
TVariant NormStr(const std::vector<TVariant>& a) {
  const std::string s = ToText(a[0]);
  const int32_t n = ToWhole(a[1]);
  if (n > 0 && static_cast<size_t>(n) > kMaxFormulaString) throw EArithError(StringTooLongText());
  if (static_cast<int64_t>(s.size()) >= n) return TVariant(s.substr(0, static_cast<size_t>(std::max(n, 0))));
  const size_t missing = static_cast<size_t>(n) - s.size();
  if (KindOf(a[0]) == TKind::Float) {
    const double v = ToNumber(a[0]);
    if (std::isfinite(v) && v == std::trunc(v)) {
      const size_t sign = !s.empty() && s[0] == '-' ? 1 : 0;
      return TVariant(s.substr(0, sign) + std::string(missing, '0') + s.substr(sign));
    }
  }
  return TVariant(s + std::string(missing, ' '));
}

TVariant SortStr(const TVariant& v) {
  std::string out;
  for (char c : AnsiUpperCase(ToText(v))) {
    switch (static_cast<unsigned char>(c)) {
      case 0xC4: out += "AE"; break;
      case 0xD6: out += "OE"; break;
      case 0xDC: out += "UE"; break;
      case 0xDF: out += "SS"; break;
      default: out += c;
    }
  }
  return TVariant(Capped(std::move(out)));
}

TVariant TelStr(const TVariant& v) {
  std::string out;
  for (char c : ToText(v))
    if (IsDigit(c)) out += c;
  return TVariant(std::move(out));
}

// Commercial rounding: halves up (KROUND1) or down (KROUND2), decided by the
// thousandths of the value.
TVariant KRound(const TVariant& v, bool halves_down) {
  const double x = ToNumber(v);
  const double m = std::fmod(std::nearbyint(x * 1000), 1000);
  const bool down = halves_down ? m <= 500 : m < 500;
  return Whole(std::nearbyint(down ? x - 0.25 : x + 0.25));
}

TVariant Round2(const TVariant& v, const TVariant& digits) {
  const double x = ToNumber(v);
  const double scale = std::pow(10.0, ToNumber(digits));
  return Float(std::nearbyint(x * scale) / scale);
}

TVariant DateStr(const TVariant& value, const TVariant& format) {
  return TVariant(Capped(FormatDateTime(AnsiUpperCase(ToText(format)), ToNumber(value))));
}

}  // namespace

TVariant TArith::Sum(const std::vector<TVariant>& a) {
  const std::string text = Normalize(ToText(a[0]));
  const int64_t from = ToWhole(a[1]), to = ToWhole(a[2]);
  TVariant result(0.0);
  if (to < from) return result;
  if (to - from + 1 > kMaxSumIterations) throw EArithError("too many iterations");
  for (int64_t i = from; i <= to; ++i) {
    variables_.SetValue("@", TVariant(static_cast<int32_t>(i)));
    Charge(1 + static_cast<int64_t>(text.size() / 64));
    result = Add(result, Evaluate(text));
  }
  return result;
}

TVariant TArith::RunFunction(const TArithFunction& f, const std::vector<TVariant>& a) {
  switch (f.number) {
    case 1: return MakeWhole(std::min(ToWhole(a[0]), ToWhole(a[1])));
    case 2: return MakeWhole(std::max(ToWhole(a[0]), ToWhole(a[1])));
    case 3: return Whole(std::trunc(ToNumber(a[0])));
    case 4: return Whole(std::nearbyint(ToNumber(a[0])));
    case 5: return ToBool(a[0]) ? a[1] : a[2];
    case 6: return SubStr(a);
    case 7: return TVariant(ToText(a[0]));
    case 8: return MakeWhole(PosOf(ToText(a[0]), ToText(a[1])));
    case 9: return MakeWhole(static_cast<int64_t>(ToText(a[0]).size()));
    case 10: return DateStr(a[0], a[1]);
    case 11: return SortStr(a[0]);
    case 12: return NormStr(a);
    case 13: return Copy(a);
    case 14: return TelStr(a[0]);
    case 15: return KRound(a[0], false);
    case 16: return KRound(a[0], true);
    case 17: return Sum(a);
    case 18: return Float(std::fabs(ToNumber(a[0])));
    case 19: return Float(std::sin(ToNumber(a[0])));
    case 20: return Float(std::cos(ToNumber(a[0])));
    case 21: return Float(std::tan(ToNumber(a[0])));
    case 22: return Float(std::asin(ToNumber(a[0])));
    case 23: return Float(std::acos(ToNumber(a[0])));
    case 24: return Float(std::atan(ToNumber(a[0])));
    case 25: return Float(std::log(ToNumber(a[0])));
    case 26: return Float(std::exp(ToNumber(a[0])));
    case 27: {
      const int32_t n = ToWhole(a[0]);
      if (n < 0) throw EArithError("negative range");
      if (n == 0) return TVariant(int32_t{1});
      if (!random_) Randomize(RandomSeed());
      return TVariant(std::uniform_int_distribution<int32_t>(1, n)(*random_));
    }
    case 28: return Round2(a[0], a[1]);
    case 29: return ToNumber(a[0]) < 0 ? TVariant(int32_t{0}) : a[0];
    case 30: return ToNumber(a[0]) > 0 ? TVariant(int32_t{0}) : a[0];
    default: throw EArithError("unknown function number");
  }
}

}  // namespace kv
