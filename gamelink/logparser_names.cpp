#include "gamelink/logparser_names.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <numeric>

#include "core/cp1252.h"

namespace kv {

namespace {

bool EqualIgnoreCase(const char* a, const char* b, size_t n) {
  const auto& up = AnsiUpperTable();
  for (size_t i = 0; i < n; ++i)
    if (up[static_cast<unsigned char>(a[i])] != up[static_cast<unsigned char>(b[i])]) return false;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool CanStartName(std::string_view text, size_t pos) { return pos == 0 || IsBlank(text[pos - 1]); }

bool CanEndName(std::string_view text, size_t end) {
  if (end == text.size()) return true;
  const char c = text[end];
  if (IsBlank(c) || c == ':') return true;
  // "Bob's grenade", and the game's own "Bob's' SMG".
  return c == '\'' && end + 1 < text.size() && text[end + 1] == 's' &&
         (end + 2 == text.size() || IsBlank(text[end + 2]) || text[end + 2] == '\'');
}

}  // namespace

void TPlayerNames::Sync(TUserList& list) {
  // Compare in place first: the list changes once per status poll, while
  // this runs for every log line.
  bool same = true;
  size_t i = 0;
  list.ForEachRow([&](const TUserListEntry& row) {
    if (same && (i >= list_names_.size() || list_names_[i] != row.name)) same = false;
    ++i;
  });
  if (same && i == list_names_.size()) return;
  std::vector<std::string> fresh;
  fresh.reserve(i);
  list.ForEachRow([&](const TUserListEntry& row) { fresh.push_back(row.name); });
  Rebuild(std::move(fresh));
}

void TPlayerNames::Rebuild(std::vector<std::string> names_in_list_order) {
  list_names_ = std::move(names_in_list_order);
  std::vector<int> order(list_names_.size());
  std::iota(order.begin(), order.end(), 0);
  // Longest first, so that "Bobby" is found before "Bob" in "Bobby was ...".
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return list_names_[a].size() > list_names_[b].size(); });
  names_.clear();
  list_index_.clear();
  for (auto& bucket : by_first_) bucket.clear();
  longest_ = order.empty() ? 0 : list_names_[order.front()].size();
  for (int idx : order) {
    // An empty name is never found in a text.
    if (list_names_[idx].empty() || names_.size() >= UINT16_MAX) continue;
    by_first_[static_cast<unsigned char>(list_names_[idx][0])].push_back(
        static_cast<uint16_t>(names_.size()));
    names_.push_back(list_names_[idx]);
    list_index_.push_back(idx);
  }
}

int TPlayerNames::RankAt(std::string_view text, size_t pos, int limit) const {
  const size_t room = text.size() - pos;
  for (uint16_t rank : by_first_[static_cast<unsigned char>(text[pos])]) {
    if (rank >= limit) break;
    const std::string& n = names_[rank];
    if (n.size() <= room && std::memcmp(n.data(), text.data() + pos, n.size()) == 0 &&
        CanEndName(text, pos + n.size()))
      return rank;
  }
  return -1;
}

int TPlayerNames::FindAt(std::string_view text, size_t pos) const {
  if (pos >= text.size() || !CanStartName(text, pos)) return -1;
  return RankAt(text, pos, INT_MAX);
}

int TPlayerNames::FindFirst(std::string_view text, size_t* position) const {
  for (size_t p = 0; p < text.size(); ++p) {
    if (!CanStartName(text, p)) continue;
    const int rank = RankAt(text, p, INT_MAX);
    if (rank >= 0) {
      *position = p;
      return rank;
    }
  }
  return -1;
}

int TPlayerNames::FindLongest(std::string_view text, size_t* position) const {
  int best = -1;
  for (size_t p = 0; p < text.size(); ++p) {
    if (!CanStartName(text, p)) continue;
    // Only a longer name than the best so far can change the result.
    const int rank = RankAt(text, p, best < 0 ? INT_MAX : best);
    if (rank < 0) continue;
    best = rank;
    *position = p;
    if (rank == 0) break;
  }
  return best;
}

bool TPlayerNames::CoveredByLonger(std::string_view text, size_t pos, size_t len, int rank) const {
  const size_t from = pos + len > longest_ ? pos + len - longest_ : 0;
  for (size_t j = from; j <= pos; ++j) {
    for (uint16_t r : by_first_[static_cast<unsigned char>(text[j])]) {
      if (r >= rank) break;
      const std::string& n = names_[r];
      if (n.size() > len && j + n.size() >= pos + len && j + n.size() <= text.size() &&
          std::memcmp(n.data(), text.data() + j, n.size()) == 0 && CanStartName(text, j) &&
          CanEndName(text, j + n.size()))
        return true;
    }
  }
  return false;
}

void TPlayerNames::RemoveName(std::string& text, int rank) const {
  const std::string& name = names_[rank];
  if (name.size() > text.size()) return;
  const auto& up = AnsiUpperTable();
  const unsigned char first = up[static_cast<unsigned char>(name[0])];
  const size_t last_start = text.size() - name.size();
  std::string out;
  size_t copied = 0;  // text[copied, in) still has to go to `out`
  for (size_t in = 0; in <= last_start;) {
    if (up[static_cast<unsigned char>(text[in])] != first || !CanStartName(text, in) ||
        !EqualIgnoreCase(text.data() + in, name.data(), name.size()) || !CanEndName(text, in + name.size()) ||
        CoveredByLonger(text, in, name.size(), rank)) {
      ++in;
      continue;
    }
    if (out.capacity() == 0) out.reserve(text.size());
    out.append(text, copied, in - copied);
    in += name.size();
    copied = in;
  }
  if (copied == 0) return;  // nothing found
  out.append(text, copied, std::string::npos);
  text.swap(out);
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualIgnoreCase(text.data(), prefix.data(), prefix.size());
}

}  // namespace kv
