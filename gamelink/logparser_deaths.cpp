#include "gamelink/logparser_deaths.h"

namespace kv {

namespace {

// What stands between the victim and the killer, with the blank before the
// killer. The game's spelling, typos included.
constexpr std::string_view kKillPhrases[] = {
    "was sniped by ",
    "was rifled by ",
    "was perforated by ",
    "was machine-gunned by ",
    "was gunned down by ",
    "was shot by ",
    "took ",
    "was hunted down by ",
    "was pumped full of buckshot by ",
    "tripped on ",
    "is picking ",
    "was blown away by ",
    "was bashed by ",
    "was clubbed by ",
    "stepped on ",
    "was crushed by ",
    "was telefragged by ",
    "was burned up by ",
    "was melted by ",
    "was pushed over the edge by ",
    "was knocked out by ",
    "was run over by ",
    "was impaled by ",
    "was killed by ",
};

// Whole lines after the player's name that name nobody else: deaths by
// oneself or by the world, and leaving the game.
constexpr std::string_view kOneNameForms[] = {
    "took himself out of commision",
    "was burned to a crisp",
    "was melted to nothing",
    "cratered",
    "blew himself up",
    "played catch with himself",
    "tripped on his own grenade",
    "rocketed himself",
    "shot himself",
    "was hoist on his own pitard",
    "died",
    "blew up",
    "caught some shrapnel",
    "caught a rocket",
    "was shot",
    "stepped on a land mine",
    "has left the battle",
};

constexpr std::string_view kLocations[] = {
    "head",           "helmet",          "neck",           "upper torso",
    "middle torso",   "lower torso",     "pelvis",         "upper right arm",
    "upper left arm", "upper right leg", "upper left leg", "lower right arm",
    "lower left arm", "lower right leg", "lower left leg", "right hand",
    "left hand",      "right foot",      "left foot",
};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Nothing, or " in the LOCATION" for a bullet.
bool IsEndOfDeathLine(std::string_view tail) {
  if (tail.empty()) return true;
  constexpr std::string_view kIn = " in the ";
  if (!StartsWith(tail, kIn)) return false;
  tail.remove_prefix(kIn.size());
  for (std::string_view location : kLocations)
    if (tail == location) return true;
  return false;
}

}  // namespace

TDeathForm MatchDeathForm(std::string_view rest, size_t* killer_at) {
  if (rest.size() < 2 || rest[0] != ' ') return TDeathForm::Unknown;
  std::string_view words = rest.substr(1);
  while (!words.empty() && words.back() == ' ') words.remove_suffix(1);
  if (words.empty()) return TDeathForm::Unknown;
  // Every line that begins with a name passes here: the first letter rules
  // out most of the game's phrases at once.
  const char first = words[0];
  // The one-name forms first: "took himself out of commision" is no rocket
  // from a player called "himself".
  for (std::string_view form : kOneNameForms)
    if (form[0] == first && StartsWith(words, form) && IsEndOfDeathLine(words.substr(form.size())))
      return TDeathForm::OneName;
  for (std::string_view phrase : kKillPhrases) {
    if (phrase[0] == first && StartsWith(words, phrase)) {
      *killer_at = 1 + phrase.size();
      return TDeathForm::Kill;
    }
  }
  return TDeathForm::Unknown;
}

}  // namespace kv
