// Message templates: ExpandPlaceholders turns a text with %placeholders%
// into the final text from the server state, the current player list, an
// event, a player's stored statistics and the caller's own substitutions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "domain/events.h"
#include "domain/serverinfo.h"
#include "formats/variant.h"
#include "gamelink/console.h"  // TReplaceStr, TReplaceArray

namespace kv {

// Where the expansion finds players' stored records: each server state
// holds its own (TMohaaServerInfo::HistoryLookup). The player tracker
// installs its look-ups there; until then no record is found.
class THistoryLookup {
 public:
  virtual ~THistoryLookup() = default;
  // Number of players the store knows.
  virtual int64_t UserCount() const = 0;
  // The record of the player with this id (client number), else nullptr.
  // The shared pointer keeps the record alive while the expansion reads it
  // under its own shared lock.
  virtual std::shared_ptr<const THistoryUserEntry> FindById(int32_t player_id) const = 0;
  // The record of this nick, else nullptr.
  virtual std::shared_ptr<const THistoryUserEntry> FindByNick(const std::string& nick) const = 0;
};

// The hooks of one server's expansions (TScoreFunction: the "%skills%"
// placeholders, which stay in the text without one). Installing replaces
// the previous one; nullptr / an empty function removes it. An expansion
// without a server state uses neither. Any thread.
void SetHistoryLookup(TMohaaServerInfo& info, std::shared_ptr<const THistoryLookup> lookup);
void SetScoreFunction(TMohaaServerInfo& info, TScoreFunction fn);

// The text of a stored variable value: whole numbers for the integer kinds,
// Boolean (true -1) and single precision (rounded half to even); general
// 15-digit text for double and currency; regional date and time for
// date-times; strings unchanged; empty text for anything else.
std::string VariantToPlaceholderText(const TVariant& value);

// Replaces every occurrence of placeholder in text, ignoring letter case,
// left to right; inserted values are not searched again.
void ReplaceIgnoreCase(std::string& text, std::string_view placeholder, std::string_view value);
bool ContainsIgnoreCase(std::string_view text, std::string_view what);

// The expansion. info, event and history may be null; player_id -1 or -999
// means no player. Never throws: a failure is posted under "GLOBAL" and
// the text expanded so far is returned. Any thread; takes the current-list
// lock briefly, then each record's shared lock while reading it, so the
// caller must not hold the lock of `history` or of a record of the store.
std::string ExpandPlaceholders(TMohaaServerInfo* info, const std::string& text,
                               const TReplaceArray& extra = {}, int32_t player_id = kClientNotSet,
                               const TMohaaEvent* event = nullptr,
                               const THistoryUserEntry* history = nullptr);

// The expansion as the console messages take it (TConsoleSubsystem).
TMessageExpander PlaceholderExpander();
// Makes SendConsoleMessage on this server expand through ExpandPlaceholders.
void InstallPlaceholderExpander(TMohaaServerInfo& info);

}  // namespace kv
