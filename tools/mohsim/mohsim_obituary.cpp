// mohsim's death lines: the game's own obituary phrases, spelt exactly as
// the game writes them (its typos included), so the service is tested
// against the lines a real server writes; and the sim writing them.
#include <algorithm>
#include <cctype>
#include <map>

#include "tools/mohsim/mohsim.h"

namespace kv::mohsim {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::optional<TSimWeapon> WeaponByName(const std::string& name) {
  static const std::map<std::string, TSimWeapon> names = {
      {"rifle", TSimWeapon::Rifle},     {"sniper", TSimWeapon::Sniper},   {"smg", TSimWeapon::SMG},
      {"mg", TSimWeapon::MG},           {"rocket", TSimWeapon::Rocket},   {"heavy", TSimWeapon::Rocket},
      {"shotgun", TSimWeapon::Shotgun}, {"grenade", TSimWeapon::Grenade}, {"pistol", TSimWeapon::Pistol}};
  const auto it = names.find(Lower(name));
  if (it == names.end()) return std::nullopt;
  return it->second;
}

const std::vector<TKillPhrase>& KillPhrases(TSimWeapon weapon) {
  static const std::map<TSimWeapon, std::vector<TKillPhrase>> phrases = {
      {TSimWeapon::Rifle, {{"was rifled by", ""}}},
      {TSimWeapon::Sniper, {{"was sniped by", ""}}},
      {TSimWeapon::SMG, {{"was perforated by", "'s' SMG"}}},
      {TSimWeapon::MG, {{"was machine-gunned by", ""}}},
      {TSimWeapon::Rocket, {{"took", "'s rocket right in the kisser"}, {"took", "'s rocket in the face"}}},
      {TSimWeapon::Shotgun, {{"was hunted down by", ""}, {"was pumped full of buckshot by", ""}}},
      {TSimWeapon::Grenade, {{"tripped on", "'s grenade"}, {"is picking", "'s shrapnel out of his teeth"}}},
      {TSimWeapon::Pistol, {{"was gunned down by", ""}}},
  };
  return phrases.at(weapon);
}

bool IsBulletWeapon(TSimWeapon weapon) {
  switch (weapon) {
    case TSimWeapon::Rifle:
    case TSimWeapon::Sniper:
    case TSimWeapon::SMG:
    case TSimWeapon::MG:
    case TSimWeapon::Pistol: return true;
    case TSimWeapon::Rocket:
    case TSimWeapon::Shotgun:
    case TSimWeapon::Grenade: return false;
  }
  return false;
}

const std::vector<std::string>& HitLocations() {
  static const std::vector<std::string> locations = {
      "head",           "helmet",          "neck",           "upper torso",
      "middle torso",   "lower torso",     "pelvis",         "upper right arm",
      "upper left arm", "upper right leg", "upper left leg", "lower right arm",
      "lower left arm", "lower right leg", "lower left leg", "right hand",
      "left hand",      "right foot",      "left foot"};
  return locations;
}

bool IsHitLocation(const std::string& location) {
  const auto& all = HitLocations();
  return std::find(all.begin(), all.end(), location) != all.end();
}

std::string KillLine(const std::string& killer, const std::string& victim, TSimWeapon weapon, size_t variant,
                     const std::string& location) {
  const auto& phrases = KillPhrases(weapon);
  const TKillPhrase& p = phrases[variant % phrases.size()];
  std::string line = victim + " " + p.phrase + " " + killer + p.suffix;
  if (!location.empty() && IsBulletWeapon(weapon)) line += " in the " + location;
  return line;
}

const std::vector<std::string>& DeathPhrases(TDeathCause cause) {
  // "commision" and "pitard" are the game's spelling.
  static const std::vector<std::string> self = {"took himself out of commision",
                                                "was burned to a crisp",
                                                "was melted to nothing",
                                                "cratered",
                                                "blew himself up",
                                                "played catch with himself",
                                                "tripped on his own grenade",
                                                "rocketed himself",
                                                "shot himself",
                                                "was hoist on his own pitard",
                                                "died"};
  static const std::vector<std::string> world = {"was burned to a crisp",
                                                 "was melted to nothing",
                                                 "cratered",
                                                 "blew up",
                                                 "caught some shrapnel",
                                                 "caught a rocket",
                                                 "was shot",
                                                 "stepped on a land mine",
                                                 "died"};
  return cause == TDeathCause::Self ? self : world;
}

bool DeathTakesLocation(const std::string& phrase) {
  return phrase == "shot himself" || phrase == "was shot";
}

std::string DeathLine(const std::string& name, const std::string& phrase, const std::string& location) {
  std::string line = name + " " + phrase;
  if (!location.empty() && DeathTakesLocation(phrase)) line += " in the " + location;
  return line;
}

// --- the sim's death lines -------------------------------------------------

std::string TMohSim::PickLocation(const std::string& location) {
  if (CvarInt("g_obituarylocation", 0) == 0) return {};
  if (!location.empty()) return location;
  const auto& all = HitLocations();
  return all[random_() % all.size()];
}

void TMohSim::WriteDeath(const std::string& line) { LogLine(death_colour_ ? kDeathColourByte + line : line); }

bool TMohSim::Kill(const std::string& killer, const std::string& victim, TSimWeapon weapon,
                   const std::string& location) {
  std::string line;
  {
    std::lock_guard lock(mutex_);
    TSimClient* k = Find(killer);
    if (!k || !Find(victim)) return false;
    ++k->score;
    const size_t turn = turns_[static_cast<int>(weapon)]++;
    line = KillLine(killer, victim, weapon, turn, IsBulletWeapon(weapon) ? PickLocation(location) : "");
  }
  WriteDeath(line);
  return true;
}

bool TMohSim::Death(const std::string& name, TDeathCause cause, const std::string& phrase,
                    const std::string& location) {
  const auto& phrases = DeathPhrases(cause);
  if (!phrase.empty() && std::find(phrases.begin(), phrases.end(), phrase) == phrases.end()) return false;
  std::string line;
  {
    std::lock_guard lock(mutex_);
    if (!Find(name)) return false;
    // Causes count their turns apart from the weapon classes (1..8).
    const int key = cause == TDeathCause::Self ? -1 : -2;
    const std::string& p = phrase.empty() ? phrases[turns_[key]++ % phrases.size()] : phrase;
    line = DeathLine(name, p, DeathTakesLocation(p) ? PickLocation(location) : "");
  }
  WriteDeath(line);
  return true;
}

}  // namespace kv::mohsim
