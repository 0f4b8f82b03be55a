#include "core/cp1252.h"

#include <cstdint>
#include <cstring>

namespace kv {
namespace {

// Unicode code points of Windows-1252 0x80..0x9F; the five unassigned bytes
// map to the C1 control of the same number, so every byte round-trips.
constexpr uint16_t kHigh1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Unicode code points of code page 437 0x80..0xFF.
constexpr uint16_t kHigh437[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

uint32_t Cp1252ToUnicode(unsigned char c) {
  if (c >= 0x80 && c < 0xA0) return kHigh1252[c - 0x80];
  return c;
}

// -1 when Windows-1252 has no such character.
int UnicodeToCp1252(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (int i = 0; i < 32; ++i)
    if (kHigh1252[i] == cp) return 0x80 + i;
  return -1;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when the
// bytes there are not well-formed UTF-8.
size_t DecodeUtf8(std::string_view text, size_t i, uint32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = b(i);
  size_t len;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (char ch : text) AppendUtf8(out, Cp1252ToUnicode(static_cast<unsigned char>(ch)));
  return out;
}

std::string Utf8ToCp1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    const size_t len = DecodeUtf8(text, i, cp);
    if (len == 0) {
      out += text[i];  // not UTF-8: take the byte as it is
      ++i;
      continue;
    }
    const int c = UnicodeToCp1252(cp);
    out += c < 0 ? '?' : static_cast<char>(c);
    i += len;
  }
  return out;
}

std::string Cp437ToCp1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
      continue;
    }
    const int mapped = UnicodeToCp1252(kHigh437[c - 0x80]);
    out += mapped < 0 ? '?' : static_cast<char>(mapped);
  }
  return out;
}

namespace {

constexpr unsigned char UpperOf(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0x9A: return 0x8A;
    case 0x9C: return 0x8C;
    case 0x9E: return 0x8E;
    case 0xFF: return 0x9F;
    default: return c;
  }
}

constexpr unsigned char LowerOf(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
  switch (c) {
    case 0x8A: return 0x9A;
    case 0x8C: return 0x9C;
    case 0x8E: return 0x9E;
    case 0x9F: return 0xFF;
    default: return c;
  }
}

// The mappings as tables: names are compared without regard to case on
// every variable look-up of a player's record.
struct TCaseTables {
  TCaseTable upper;
  TCaseTable lower;
  constexpr TCaseTables() : upper(), lower() {
    for (int c = 0; c < 256; ++c) {
      upper[c] = UpperOf(static_cast<unsigned char>(c));
      lower[c] = LowerOf(static_cast<unsigned char>(c));
    }
  }
};

constexpr TCaseTables kCase;

}  // namespace

const TCaseTable& AnsiUpperTable() { return kCase.upper; }

const TCaseTable& AnsiLowerTable() { return kCase.lower; }

char AnsiUpperChar(char ch) { return static_cast<char>(kCase.upper[static_cast<unsigned char>(ch)]); }

char AnsiLowerChar(char ch) { return static_cast<char>(kCase.lower[static_cast<unsigned char>(ch)]); }

std::string AnsiUpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AnsiUpperChar(c);
  return out;
}

std::string AnsiLowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AnsiLowerChar(c);
  return out;
}

int AnsiCompareText(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  const auto* x = reinterpret_cast<const unsigned char*>(a.data());
  const auto* y = reinterpret_cast<const unsigned char*>(b.data());
  // Names that are compared share long beginnings ("hasKilled [..."): the
  // equal part is skipped eight bytes at a time.
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t wx, wy;
    std::memcpy(&wx, x + i, 8);
    std::memcpy(&wy, y + i, 8);
    if (wx != wy) break;
  }
  for (; i < n; ++i) {
    if (x[i] == y[i]) continue;
    const unsigned char lx = kCase.lower[x[i]], ly = kCase.lower[y[i]];
    if (lx != ly) return lx < ly ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AnsiCompareText(a, b) == 0;
}

}  // namespace kv
