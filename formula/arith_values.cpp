// Value kinds, conversions and failure texts of the formula language.
#include <array>
#include <cmath>
#include <limits>

#include "core/cp1252.h"
#include "core/datetime_format.h"
#include "core/regional.h"
#include "formula/arith.h"
#include "formula/arith_internal.h"

namespace kv {

std::string ArithValueToText(const TVariant& value) { return arith::ToText(value); }

namespace arith {

std::string DateLiteralText(std::string_view digits, std::string_view rest) {
  size_t first = 0;
  while (first + 1 < digits.size() && digits[first] == '0') ++first;
  std::string text(digits.substr(first));
  text += rest;
  return text;
}

TKind KindOf(const TVariant& v) {
  if (v.IsInteger()) return TKind::Whole;
  switch (v.Type()) {
    case vtEmpty: return TKind::Empty;
    case vtBoolean: return TKind::Boolean;
    case vtDate: return TKind::Date;
    case vtSingle:
    case vtDouble:
    case vtCurrency: return TKind::Float;
    case vtString:
    case vtOleStr: return TKind::String;
    default: return TKind::Other;
  }
}

double ToNumber(const TVariant& v) { return v.AsDouble(); }

int32_t ToWhole(const TVariant& v) {
  const double r = std::nearbyint(ToNumber(v));
  if (!(r >= std::numeric_limits<int32_t>::min() && r <= std::numeric_limits<int32_t>::max()))
    throw EVariantError(std::string("Variante des Typs (") + VarTypeName(v.Type()) +
                        ") konnte nicht in Typ (Integer) konvertiert werden");
  return static_cast<int32_t>(r);
}

bool ToBool(const TVariant& v) { return v.AsBool(); }

std::string ToText(const TVariant& v) {
  // A date-time pushed outside the calendar by arithmetic is shown as its
  // day count; there is no date to name.
  if (v.Type() == vtDate && !IsValidDateTime(v.RawFloat())) return regional::FloatToStr(v.RawFloat());
  try {
    return v.AsString();
  } catch (const EVariantError&) {
    return "";
  }
}

TVariant MakeWhole(int64_t v) {
  if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max())
    return TVariant(static_cast<int32_t>(v));
  return TVariant::Int64(v);
}

double CheckedFloat(double result, double a, double b) {
  if (std::isnan(result)) throw EVariantError(kMsgInvalidOp);
  if (std::isinf(result) && std::isfinite(a) && std::isfinite(b)) throw EVariantError(kMsgOverflow);
  return result;
}

namespace {

// Lower-case letter without its accent, for the first comparison pass.
std::array<unsigned char, 256> BuildBaseLetters() {
  std::array<unsigned char, 256> base{};
  for (int c = 0; c < 256; ++c) base[c] = static_cast<unsigned char>(AnsiLowerChar(static_cast<char>(c)));
  const auto map = [&](int from, int to, char letter) {
    for (int c = from; c <= to; ++c) {
      base[c] = static_cast<unsigned char>(letter);
      base[static_cast<unsigned char>(AnsiUpperChar(static_cast<char>(c)))] =
          static_cast<unsigned char>(letter);
    }
  };
  map(0xE0, 0xE6, 'a');
  map(0xE7, 0xE7, 'c');
  map(0xE8, 0xEB, 'e');
  map(0xEC, 0xEF, 'i');
  map(0xF0, 0xF0, 'd');
  map(0xF1, 0xF1, 'n');
  map(0xF2, 0xF6, 'o');
  map(0xF8, 0xF8, 'o');
  map(0xF9, 0xFC, 'u');
  map(0xFD, 0xFD, 'y');
  map(0xFF, 0xFF, 'y');
  map(0x9A, 0x9A, 's');
  map(0x9C, 0x9C, 'o');
  map(0x9E, 0x9E, 'z');
  base[0xDF] = 's';
  return base;
}

const std::array<unsigned char, 256>& BaseLetters() {
  static const std::array<unsigned char, 256> base = BuildBaseLetters();
  return base;
}

template <typename Key>
int ComparePass(std::string_view a, std::string_view b, Key key) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const int x = key(static_cast<unsigned char>(a[i]));
    const int y = key(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

int CompareRegional(std::string_view a, std::string_view b) {
  const auto& base = BaseLetters();
  if (int r = ComparePass(a, b, [&](unsigned char c) { return base[c]; })) return r;
  const auto lower = [](unsigned char c) {
    return static_cast<unsigned char>(AnsiLowerChar(static_cast<char>(c)));
  };
  if (int r = ComparePass(a, b, lower)) return r;
  // Same letters: the lower-case form sorts first.
  if (int r = ComparePass(a, b, [&](unsigned char c) { return lower(c) == c ? 0 : 1; })) return r;
  return ComparePass(a, b, [](unsigned char c) { return c; });
}

std::string StringTooLongText() {
  return "Die Zeichenkette w\xFC"
         "rde l\xE4"
         "nger als " +
         std::to_string(kMaxFormulaString) + " Zeichen";
}

std::string OperatorExpectedText(size_t position, std::string_view formula) {
  return "ARITH-FEHLER an Position " + std::to_string(position) + " der Formel\n\r[" + std::string(formula) +
         "]\n\rOperator erwartet!";
}

std::string NestingText(size_t position, std::string_view formula) {
  return "ARITH-FEHLER an Position " + std::to_string(position) + " der Formel\n\r[" + std::string(formula) +
         "]\n\rMehr als " + std::to_string(kMaxFormulaNesting) + " verschachtelte Ebenen!";
}

std::string TooLongText(size_t length) {
  return "ARITH-FEHLER Die Formel ist mit " + std::to_string(length) + " Zeichen zu lang, erlaubt sind " +
         std::to_string(kMaxFormulaLength) + " Zeichen!";
}

std::string StepsText() {
  return "ARITH-FEHLER Die Berechnung braucht mehr als " + std::to_string(kMaxEvaluationSteps) +
         " Rechenschritte!";
}

std::string UndefinedFunctionText(std::string_view name) {
  return "ARITH-FEHLER Funktion [" + std::string(name) + "] ist nicht definiert!";
}

std::string FunctionFailureText(std::string_view name, const std::vector<TVariant>& args) {
  std::string text =
      "ARITH-FEHLER Fehler beim Ausf\xFC"
      "hren der '" +
      std::string(name) +
      "'-Funktion. Parametertypen pr\xFC"
      "fen.\n\r";
  for (size_t i = 0; i < 3; ++i) {
    if (i > 0) text += ' ';
    text += std::to_string(i + 1) + "[" + (i < args.size() ? ToText(args[i]) : std::string()) + "]";
  }
  return text;
}

std::string UnknownVariableText(std::string_view name) {
  return "Variable " + std::string(name) + " nicht gefunden";
}

}  // namespace arith
}  // namespace kv
