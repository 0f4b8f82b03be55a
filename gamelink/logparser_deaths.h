// The game's own wording of a death line, "VICTIM PHRASE KILLER[SUFFIX][ in
// the LOCATION]": where the killer's name stands, and which lines about a
// player name no second one (deaths by oneself or the world, departures).
#pragma once

#include <cstddef>
#include <string_view>

namespace kv {

enum class TDeathForm {
  Unknown,  // not the game's wording: names are looked for anywhere
  OneName,  // names the player at its start and no other
  Kill,     // the killer's name stands at the place returned
};

// `rest` is the line after the first player's name. For a kill, *killer_at
// is where the killer's name starts in `rest`.
TDeathForm MatchDeathForm(std::string_view rest, size_t* killer_at);

}  // namespace kv
