// The skin lists and SkinList.dat.
#include "rules/skins.h"

#include <algorithm>

#include "core/cp1252.h"

namespace kv {

namespace {

bool Less(const std::string& a, const std::string& b) { return AnsiCompareText(a, b) < 0; }

// Whether the sorted list holds the name (letter case ignored).
bool Contains(const std::vector<std::string>& list, const std::string& skin) {
  const auto it = std::lower_bound(list.begin(), list.end(), skin, Less);
  return it != list.end() && SameText(*it, skin);
}

bool Insert(std::vector<std::string>& list, const std::string& skin) {
  const auto it = std::lower_bound(list.begin(), list.end(), skin, Less);
  if (it != list.end() && SameText(*it, skin)) return false;
  list.insert(it, skin);
  return true;
}

}  // namespace

std::string TrimSkin(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

bool IsValidSkinName(const std::string& skin) {
  if (skin.empty() || skin.size() > kMaxSkinName) return false;
  return std::none_of(skin.begin(), skin.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 32 || u == 127;
  });
}

void ReadSkinListFile(TStream& in, std::vector<std::string>& skins) {
  const int64_t size = in.Remaining();
  const size_t take = static_cast<size_t>(std::min<int64_t>(size, kMaxSkinListBytes));
  std::string text(take, '\0');
  in.ReadBuffer(text.data(), text.size());
  size_t line_no = 0, pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    const bool cut = end == std::string::npos && static_cast<int64_t>(take) < size;
    if (end == std::string::npos) end = text.size();
    ++line_no;
    const std::string skin = TrimSkin(text.substr(pos, end - pos));
    if (cut) break;  // the last line goes beyond the limit: reported below
    if (!skin.empty()) {
      if (!IsValidSkinName(skin))
        throw EStreamError("line " + std::to_string(line_no) + " is no skin name (" +
                           (skin.size() > kMaxSkinName
                                ? "longer than " + std::to_string(kMaxSkinName) + " bytes"
                                : std::string("control characters")) +
                           ")");
      skins.push_back(skin);
    }
    pos = end + (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n' ? 2 : 1);
  }
  if (static_cast<int64_t>(take) < size)
    throw EStreamError("the file is larger than " + std::to_string(kMaxSkinListBytes) +
                       " bytes; read up to line " + std::to_string(line_no));
}

void WriteSkinListFile(TStream& out, const std::vector<std::string>& skins) {
  for (const auto& skin : skins) {
    out.Write(skin.data(), skin.size());
    out.Write("\r\n", 2);
  }
}

std::vector<std::string> TSkinLists::Configured() const {
  std::lock_guard lock(mutex_);
  return configured_;
}

std::vector<std::string> TSkinLists::Seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

size_t TSkinLists::ReplaceConfigured(const std::vector<std::string>& skins) {
  std::vector<std::string> next;
  size_t dropped = 0;
  for (const auto& s : skins) {
    const std::string skin = TrimSkin(s);
    if (!IsValidSkinName(skin) || !Insert(next, skin)) ++dropped;
  }
  std::lock_guard lock(mutex_);
  configured_ = std::move(next);
  return dropped;
}

bool TSkinLists::AddConfigured(const std::string& s) {
  const std::string skin = TrimSkin(s);
  if (!IsValidSkinName(skin)) return false;
  std::lock_guard lock(mutex_);
  return Insert(configured_, skin);
}

bool TSkinLists::IsConfigured(const std::string& skin) const {
  std::lock_guard lock(mutex_);
  return Contains(configured_, skin);
}

bool TSkinLists::NoteSeen(const std::string& skin) {
  std::lock_guard lock(mutex_);
  const bool known = Contains(seen_, skin) || Contains(configured_, skin);
  if (seen_.size() < kMaxSeen) Insert(seen_, skin);
  return !known;
}

void TSkinLists::ClearSeen() {
  std::lock_guard lock(mutex_);
  seen_.clear();
}

}  // namespace kv
