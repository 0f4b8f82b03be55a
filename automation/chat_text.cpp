#include "automation/chat_text.h"

namespace kv {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::vector<std::string> SplitChatCommaText(std::string_view text) {
  std::vector<std::string> items;
  size_t p = 0;
  const size_t n = text.size();
  while (p < n && IsBlank(text[p])) ++p;
  while (p < n) {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        if (text[p] == '"') {
          if (p + 1 < n && text[p + 1] == '"') {
            item += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item += text[p++];
      }
    } else {
      const size_t start = p;
      while (p < n && !IsBlank(text[p]) && text[p] != ',') ++p;
      item.assign(text.substr(start, p - start));
    }
    if (!item.empty()) items.push_back(std::move(item));
    while (p < n && IsBlank(text[p])) ++p;
    if (p < n && text[p] == ',') {
      ++p;
      while (p < n && IsBlank(text[p])) ++p;
    }
  }
  return items;
}

std::string JoinChatCommaText(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += ',';
    bool quote = item.empty();
    for (const char c : item)
      if (IsBlank(c) || c == ',' || c == '"') quote = true;
    if (!quote) {
      out += item;
      continue;
    }
    out += '"';
    for (const char c : item) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

std::string DecodeReactionEscapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' || i + 1 >= text.size()) {
      out += c;
      continue;
    }
    const char e = text[++i];
    switch (e) {
      case 'n': out += '\n'; continue;
      case 'r': out += '\r'; continue;
      case 't': out += '\t'; continue;
      case 'v': out += '\v'; continue;
      case 'f': out += '\f'; continue;
      case 'a': out += '\a'; continue;
      case 'b': out += '\b'; continue;
      case '\\': out += '\\'; continue;
      case '"': out += '"'; continue;
      case '\'': out += '\''; continue;
      case '?': out += '?'; continue;
      default: break;
    }
    if (e == 'x') {
      size_t j = i + 1;
      unsigned value = 0;
      while (j < text.size() && HexValue(text[j]) >= 0) {
        value = value * 16 + static_cast<unsigned>(HexValue(text[j]));
        if (value > 255)
          throw EEscapeError("the escape \\x" + std::string(text.substr(i + 1, j + 1 - (i + 1))) +
                             " at position " + std::to_string(i) + " is above 255");
        ++j;
      }
      if (j == i + 1) throw EEscapeError("\\x without hexadecimal digits at position " + std::to_string(i));
      out += static_cast<char>(value);
      i = j - 1;
      continue;
    }
    if (e >= '0' && e <= '7') {
      size_t j = i;
      unsigned value = 0;
      while (j < text.size() && j < i + 3 && text[j] >= '0' && text[j] <= '7')
        value = value * 8 + static_cast<unsigned>(text[j++] - '0');
      if (value > 255)
        throw EEscapeError("the escape \\" + std::string(text.substr(i, j - i)) + " at position " +
                           std::to_string(i) + " is above 255");
      out += static_cast<char>(value);
      i = j - 1;
      continue;
    }
    out += '\\';
    out += e;
  }
  return out;
}

std::vector<std::string> SplitReactionLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\r' && text[i] != '\n') continue;
    if (i > start) lines.emplace_back(text.substr(start, i - start));
    if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  return lines;
}

}  // namespace kv
