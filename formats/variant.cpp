#include "formats/variant.h"

#include <cmath>
#include <limits>

#include "core/cp1252.h"
#include "core/regional.h"

namespace kv {
namespace {

[[noreturn]] void CastError(TVarType from, const char* to) {
  throw EVariantError(std::string("Variante des Typs (") + VarTypeName(from) + ") konnte nicht in Typ (" +
                      to + ") konvertiert werden");
}

std::string WideToCp1252(const std::u16string& w) {
  std::string utf8;
  for (char16_t u : w) {
    const uint32_t cp = u;
    if (cp < 0x80) {
      utf8 += static_cast<char>(cp);
    } else if (cp < 0x800) {
      utf8 += static_cast<char>(0xC0 | (cp >> 6));
      utf8 += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      utf8 += '?';
    } else {
      utf8 += static_cast<char>(0xE0 | (cp >> 12));
      utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return Utf8ToCp1252(utf8);
}

// Rounds half to even, as the platform's float-to-integer conversion does.
int64_t RoundEven(double v, TVarType from) {
  if (!std::isfinite(v) || v >= 9.2233720368547758e18 || v < -9.2233720368547758e18) CastError(from, "Int64");
  return static_cast<int64_t>(std::nearbyint(v));
}

}  // namespace

const char* VarTypeName(TVarType t) {
  switch (t) {
    case vtEmpty: return "Empty";
    case vtNull: return "Null";
    case vtSmallint: return "Smallint";
    case vtInteger: return "Integer";
    case vtSingle: return "Single";
    case vtDouble: return "Double";
    case vtCurrency: return "Currency";
    case vtDate: return "Date";
    case vtOleStr: return "OleStr";
    case vtError: return "Error";
    case vtBoolean: return "Boolean";
    case vtShortInt: return "ShortInt";
    case vtByte: return "Byte";
    case vtWord: return "Word";
    case vtLongWord: return "LongWord";
    case vtInt64: return "Int64";
    case vtString: return "String";
    case vtByteArray: return "Array Byte";
  }
  return "Unknown";
}

TVariant TVariant::Null() {
  TVariant v;
  v.type_ = vtNull;
  return v;
}
TVariant TVariant::Error(int32_t code) { return TVariant(vtError, static_cast<int64_t>(code)); }
TVariant TVariant::Smallint(int16_t v) { return TVariant(vtSmallint, static_cast<int64_t>(v)); }
TVariant TVariant::Byte(uint8_t v) { return TVariant(vtByte, static_cast<int64_t>(v)); }
TVariant TVariant::Word(uint16_t v) { return TVariant(vtWord, static_cast<int64_t>(v)); }
TVariant TVariant::LongWord(uint32_t v) { return TVariant(vtLongWord, static_cast<int64_t>(v)); }
TVariant TVariant::Int64(int64_t v) { return TVariant(vtInt64, v); }
TVariant TVariant::Single(float v) { return TVariant(vtSingle, static_cast<double>(v)); }
TVariant TVariant::Currency(int64_t scaled) { return TVariant(vtCurrency, scaled); }
TVariant TVariant::CurrencyFromDouble(double v) {
  return TVariant(vtCurrency, RoundEven(v * 10000.0, vtDouble));
}
TVariant TVariant::Date(double v) { return TVariant(vtDate, v); }

TVariant TVariant::Wide(std::u16string v) {
  TVariant r;
  r.type_ = vtOleStr;
  r.data_ = std::move(v);
  return r;
}

TVariant TVariant::Bytes(std::vector<uint8_t> v) {
  TVariant r;
  r.type_ = vtByteArray;
  r.data_ = std::move(v);
  return r;
}

TVariant::TVariant(int32_t v) : type_(vtInteger), data_(static_cast<int64_t>(v)) {}
TVariant::TVariant(double v) : type_(vtDouble), data_(v) {}
TVariant::TVariant(bool v) : type_(vtBoolean), data_(static_cast<int64_t>(v ? 1 : 0)) {}
TVariant::TVariant(std::string v) : type_(vtString), data_(std::move(v)) {}
TVariant::TVariant(const char* v) : type_(vtString), data_(std::string(v)) {}

bool TVariant::IsInteger() const {
  switch (type_) {
    case vtSmallint:
    case vtInteger:
    case vtShortInt:
    case vtByte:
    case vtWord:
    case vtLongWord:
    case vtInt64: return true;
    default: return false;
  }
}

bool TVariant::IsFloat() const {
  return type_ == vtSingle || type_ == vtDouble || type_ == vtCurrency || type_ == vtDate;
}

int64_t TVariant::AsInt64() const {
  if (IsInteger()) return RawInt();
  switch (type_) {
    case vtEmpty: return 0;
    case vtBoolean: return RawInt() ? -1 : 0;
    case vtSingle:
    case vtDouble:
    case vtDate: return RoundEven(RawFloat(), type_);
    case vtCurrency: return RoundEven(static_cast<double>(RawInt()) / 10000.0, type_);
    case vtString:
    case vtOleStr: {
      const std::string s = AsString();
      int64_t i;
      if (regional::TryStrToInt(s, i)) return i;
      double d;
      if (regional::TryStrToFloat(s, d)) return RoundEven(d, type_);
      CastError(type_, "Int64");
    }
    default: CastError(type_, "Int64");
  }
}

int32_t TVariant::AsInteger() const {
  const int64_t v = AsInt64();
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    if (type_ == vtLongWord || (type_ == vtString && v <= 0xFFFFFFFFll && v >= 0))
      return static_cast<int32_t>(static_cast<uint32_t>(v));  // keeps the bits, as a 32-bit cast does
    CastError(type_, "Integer");
  }
  return static_cast<int32_t>(v);
}

double TVariant::AsDouble() const {
  if (IsInteger()) return static_cast<double>(RawInt());
  switch (type_) {
    case vtEmpty: return 0;
    case vtBoolean: return RawInt() ? -1 : 0;
    case vtSingle:
    case vtDouble:
    case vtDate: return RawFloat();
    case vtCurrency: return static_cast<double>(RawInt()) / 10000.0;
    case vtString:
    case vtOleStr: {
      double d;
      if (regional::TryStrToFloat(AsString(), d)) return d;
      CastError(type_, "Double");
    }
    default: CastError(type_, "Double");
  }
}

bool TVariant::AsBool() const {
  switch (type_) {
    case vtEmpty: return false;
    case vtBoolean: return RawInt() != 0;
    case vtString:
    case vtOleStr: {
      const std::string s = AsString();
      if (SameText(s, "True")) return true;
      if (SameText(s, "False")) return false;
      double d;
      if (regional::TryStrToFloat(s, d)) return d != 0;
      CastError(type_, "Boolean");
    }
    default:
      if (IsNumeric()) return AsDouble() != 0;
      CastError(type_, "Boolean");
  }
}

std::string TVariant::AsString() const {
  if (IsInteger()) return regional::IntToStr(RawInt());
  switch (type_) {
    case vtEmpty:
    case vtNull: return "";
    case vtBoolean: return RawInt() ? "True" : "False";
    case vtSingle:
    case vtDouble: return regional::FloatToStr(RawFloat());
    case vtCurrency: return regional::FloatToStr(static_cast<double>(RawInt()) / 10000.0);
    case vtDate: return regional::DateTimeToStr(RawFloat());
    case vtString: return RawString();
    case vtOleStr: return WideToCp1252(RawWide());
    default: CastError(type_, "String");
  }
}

bool TVariant::operator==(const TVariant& other) const {
  return type_ == other.type_ && data_ == other.data_;
}

}  // namespace kv
