#include "gamelink/logparser_rules.h"

#include <string_view>

#include "core/cp1252.h"
#include "core/domain.h"

namespace kv {

namespace {

constexpr std::string_view kClientCommand = "clientCommand:";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}
bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

std::string_view After(std::string_view text, std::string_view marker) {
  const size_t at = text.find(marker);
  return at == std::string_view::npos ? std::string_view{} : text.substr(at + marker.size());
}

// Blanks and control characters at both ends go.
std::string_view Trim(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

// Drops the first word (the chat channel) and its blank; a text without a
// blank is kept whole.
std::string_view DropFirstWord(std::string_view text) {
  const size_t blank = text.find(' ');
  return blank == std::string_view::npos ? text : text.substr(blank + 1);
}

void MoveSecondToFirst(TRuleState& s) {
  s.first = s.second;
  s.second.client_number = kNoPlayer;
  s.second.name.clear();
}

bool QuakeChat(TRuleState& s) {
  const std::string_view w = s.working;
  if (!StartsWithIgnoreCase(w, "CLIENTCOMMAND:") || !Contains(w, ": say ")) return false;
  MoveSecondToFirst(s);
  std::string_view text = Trim(DropFirstWord(After(w, ": say ")));
  if (text.size() > 1 && (text.front() == '"' || text.front() == '\'') && text.front() == text.back())
    text = text.substr(1, text.size() - 2);
  s.event_text.assign(text);
  return !text.empty();
}

bool WindowsChat(TRuleState& s) {
  const std::string_view w = s.working;
  if (!StartsWith(w, kClientCommand) || !Contains(w, ": dmmessage ")) return false;
  MoveSecondToFirst(s);
  const std::string_view text = Trim(DropFirstWord(After(w, ": dmmessage ")));
  // "*12" and the like are the game's sound messages, not chat.
  const bool sound = text.size() == 3 && text[0] == '*' && text[1] >= '0' && text[1] <= '9' &&
                     text[2] >= '0' && text[2] <= '9';
  s.event_text.assign(text);
  return !text.empty() && !sound;
}

bool NormalChat(TRuleState& s) {
  const std::string_view w = s.working;
  if (!StartsWith(w, "CHAT:")) return false;
  MoveSecondToFirst(s);
  std::string_view text = After(w, ":");
  const size_t colon = text.find(':');
  // The message starts after the speaker's ": ".
  const size_t start = colon == std::string_view::npos ? 1 : colon + 2;
  text = start < text.size() ? text.substr(start) : std::string_view{};
  s.event_text.assign(text);
  return !text.empty();
}

bool ChatRule(TRuleState& s) {
  s.kind = ekChatMessage;
  if (s.quake) return QuakeChat(s);
  if (s.server && s.server->windows_version) return WindowsChat(s);
  return NormalChat(s);
}

bool TeamRule(TRuleState& s) {
  std::string_view text = s.working;
  if (!StartsWith(text, kClientCommand)) return false;
  bool applied = false;
  if (Contains(text, " : join_team ")) {
    MoveSecondToFirst(s);
    text = Trim(After(text, " : join_team "));
    applied = true;
  }
  if (Contains(text, " : spectator")) {
    MoveSecondToFirst(s);
    text = "spectator";
    applied = true;
  }
  if (!applied || text.empty()) return false;
  s.kind = ekTeamChange;
  s.event_text.assign(text);
  for (int t = 0; t < kTeamCount; ++t)
    if (text == kTeamLogNames[t]) s.variables.emplace_back("Team", t);
  return true;
}

bool NewRoundRule(TRuleState& s) {
  if (!StartsWith(s.working, "Adding script:")) return false;
  s.kind = ekNewRound;
  return true;
}

bool AutoJoinRule(TRuleState& s) {
  if (!s.server || !s.server->log_switches[lsUseTeamMessages]) return false;
  if (!StartsWith(s.working, kClientCommand) || !Contains(s.working, " : auto_join_team")) return false;
  MoveSecondToFirst(s);
  s.kind = ekAutoJoinTeam;
  return true;
}

bool WeaponChoiceRule(TRuleState& s) {
  const std::string_view w = s.working;
  if (!StartsWith(w, kClientCommand) || !Contains(w, " : primarydmweapon ")) return false;
  static constexpr std::pair<std::string_view, int> kWords[] = {
      {"primarydmweapon rifle", wcRifle},  {"primarydmweapon sniper", wcSniper},
      {"primarydmweapon smg", wcSMG},      {"primarydmweapon mg", wcMG},
      {"primarydmweapon heavy", wcRocket}, {"primarydmweapon shotgun", wcShotgun},
  };
  int weapon_class = wcUnknown;
  for (const auto& [word, c] : kWords)
    if (Contains(w, word)) weapon_class = c;
  if (IsNonPrimaryWeapon(weapon_class)) return false;
  MoveSecondToFirst(s);
  s.kind = ekWeaponChange;
  s.event_text = kWeaponClassNames[weapon_class];
  s.variables.emplace_back("weapon", weapon_class);
  return true;
}

bool ReloadRule(TRuleState& s) {
  if (!StartsWith(s.working, kClientCommand) || !Contains(s.working, " : reload")) return false;
  MoveSecondToFirst(s);
  s.kind = ekWeaponReload;
  return true;
}

bool ScoreRule(TRuleState& s) {
  // Any letter case: the game passes the command as the player typed it.
  if (!StartsWithIgnoreCase(s.working, "CLIENTCOMMAND:") || !Contains(AnsiUpperCase(s.working), " : SCORE"))
    return false;
  MoveSecondToFirst(s);
  s.kind = ekShowScore;
  return true;
}

using TRule = bool (*)(TRuleState&);
// The order decides: the first rule that matches makes the event.
constexpr TRule kRules[] = {ChatRule,         TeamRule,   NewRoundRule, AutoJoinRule,
                            WeaponChoiceRule, ReloadRule, ScoreRule};

}  // namespace

void FindPlayers(const TPlayerNames& names, TUserList& list, TRuleState& s) {
  std::string& w = s.working;
  int actor = -1;
  if (s.quake) {
    // "Kill: 1 2 3: Alice killed Bob by MOD_RIFLE": the actor is the player
    // named right after the header, not whoever happens to lead the list.
    if (StartsWithIgnoreCase(w, "KILL:")) {
      const size_t header = w.find(": ", 5);
      actor = names.FindAtStart(header == std::string::npos ? std::string_view{}
                                                            : std::string_view(w).substr(header + 2));
    }
  } else if (!StartsWithIgnoreCase(w, "CHAT:") && !StartsWith(w, "clientCommand: ")) {
    actor = names.FindAtStart(w);
  }
  if (actor >= 0) {
    names.RemoveName(w, actor);
    s.first = list.Row(names.ListIndex(actor));
    s.first_found = true;
  }
  size_t at = 0;
  const int second = names.FindFirst(w, &at);
  if (second >= 0) {
    // Only this occurrence goes: the rest of the line may be a chat message
    // whose words must not lose letters that happen to spell the name.
    w.erase(at, names.Name(second).size());
    s.second = list.Row(names.ListIndex(second));
    s.second_found = true;
  }
}

bool ApplyRules(TRuleState& s) {
  for (TRule rule : kRules) {
    s.event_text.clear();
    s.variables.clear();
    if (rule(s)) return true;
  }
  return false;
}

}  // namespace kv
