// The parser's steps after the prefixes are gone: naming the actor and the
// second player, then the rule table for lines that are not kills.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "domain/serverinfo.h"
#include "domain/userlist.h"
#include "gamelink/logparser_names.h"

namespace kv {

struct TRuleState {
  TLogDialectSettings dialect;  // taken once per line
  bool quake = false;
  std::string working;    // the line with the names found in it removed
  TUserListEntry first;   // client number -1 until found
  TUserListEntry second;  // client number -1 until found
  bool first_found = false;
  bool second_found = false;
  // The rule's result.
  uint8_t kind = 0;
  std::string event_text;
  std::vector<std::pair<const char*, int32_t>> variables;
};

// Names the players of the working text and takes their names out of it,
// copying each one's row from `list` (whose names `names` mirrors): the
// actor at the start of the line, and a second player where the line's form
// puts one (after a death phrase of the game, the speaker of a chat, the
// player of a client command, else the longest name anywhere). A Quake
// "Kill:" line has the victim first and the killer second, like the game's
// own death lines. Under the list's lock.
void FindPlayers(const TPlayerNames& names, TUserList& list, TRuleState& state);

// Tries the rules in their order; true when one matched (kind, text and
// variables are then set).
bool ApplyRules(TRuleState& state);

}  // namespace kv
