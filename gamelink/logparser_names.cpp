#include "gamelink/logparser_names.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "core/cp1252.h"

namespace kv {

namespace {

struct TUpperTable {
  std::array<unsigned char, 256> map;
  TUpperTable() {
    for (int c = 0; c < 256; ++c) map[c] = static_cast<unsigned char>(AnsiUpperChar(static_cast<char>(c)));
  }
};

const TUpperTable& Upper() {
  static const TUpperTable table;
  return table;
}

bool EqualIgnoreCase(const char* a, const char* b, size_t n) {
  const auto& up = Upper().map;
  for (size_t i = 0; i < n; ++i)
    if (up[static_cast<unsigned char>(a[i])] != up[static_cast<unsigned char>(b[i])]) return false;
  return true;
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

int TPlayerNames::FindAtStart(std::string_view text) const {
  if (text.empty()) return -1;
  for (uint16_t rank : by_first_[static_cast<unsigned char>(text[0])]) {
    const std::string& n = names_[rank];
    if (n.size() <= text.size() && std::memcmp(n.data(), text.data(), n.size()) == 0) return rank;
  }
  return -1;
}

int TPlayerNames::FindFirst(std::string_view text, size_t* position) const {
  const char* data = text.data();
  const size_t size = text.size();
  for (size_t p = 0; p < size; ++p) {
    for (uint16_t rank : by_first_[static_cast<unsigned char>(data[p])]) {
      const std::string& n = names_[rank];
      if (n.size() <= size - p && std::memcmp(n.data(), data + p, n.size()) == 0) {
        *position = p;
        return rank;
      }
    }
  }
  return -1;
}

bool TPlayerNames::CoveredByLonger(std::string_view text, size_t pos, size_t len, int rank) const {
  const size_t from = pos + len > longest_ ? pos + len - longest_ : 0;
  for (size_t j = from; j <= pos; ++j) {
    for (uint16_t r : by_first_[static_cast<unsigned char>(text[j])]) {
      if (r >= rank) break;
      const std::string& n = names_[r];
      if (n.size() > len && j + n.size() >= pos + len && j + n.size() <= text.size() &&
          std::memcmp(n.data(), text.data() + j, n.size()) == 0)
        return true;
    }
  }
  return false;
}

void TPlayerNames::RemoveName(std::string& text, int rank) const {
  const std::string& name = names_[rank];
  if (name.size() > text.size()) return;
  const auto& up = Upper().map;
  const unsigned char first = up[static_cast<unsigned char>(name[0])];
  const size_t last_start = text.size() - name.size();
  std::string out;
  size_t copied = 0;  // text[copied, in) still has to go to `out`
  for (size_t in = 0; in <= last_start;) {
    if (up[static_cast<unsigned char>(text[in])] != first ||
        !EqualIgnoreCase(text.data() + in, name.data(), name.size()) ||
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
