#include "formats/base64.h"

#include <array>
#include <cstdint>

namespace kv {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr int8_t kSkip = -1;
constexpr int8_t kPad = -2;

constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = kSkip;
  for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  t[static_cast<uint8_t>('=')] = kPad;
  return t;
}

constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = uint32_t{p[i]} << 16 | uint32_t{p[i + 1]} << 8 | p[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    const uint32_t v = uint32_t{p[i]} << 16 | (rest == 2 ? uint32_t{p[i + 1]} << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  uint32_t acc = 0;
  int filled = 0;
  for (const char ch : text) {
    const int8_t v = kDecode[static_cast<uint8_t>(ch)];
    if (v == kSkip) continue;
    if (v == kPad) break;
    acc = acc << 6 | static_cast<uint32_t>(v);
    if (++filled == 4) {
      out += static_cast<char>(acc >> 16);
      out += static_cast<char>(acc >> 8);
      out += static_cast<char>(acc);
      acc = 0;
      filled = 0;
    }
  }
  // Padding the group with "=" yields one byte for two characters and two
  // for three.
  if (filled == 2) {
    out += static_cast<char>(acc >> 4);
  } else if (filled == 3) {
    out += static_cast<char>(acc >> 10);
    out += static_cast<char>(acc >> 2);
  }
  return out;
}

}  // namespace kv
