// A dynamically typed value, the element of every variable list and the
// currency of the configuration store and the formula language.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace kv {

// Value-type codes; the numbers are part of the binary formats and of the
// configuration store, so they must never change.
enum TVarType : int {
  vtEmpty = 0,
  vtNull = 1,
  vtSmallint = 2,  // 16-bit signed
  vtInteger = 3,   // 32-bit signed
  vtSingle = 4,    // 32-bit float
  vtDouble = 5,    // 64-bit float
  vtCurrency = 6,  // 64-bit signed, value x 10000
  vtDate = 7,      // 64-bit float, days since 1899-12-30
  vtOleStr = 8,    // UTF-16 text
  vtError = 10,
  vtBoolean = 11,
  vtShortInt = 16,  // 8-bit signed
  vtByte = 17,      // 8-bit unsigned
  vtWord = 18,      // 16-bit unsigned
  vtLongWord = 19,  // 32-bit unsigned
  vtInt64 = 20,
  vtString = 256,  // 8-bit text (Windows-1252)
  vtByteArray = 0x2011,
};

class TVariant {
 public:
  TVariant() = default;  // empty
  static TVariant Null();
  static TVariant Error(int32_t code = 0);
  static TVariant Smallint(int16_t v);
  static TVariant Byte(uint8_t v);
  static TVariant Word(uint16_t v);
  static TVariant LongWord(uint32_t v);
  static TVariant Int64(int64_t v);
  static TVariant Single(float v);
  static TVariant Currency(int64_t scaled);  // value x 10000
  static TVariant CurrencyFromDouble(double v);
  static TVariant Date(double v);
  static TVariant Wide(std::u16string v);
  static TVariant Bytes(std::vector<uint8_t> v);

  TVariant(int32_t v);      // NOLINT: plain values convert implicitly, which keeps call sites short
  TVariant(double v);       // NOLINT
  TVariant(bool v);         // NOLINT
  TVariant(std::string v);  // NOLINT
  TVariant(const char* v);  // NOLINT

  TVarType Type() const { return type_; }
  bool IsEmpty() const { return type_ == vtEmpty; }
  bool IsNull() const { return type_ == vtNull; }
  bool IsEmptyOrNull() const { return type_ == vtEmpty || type_ == vtNull; }
  bool IsInteger() const;  // any of the integer codes
  bool IsFloat() const;    // single, double, currency, date
  bool IsString() const { return type_ == vtString || type_ == vtOleStr; }
  bool IsNumeric() const { return IsInteger() || IsFloat() || type_ == vtBoolean; }

  // Raw access; the caller checks Type() first.
  int64_t RawInt() const { return std::get<int64_t>(data_); }
  double RawFloat() const { return std::get<double>(data_); }
  const std::string& RawString() const { return std::get<std::string>(data_); }
  const std::u16string& RawWide() const { return std::get<std::u16string>(data_); }
  const std::vector<uint8_t>& RawBytes() const { return std::get<std::vector<uint8_t>>(data_); }

  // Conversions in the system's regional conventions. They throw
  // EVariantError when the value cannot be converted.
  int64_t AsInt64() const;
  int32_t AsInteger() const;
  double AsDouble() const;
  bool AsBool() const;
  std::string AsString() const;

  // Same type and same value (texts compared exactly).
  bool operator==(const TVariant& other) const;

 private:
  TVariant(TVarType t, int64_t v) : type_(t), data_(v) {}
  TVariant(TVarType t, double v) : type_(t), data_(v) {}

  TVarType type_ = vtEmpty;
  std::variant<std::monostate, int64_t, double, std::string, std::u16string, std::vector<uint8_t>> data_;
};

class EVariantError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Type name for diagnostics and the JSON form of variable lists.
const char* VarTypeName(TVarType t);

}  // namespace kv
