// The spree message lists and their file, Data/KillingSpring.dat: four
// blocks, each a 32-bit little-endian byte count followed by that many bytes
// of text (lines ended by CR LF): the counts of the killing list (one
// decimal number a line), its message lines, the counts of the losing list,
// its message lines. A message line holds the start message, "=" and the
// end message; either may be empty. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/stream.h"

namespace kv {

inline constexpr const char* kSpreesLoadError = "Error loading KillingSpring data";
// No block of the file comes near this; a larger count marks a damaged or
// foreign file and is refused before anything is allocated.
inline constexpr uint32_t kMaxSpreeBlockBytes = 4u << 20;

struct TSpreeEntry {
  int32_t count = 0;
  std::string line;  // "start=end" as stored

  // Split at the first "="; a line without one is all start message.
  std::string StartMessage() const;
  std::string EndMessage() const;
  bool operator==(const TSpreeEntry&) const = default;
};

struct TSpreeLists {
  std::vector<TSpreeEntry> killing;
  std::vector<TSpreeEntry> losing;
  bool operator==(const TSpreeLists&) const = default;
};

// The decimal number of a count line (blanks around it allowed); 0 when
// the text is no number or lies outside the 32-bit range.
int32_t SpreeCountOf(std::string_view text);

// Appends the file form of the lists.
void WriteSpreesFile(TStream& out, const TSpreeLists& lists);
// Reads the file form. An empty stream holds two empty lists. Count lines
// beyond the message lines are ignored; a message line without a count
// line gets 0. Throws EStreamError (kSpreesLoadError + what is wrong) for a
// cut or absurd block; `lists` then holds the lists read before the damage
// (a list whose message block was read whole, even when its successor is
// damaged). Never allocates more than the stream holds.
void ReadSpreesFile(TStream& in, TSpreeLists& lists);

}  // namespace kv
