// Pieces shared by the formula sources: character classes, value kinds and
// conversions, the operators and the texts of their failures.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "formats/variant.h"

namespace kv::arith {

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsUpperLetter(char c) { return c >= 'A' && c <= 'Z'; }
inline bool IsIdentStart(char c) {
  return c == '$' || c == '@' || IsUpperLetter(c) || c == '\\' || c == '_' || c == '~';
}
inline bool IsIdentChar(char c) {
  return c == '$' || IsDigit(c) || IsUpperLetter(c) || c == '\\' || c == '_' || c == '~';
}

// The date text of a date literal: the digits before the first dot written
// as a plain integer (leading zeros dropped), then the dot and the rest.
std::string DateLiteralText(std::string_view digits, std::string_view rest);

// The kinds of value the language tells apart.
enum class TKind { Empty, Boolean, Whole, Float, Date, String, Other };
TKind KindOf(const TVariant& v);

// Conversions of the language. They throw std::runtime_error (EVariantError)
// with the platform text when a value cannot be converted.
double ToNumber(const TVariant& v);
int32_t ToWhole(const TVariant& v);  // nearest, ties to even; 32-bit range
bool ToBool(const TVariant& v);
std::string ToText(const TVariant& v);  // never throws

TVariant MakeWhole(int64_t v);  // 32-bit when it fits
// A floating result; throws the overflow or invalid-operation text when the
// result is not a finite number.
double CheckedFloat(double result, double a, double b);

// Regional, case-sensitive string order: letters first without regard to
// accents and case, then accents, then lower case before upper case.
int CompareRegional(std::string_view a, std::string_view b);

// Operators. Each throws EArithError with the message of the failed
// operation.
enum class TCompare { Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual };
TVariant Add(const TVariant& l, const TVariant& r);
TVariant Subtract(const TVariant& l, const TVariant& r);
TVariant Multiply(const TVariant& l, const TVariant& r);
TVariant Divide(const TVariant& l, const TVariant& r);
TVariant Power(const TVariant& l, const TVariant& r);
TVariant Compare(TCompare op, const TVariant& l, const TVariant& r);
TVariant Logic(char op, const TVariant& l, const TVariant& r);  // '&' or '|'
TVariant Factorial(const TVariant& v);
TVariant Percent(const TVariant& v);
TVariant Negate(const TVariant& v);

// Platform texts used as the underlying error of an operation.
inline constexpr const char* kMsgZeroDivide = "Gleitkommadivision durch Null";
inline constexpr const char* kMsgInvalidOp =
    "Ung\xFC"
    "ltige Gleitkommaoperation";
inline constexpr const char* kMsgOverflow =
    "Gleitkomma\xFC"
    "berlauf";
std::string StringTooLongText();

// Failure texts of evaluation.
std::string OperatorExpectedText(size_t position, std::string_view formula);
std::string NestingText(size_t position, std::string_view formula);
std::string TooLongText(size_t length);
std::string StepsText();
std::string UndefinedFunctionText(std::string_view name);
std::string FunctionFailureText(std::string_view name, const std::vector<TVariant>& args);
std::string UnknownVariableText(std::string_view name);

}  // namespace kv::arith
