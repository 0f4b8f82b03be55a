// Texts inside the system are 8-bit Windows-1252. These helpers convert at
// the edges (UTF-8 for JSON and the web console, CP437 for the game log) and
// do the regional case mapping of that code page.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace kv {

std::string Cp1252ToUtf8(std::string_view text);
// Characters that Windows-1252 cannot hold become '?'; malformed UTF-8
// bytes are taken as Latin-1.
std::string Utf8ToCp1252(std::string_view text);
// Console (OEM) code page 437 to Windows-1252; characters without a
// counterpart become '?'.
std::string Cp437ToCp1252(std::string_view text);

// The case mappings as tables of the 256 byte values, for loops that map
// every byte of a text.
using TCaseTable = std::array<unsigned char, 256>;
const TCaseTable& AnsiUpperTable();
const TCaseTable& AnsiLowerTable();
char AnsiUpperChar(char c);
char AnsiLowerChar(char c);
std::string AnsiUpperCase(std::string_view text);
std::string AnsiLowerCase(std::string_view text);
// Case-insensitive comparison under the code page's case mapping: <0, 0, >0.
int AnsiCompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);

}  // namespace kv
