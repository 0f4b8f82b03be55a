// The skin lists: the configured check list (Data/SkinList.dat: banned
// skins, or the only allowed ones) and the skins seen since start-up, both
// sorted without regard to letter case; and the file's form.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "core/stream.h"

namespace kv {

// SkinList.dat is text: one skin a line, each ended by CR LF. Reading takes
// CR LF, LF or CR, drops blanks around a name and skips empty lines.
// Limits, so that a damaged or foreign file cannot take the memory: a skin
// name longer than kMaxSkinName or holding a control byte, and a file over
// kMaxSkinListBytes, are damage. The reader keeps what it read before the
// damage in `skins` and then throws EStreamError naming the line.
inline constexpr size_t kMaxSkinName = 255;
inline constexpr size_t kMaxSkinListBytes = 1 << 20;
void ReadSkinListFile(TStream& in, std::vector<std::string>& skins);
void WriteSkinListFile(TStream& out, const std::vector<std::string>& skins);

// Whether a text is acceptable as a skin name (not empty after trimming,
// no control byte, not too long).
bool IsValidSkinName(const std::string& skin);
// Blanks, tabs and line ends removed at both ends.
std::string TrimSkin(const std::string& text);

// The two lists, each under the one skin-list lock (a leaf). Any thread.
class TSkinLists {
 public:
  std::vector<std::string> Configured() const;
  std::vector<std::string> Seen() const;
  // Replaces the configured list (sorted, letter case ignored; duplicates
  // and invalid names are dropped). Returns how many names were dropped.
  size_t ReplaceConfigured(const std::vector<std::string>& skins);
  // Adds one skin to the configured list; false when it is there already
  // (letter case ignored) or no valid name.
  bool AddConfigured(const std::string& skin);
  bool IsConfigured(const std::string& skin) const;
  // Adds a skin to the seen list; true when it was neither seen before nor
  // configured (a new skin to announce).
  bool NoteSeen(const std::string& skin);
  void ClearSeen();
  // The most skins the seen list keeps: skins come from the players, so a
  // client that changes its model string every scan cannot grow it without
  // bound. Beyond it new names are still announced but not kept.
  static constexpr size_t kMaxSeen = 10000;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> configured_;  // sorted by AnsiCompareText, unique
  std::vector<std::string> seen_;        // the same
};

}  // namespace kv
