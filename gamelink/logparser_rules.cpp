#include "gamelink/logparser_rules.h"

#include <string_view>

#include "core/cp1252.h"
#include "domain/domain.h"
#include "gamelink/logparser_deaths.h"

namespace kv {

namespace {

constexpr std::string_view kClientCommand = "clientCommand:";
// "NAME says @all: TEXT", the chat line of the open-source server (with the
// team and private targets in place of "all").
constexpr std::string_view kSaysChat = " says @";

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

// The speaker was found at the start of the line and taken out of it.
bool SaysChat(TRuleState& s) {
  const std::string_view w = s.working;
  if (!s.first_found || !StartsWith(w, kSaysChat)) return false;
  const size_t colon = w.find(": ", kSaysChat.size());
  if (colon == std::string_view::npos) return false;
  s.second.client_number = kNoPlayer;
  s.second.name.clear();
  const std::string_view text = w.substr(colon + 2);
  s.event_text.assign(text);
  return !text.empty();
}

bool ChatRule(TRuleState& s) {
  s.kind = ekChatMessage;
  if (s.quake) return QuakeChat(s);
  if (SaysChat(s)) return true;
  if (s.dialect.windows_version) return WindowsChat(s);
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
  if (!s.dialect.team_messages) return false;
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

struct TNameFinder {
  const TPlayerNames& names;
  TUserList& list;
  TRuleState& s;

  void SetFirst(int rank) const {
    s.first = list.Row(names.ListIndex(rank));
    s.first_found = true;
  }
  void SetSecond(int rank) const {
    s.second = list.Row(names.ListIndex(rank));
    s.second_found = true;
  }
  // Takes the name of `rank` standing at `at` out of the working text.
  void Cut(int rank, size_t at) const { s.working.erase(at, names.Name(rank).size()); }
};

// The line forms whose first name is the speaker.
bool IsChatLine(const TRuleState& s) {
  const std::string_view w = s.working;
  if (s.quake) return StartsWithIgnoreCase(w, "CLIENTCOMMAND:") && Contains(w, ": say ");
  if (s.dialect.windows_version) return StartsWith(w, kClientCommand) && Contains(w, ": dmmessage ");
  return StartsWith(w, "CHAT:");
}

// The second player of a line that does not begin with one: the speaker
// of a chat line is its earliest name; a client command names its player
// right after "clientCommand:"; any other line its longest name.
void FindSecond(const TNameFinder& f) {
  const std::string_view w = f.s.working;
  size_t at = std::string_view::npos;
  int rank = -1;
  if (IsChatLine(f.s)) {
    rank = f.names.FindFirst(w, &at);
  } else if (StartsWithIgnoreCase(w, kClientCommand)) {
    at = w.find_first_not_of(' ', kClientCommand.size());
    rank = at == std::string_view::npos ? -1 : f.names.FindAt(w, at);
  } else {
    rank = f.names.FindLongest(w, &at);
  }
  if (rank < 0) return;
  // Only this occurrence goes: the rest of the line may be a chat message
  // whose words must not lose a name said in them.
  f.Cut(rank, at);
  f.SetSecond(rank);
}

// The line begins with a player's name: a chat of the open-source server
// ("NAME says @all: TEXT"), a death in the game's wording, or a line in
// another wording that names a second player anywhere.
void FindAfterFirst(const TNameFinder& f, int first) {
  const size_t length = f.names.Name(first).size();
  const std::string_view rest = std::string_view(f.s.working).substr(length);
  f.SetFirst(first);
  size_t killer_at = 0;
  const TDeathForm form =
      StartsWith(rest, kSaysChat) ? TDeathForm::OneName : MatchDeathForm(rest, &killer_at);
  if (form == TDeathForm::Unknown) {
    f.names.RemoveName(f.s.working, first);
    FindSecond(f);
    return;
  }
  if (form == TDeathForm::Kill) {
    const int killer = f.names.FindAt(f.s.working, length + killer_at);
    if (killer >= 0 && killer != first) {
      f.Cut(killer, length + killer_at);
      f.SetSecond(killer);
    }
  }
  // Names stand only where the form puts them: a player called "by" keeps
  // the phrase "was sniped by" whole.
  f.Cut(first, 0);
}

// "Kill: 4 1 3: KILLER killed VICTIM by MOD_..." is journaled like the
// game's own death lines: the victim first, the killer second.
void FindQuakePlayers(const TNameFinder& f) {
  const std::string_view w = f.s.working;
  const size_t header = StartsWithIgnoreCase(w, "KILL:") ? w.find(": ", 5) : std::string_view::npos;
  const size_t killer_at = header == std::string_view::npos ? header : header + 2;
  const int killer = killer_at == std::string_view::npos ? -1 : f.names.FindAt(w, killer_at);
  if (killer < 0) {
    FindSecond(f);
    return;
  }
  constexpr std::string_view kKilled = " killed ";
  const size_t killer_end = killer_at + f.names.Name(killer).size();
  const size_t victim_at = killer_end + kKilled.size();
  const int victim = w.substr(killer_end, kKilled.size()) == kKilled ? f.names.FindAt(w, victim_at) : -1;
  if (victim >= 0 && victim != killer) {
    f.Cut(victim, victim_at);
    f.SetFirst(victim);
    f.SetSecond(killer);
  } else {
    f.SetFirst(killer);
  }
  f.Cut(killer, killer_at);
}

using TRule = bool (*)(TRuleState&);
// The order decides: the first rule that matches makes the event.
constexpr TRule kRules[] = {ChatRule,         TeamRule,   NewRoundRule, AutoJoinRule,
                            WeaponChoiceRule, ReloadRule, ScoreRule};

}  // namespace

void FindPlayers(const TPlayerNames& names, TUserList& list, TRuleState& s) {
  const TNameFinder finder{names, list, s};
  if (s.quake) {
    FindQuakePlayers(finder);
    return;
  }
  const std::string_view w = s.working;
  const int actor =
      StartsWithIgnoreCase(w, "CHAT:") || StartsWith(w, "clientCommand: ") ? -1 : names.FindAtStart(w);
  if (actor >= 0) {
    FindAfterFirst(finder, actor);
  } else {
    FindSecond(finder);
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
