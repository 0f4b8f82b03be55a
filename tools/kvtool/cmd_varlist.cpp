// kvtool varlist dump|build: the binary form of a variable list to JSON and
// back, so a person can read and write every list the system stores.
#include <cmath>
#include <nlohmann/json.hpp>

#include "core/cp1252.h"
#include "core/regional.h"
#include "formats/varlist.h"
#include "tools/kvtool/kvtool.h"
#include "tools/kvtool/varlist_json.h"

namespace kv::tool {
namespace {

using nlohmann::json;

json FloatJson(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

double JsonFloat(const json& j) {
  if (j.is_string()) {
    const auto s = j.get<std::string>();
    if (s == "NaN") return NAN;
    if (s == "Infinity") return INFINITY;
    if (s == "-Infinity") return -INFINITY;
    throw std::runtime_error("not a number: " + s);
  }
  return j.get<double>();
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char* kDigits = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  throw std::runtime_error(std::string("not a hexadecimal digit: '") + c + "'");
}

std::vector<uint8_t> FromHex(const std::string& s) {
  if (s.size() % 2) throw std::runtime_error("odd number of hexadecimal digits");
  std::vector<uint8_t> out;
  for (size_t i = 0; i < s.size(); i += 2)
    out.push_back(static_cast<uint8_t>(HexDigit(s[i]) << 4 | HexDigit(s[i + 1])));
  return out;
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c < 0xE000; }

// True when every surrogate is part of a pair, so the text has a UTF-8 form.
bool WellFormedUtf16(const std::u16string& w) {
  for (size_t i = 0; i < w.size(); ++i) {
    if (IsHighSurrogate(w[i]) && i + 1 < w.size() && IsLowSurrogate(w[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(w[i]) || IsLowSurrogate(w[i])) {
      return false;
    }
  }
  return true;
}

// A wide string that is no well-formed UTF-16 (a lone surrogate, which the
// system stores as it got it) has no UTF-8 text for JSON. It is written as
// its code units instead: {"utf16": "0048 d800"}.
constexpr char kUtf16Key[] = "utf16";

json CodeUnitsJson(const std::u16string& w) {
  static const char* kDigits = "0123456789abcdef";
  std::string s;
  for (const char16_t c : w) {
    if (!s.empty()) s += ' ';
    for (int shift = 12; shift >= 0; shift -= 4) s += kDigits[(c >> shift) & 15];
  }
  return json{{kUtf16Key, s}};
}

std::u16string JsonCodeUnits(const json& j) {
  const auto s = j.at(kUtf16Key).get<std::string>();
  if (!s.empty() && (s.size() + 1) % 5 != 0)
    throw std::runtime_error("utf16: code units are four hexadecimal digits separated by one blank");
  std::u16string out;
  for (size_t i = 0; i < s.size(); i += 5) {
    if (i + 4 < s.size() && s[i + 4] != ' ')
      throw std::runtime_error("utf16: code units are four hexadecimal digits separated by one blank");
    int unit = 0;
    for (size_t k = i; k < i + 4; ++k) unit = unit << 4 | HexDigit(s[k]);
    out += static_cast<char16_t>(unit);
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp;
    size_t len;
    if (c < 0x80)
      cp = c, len = 1;
    else if ((c & 0xE0) == 0xC0)
      cp = c & 0x1F, len = 2;
    else if ((c & 0xF0) == 0xE0)
      cp = c & 0x0F, len = 3;
    else
      cp = c & 0x07, len = 4;
    for (size_t k = 1; k < len && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& w) {
  std::string out;
  for (size_t i = 0; i < w.size(); ++i) {
    uint32_t cp = w[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (w[++i] - 0xDC00);
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

json ValueJson(const TVariant& v) {
  switch (v.Type()) {
    case vtEmpty:
    case vtNull: return nullptr;
    case vtBoolean: return v.RawInt() != 0;
    case vtSingle:
    case vtDouble: return FloatJson(v.RawFloat());
    case vtDate: return FloatJson(v.RawFloat());
    case vtCurrency: return static_cast<double>(v.RawInt()) / 10000.0;
    case vtString: return Cp1252ToUtf8(v.RawString());
    case vtOleStr:
      return WellFormedUtf16(v.RawWide()) ? json(Utf16ToUtf8(v.RawWide())) : CodeUnitsJson(v.RawWide());
    case vtByteArray: return ToHex(v.RawBytes());
    default:
      if (v.IsInteger() || v.Type() == vtError) return v.RawInt();
      return nullptr;
  }
}

TVariant JsonValue(const std::string& type, const json& j) {
  if (type == "Empty") return TVariant();
  if (type == "Null") return TVariant::Null();
  if (type == "Boolean") return TVariant(j.get<bool>());
  if (type == "Smallint") return TVariant::Smallint(static_cast<int16_t>(j.get<int64_t>()));
  if (type == "Integer") return TVariant(static_cast<int32_t>(j.get<int64_t>()));
  if (type == "Byte") return TVariant::Byte(static_cast<uint8_t>(j.get<int64_t>()));
  if (type == "Int64") return TVariant::Int64(j.get<int64_t>());
  if (type == "Double") return TVariant(JsonFloat(j));
  if (type == "Single") return TVariant::Single(static_cast<float>(JsonFloat(j)));
  if (type == "Date") return TVariant::Date(JsonFloat(j));
  if (type == "Currency") return TVariant::Currency(std::llround(j.get<double>() * 10000.0));
  if (type == "String") return TVariant(Utf8ToCp1252(j.get<std::string>()));
  if (type == "OleStr")
    return TVariant::Wide(j.is_object() ? JsonCodeUnits(j) : Utf8ToUtf16(j.get<std::string>()));
  if (type == "Array Byte") return TVariant::Bytes(FromHex(j.get<std::string>()));
  if (type == "Error") return TVariant::Error(static_cast<int32_t>(j.get<int64_t>()));
  throw std::runtime_error("unknown value type '" + type + "'");
}

int Dump(const TArgs& args, TToolIO io) {
  std::string bytes;
  if (!ReadFileOrStdin(args, 1, io, bytes)) return Fail(io, "cannot read " + args[1]);
  TMemoryStream stream(bytes);
  TVarList list;
  list.LoadFromStream(stream);
  io.out << json{{"variables", VarListJson(list)}}.dump(2) << "\n";
  return 0;
}

int Build(const TArgs& args, TToolIO io) {
  std::string text;
  if (!ReadFileOrStdin(args, 1, io, text)) return Fail(io, "cannot read " + args[1]);
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::exception& e) {
    return Fail(io, std::string("not valid JSON: ") + e.what());
  }
  TVarList list;
  try {
    list = VarListFromJson(doc.at("variables"));
  } catch (const json::exception& e) {
    return Fail(io, std::string("bad variable list JSON: ") + e.what());
  }
  TMemoryStream out;
  list.SaveToStream(out);
  io.out.write(reinterpret_cast<const char*>(out.Bytes().data()), static_cast<std::streamsize>(out.Size()));
  return 0;
}

}  // namespace

nlohmann::json VarListJson(const TVarList& list) {
  json vars = json::array();
  list.ForEach([&](std::string_view name, const TVariant& v) {
    json item = {{"name", Cp1252ToUtf8(name)}, {"type", VarTypeName(v.Type())}, {"value", ValueJson(v)}};
    if (v.Type() == vtDate) item["text"] = regional::DateTimeToStr(v.RawFloat());
    vars.push_back(std::move(item));
  });
  return vars;
}

TVarList VarListFromJson(const nlohmann::json& variables) {
  TVarList list;
  for (const auto& item : variables)
    list.SetValue(Utf8ToCp1252(item.at("name").get<std::string>()),
                  JsonValue(item.at("type").get<std::string>(), item.value("value", json())));
  return list;
}

int CmdVarlist(const TArgs& args, TToolIO io) {
  if (!args.empty() && args[0] == "dump") return Dump(args, io);
  if (!args.empty() && args[0] == "build") return Build(args, io);
  return Fail(io, "usage: kvtool varlist dump [FILE] | varlist build [FILE]");
}

}  // namespace kv::tool
