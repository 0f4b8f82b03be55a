// Finding player names in log text: the players of the current list sorted
// longest name first, indexed by their first character so that a line is
// searched in one pass instead of once per player.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "domain/userlist.h"

namespace kv {

class TPlayerNames {
 public:
  // Brings the index up to date with the list's names; cheap when they did
  // not change. The caller holds whatever keeps `list` alive.
  void Sync(TUserList& list);

  int Count() const { return static_cast<int>(names_.size()); }
  // Ranks order the names longest first; equal lengths keep list order.
  const std::string& Name(int rank) const { return names_[rank]; }
  int ListIndex(int rank) const { return list_index_[rank]; }

  // A name is only found where a name can stand: it starts at the start
  // of the text or after a blank and ends at the end, before a blank, a
  // ':' or the possessive "'s". "ed" is no player in "was sniped by", nor
  // "man" in "clientCommand:".

  // The lowest rank whose name begins the text (case-sensitive), or -1.
  int FindAtStart(std::string_view text) const { return FindAt(text, 0); }
  // The lowest rank whose name stands at `pos` (case-sensitive), or -1.
  int FindAt(std::string_view text, size_t pos) const;
  // The name that occurs first in the text (case-sensitive; the longest
  // one where several start at that place): its rank, or -1, and where it
  // starts. The earliest name is the one a chat line is about — a message
  // that mentions a longer name must not change who spoke.
  int FindFirst(std::string_view text, size_t* position) const;
  // The lowest rank (longest name) found anywhere in the text, or -1, and
  // where it first occurs.
  int FindLongest(std::string_view text, size_t* position) const;
  // Removes every occurrence of the rank's name from the text, letters
  // compared without regard to case, except where it is part of a longer
  // player name: "Bob" taken out of "Bob was shot by Bob X" must leave
  // "Bob X" whole, or the kill would lose its second player.
  void RemoveName(std::string& text, int rank) const;

 private:
  void Rebuild(std::vector<std::string> names_in_list_order);
  // The lowest rank whose name stands at `pos`, looking only at ranks
  // below `limit`; -1 when none does.
  int RankAt(std::string_view text, size_t pos, int limit) const;
  // An occurrence of a name ranked before `rank` covers [pos, pos + len).
  bool CoveredByLonger(std::string_view text, size_t pos, size_t len, int rank) const;

  std::vector<std::string> list_names_;  // as in the list, to notice changes
  std::vector<std::string> names_;       // by rank
  std::vector<int> list_index_;          // by rank
  // Ranks (ascending) of the names starting with each byte.
  std::array<std::vector<uint16_t>, 256> by_first_;
  size_t longest_ = 0;
};

// The text begins with the prefix, letters compared without regard to case.
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);

}  // namespace kv
