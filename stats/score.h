// The player score: the operator's formula (ScoreFormular) over a player's
// stored statistics, and the ranking of the players with the most kills.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "domain/events.h"
#include "domain/serverinfo.h"
#include "players/history_store.h"

namespace kv {

// The score text of a nick: the formula expanded with the player's stored
// values (placeholders left over count as 1), then evaluated. "none" when
// the store does not know the nick, the formula yields nothing, or it fails
// (syntax and calculation errors are posted under "GLOBAL" at level 4).
// `info` may be null (no server placeholders). Any thread; must not be
// called while holding a record's lock. A formula that asks for the score
// again (%skills%) gets "none" for the inner score instead of recursing.
std::string GetScore(THUserList& store, TMohaaServerInfo* info, const std::string& formula,
                     const std::string& nick);

// Up to n histories (copies of the players in use, else read from their
// files) with the variable hasKilled, most kills first. Owned by the
// caller. Reads every known player once; memory stays bounded by n.
std::vector<std::unique_ptr<THistoryUserEntry>> TopKillers(THUserList& store, size_t n);

// The nick reduced to the characters a page name may hold: A-Z, a-z, 0-9
// and ! # % & ( ) - ; = [ ] _ { }.
std::string SafeFileName(std::string_view nick);

}  // namespace kv
