// mohsim scenarios: a small line-based script, and a random match for demos
// and load tests.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <random>

#include "tools/mohsim/mohsim.h"

namespace kv::mohsim {

namespace {

bool ToInt(const std::string& s, int& v) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && end == s.data() + s.size();
}

// The words from index `from` on, joined by one blank.
std::string Rest(const std::vector<std::string>& w, size_t from) {
  std::string out;
  for (size_t i = from; i < w.size(); ++i) out += (i > from ? " " : "") + w[i];
  return out;
}

using TStep =
    std::function<std::string(TMohSim&, const std::vector<std::string>&, const std::function<void(int)>&)>;

std::string NoPlayer(const std::string& name) { return "no such player " + name; }

// "\xHH" in a script word stands for that byte: names with control or
// 8-bit characters, as players manage to choose them.
std::string DecodeEscapes(const std::string& word) {
  std::string out;
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] == '\\' && i + 3 < word.size() && word[i + 1] == 'x' &&
        std::isxdigit(static_cast<unsigned char>(word[i + 2])) &&
        std::isxdigit(static_cast<unsigned char>(word[i + 3]))) {
      out += static_cast<char>(std::stoi(word.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += word[i];
    }
  }
  return out;
}

// "suicide|die NAME [PHRASE [LOCATION]]".
std::string Death(TMohSim& s, const std::vector<std::string>& w, TDeathCause cause) {
  const std::string phrase = w.size() > 2 ? w[2] : "";
  const std::string location = w.size() > 3 ? w[3] : "";
  const auto& phrases = DeathPhrases(cause);
  if (!phrase.empty() && std::find(phrases.begin(), phrases.end(), phrase) == phrases.end())
    return "unknown phrase " + phrase;
  if (!location.empty() && !DeathTakesLocation(phrase)) return "\"" + phrase + "\" names no location";
  if (!location.empty() && !IsHitLocation(location)) return "unknown location " + location;
  return s.Death(w[1], cause, phrase, location) ? "" : NoPlayer(w[1]);
}

const std::map<std::string, std::pair<size_t, TStep>>& Steps() {
  // command -> (least number of words including the command, action)
  static const std::map<std::string, std::pair<size_t, TStep>> steps = {
      {"join",
       {2,
        [](TMohSim& s, const auto& w, const auto&) -> std::string {
          int ping = 50;
          if (w.size() > 3 && !ToInt(w[3], ping)) return "bad ping " + w[3];
          return s.Join(w[1], w.size() > 2 ? w[2] : "127.0.0.1", ping) < 0 ? "cannot join " + w[1] : "";
        }}},
      {"connect",
       {2,
        [](TMohSim& s, const auto& w, const auto&) -> std::string {
          return s.Join(w[1], w.size() > 2 ? w[2] : "127.0.0.1", 999, true) < 0 ? "cannot join " + w[1] : "";
        }}},
      {"leave",
       {2, [](TMohSim& s, const auto& w, const auto&) { return s.Leave(w[1]) ? "" : NoPlayer(w[1]); }}},
      {"rename",
       {3,
        [](TMohSim& s, const auto& w, const auto&) -> std::string {
          return s.Rename(w[1], w[2]) ? "" : "cannot rename " + w[1] + " to " + w[2];
        }}},
      {"ping",
       {3,
        [](TMohSim& s, const auto& w, const auto&) -> std::string {
          int v = 0;
          if (!ToInt(w[2], v)) return "bad ping " + w[2];
          return s.SetPing(w[1], v) && s.SetConnecting(w[1], false) ? "" : NoPlayer(w[1]);
        }}},
      {"score",
       {3,
        [](TMohSim& s, const auto& w, const auto&) -> std::string {
          int v = 0;
          if (!ToInt(w[2], v)) return "bad score " + w[2];
          return s.SetScore(w[1], v) ? "" : NoPlayer(w[1]);
        }}},
      {"skin",
       {4, [](TMohSim& s, const auto& w,
              const auto&) { return s.SetSkins(w[1], w[2], w[3]) ? "" : NoPlayer(w[1]); }}},
      {"kill",
       {4,
        [](TMohSim& s, const auto& w, const auto&) -> std::string {
          const auto weapon = WeaponByName(w[3]);
          if (!weapon) return "unknown weapon " + w[3];
          const std::string location = w.size() > 4 ? w[4] : "";
          if (!location.empty() && !IsHitLocation(location)) return "unknown location " + location;
          return s.Kill(w[1], w[2], *weapon, location) ? "" : "no such players " + w[1] + ", " + w[2];
        }}},
      {"suicide", {2, [](TMohSim& s, const auto& w, const auto&) { return Death(s, w, TDeathCause::Self); }}},
      {"die", {2, [](TMohSim& s, const auto& w, const auto&) { return Death(s, w, TDeathCause::World); }}},
      {"deathcolour",
       {2,
        [](TMohSim& s, const auto& w, const auto&) -> std::string {
          if (w[1] != "on" && w[1] != "off") return "expected on or off, not " + w[1];
          s.SetDeathColourByte(w[1] == "on");
          return "";
        }}},
      {"chat",
       {3, [](TMohSim& s, const auto& w,
              const auto&) { return s.Chat(w[1], Rest(w, 2)) ? "" : NoPlayer(w[1]); }}},
      {"team",
       {3,
        [](TMohSim& s, const auto& w, const auto&) { return s.JoinTeam(w[1], w[2]) ? "" : NoPlayer(w[1]); }}},
      {"autojoin",
       {2,
        [](TMohSim& s, const auto& w, const auto&) { return s.AutoJoinTeam(w[1]) ? "" : NoPlayer(w[1]); }}},
      {"weapon",
       {3, [](TMohSim& s, const auto& w,
              const auto&) { return s.ChooseWeapon(w[1], w[2]) ? "" : NoPlayer(w[1]); }}},
      {"reload",
       {2, [](TMohSim& s, const auto& w, const auto&) { return s.Reload(w[1]) ? "" : NoPlayer(w[1]); }}},
      {"map",
       {2,
        [](TMohSim& s, const auto& w, const auto&) {
          s.SetMap(w[1]);
          return std::string();
        }}},
      {"cvar",
       {3,
        [](TMohSim& s, const auto& w, const auto&) {
          s.SetCvar(w[1], Rest(w, 2));
          return std::string();
        }}},
      {"log",
       {2,
        [](TMohSim& s, const auto& w, const auto&) {
          s.LogLine(Rest(w, 1));
          return std::string();
        }}},
      {"dialect",
       {2,
        [](TMohSim& s, const auto& w, const auto&) -> std::string {
          static const std::map<std::string, TChatDialect> d = {{"normal", TChatDialect::Normal},
                                                                {"windows", TChatDialect::Windows},
                                                                {"quake", TChatDialect::Quake},
                                                                {"says", TChatDialect::Says}};
          const auto it = d.find(w[1]);
          if (it == d.end()) return "unknown dialect " + w[1];
          s.SetChatDialect(it->second);
          return "";
        }}},
      {"wait",
       {2,
        [](TMohSim&, const auto& w, const auto& sleep) -> std::string {
          int ms = 0;
          if (!ToInt(w[1], ms) || ms < 0) return "bad time " + w[1];
          sleep(ms);
          return "";
        }}},
  };
  return steps;
}

}  // namespace

std::string RunScript(TMohSim& sim, const std::string& script, const std::function<void(int ms)>& sleep) {
  size_t pos = 0;
  for (int number = 1; pos <= script.size(); ++number) {
    auto end = script.find('\n', pos);
    if (end == std::string::npos) end = script.size();
    std::string line = script.substr(pos, end - pos);
    pos = end + 1;
    if (const auto hash = line.find('#'); hash != std::string::npos && line.find('"') > hash)
      line.resize(hash);
    auto words = Arguments(line);  // script lines split like console lines
    for (auto& word : words) word = DecodeEscapes(word);
    if (words.empty()) continue;
    const auto it = Steps().find(words[0]);
    std::string failure;
    if (it == Steps().end())
      failure = "unknown command " + words[0];
    else if (words.size() < it->second.first)
      failure = "missing argument for " + words[0];
    else
      failure = it->second.second(sim, words, sleep);
    if (!failure.empty()) return "line " + std::to_string(number) + ": " + failure;
  }
  return {};
}

void RandomMatch(TMohSim& sim, int players, int events, uint32_t seed,
                 const std::function<void(int ms)>& sleep, const std::atomic<bool>& stop, int step_ms) {
  static const char* const kNames[] = {
      "Bob",      "Alice",         "[KV]Sgt.Schmidt", "Pvt.Ryan", "xX_Sniper_Xx", "Moe",   "Lt.Dan",
      "Kowalski", "Otto",          "Capt.Miller",     "Ivan",     "Big Joe",      "Tommy", "Jean-Luc",
      "Heinz",    "{ACE}Red.Baron"};
  static const char* const kMaps[] = {"dm/mohdm1", "dm/mohdm2", "dm/mohdm4", "dm/mohdm6", "obj/obj_team2"};
  static const char* const kTeams[] = {"allies", "axis", "spectator"};
  static const char* const kWeapons[] = {"rifle", "sniper", "smg", "mg", "heavy", "shotgun"};
  static const char* const kChat[] = {"gg", "nice shot", "camper!", "lol", "who wants a duel?", "!stats"};
  std::mt19937 rnd(seed);
  auto pick = [&](int n) { return static_cast<int>(rnd() % static_cast<uint32_t>(n)); };
  std::vector<std::string> names;
  for (int i = 0; i < players; ++i) {
    std::string name = kNames[i % 16];
    if (i >= 16) name += std::to_string(i / 16);
    names.push_back(name);
    sim.Join(name, "127.0.0." + std::to_string(2 + i % 250), 30 + pick(150));
    sim.JoinTeam(name, kTeams[pick(2)]);
  }
  if (names.size() < 2) return;
  for (int e = 0; e < events && !stop; ++e) {
    const std::string& a = names[pick(static_cast<int>(names.size()))];
    const std::string& b = names[pick(static_cast<int>(names.size()))];
    const int roll = pick(100);
    if (roll < 55 && a != b)
      sim.Kill(a, b, static_cast<TSimWeapon>(1 + pick(8)));
    else if (roll >= 55 && roll < 60)  // now and then someone falls or blows himself up
      sim.Death(a, pick(2) ? TDeathCause::Self : TDeathCause::World);
    else if (roll < 75)
      sim.Chat(a, kChat[pick(6)]);
    else if (roll < 85) {
      sim.SetPing(a, 20 + pick(300));
      sim.SetConnecting(a, false);
    } else if (roll < 90)
      sim.JoinTeam(a, kTeams[pick(3)]);
    else if (roll < 95)
      sim.ChooseWeapon(a, kWeapons[pick(6)]);
    else if (roll < 98) {
      sim.Leave(a);
      sim.Join(a, "127.0.0.1", 999, true);  // shows CNCT until its next ping
    } else
      sim.SetMap(kMaps[pick(5)]);
    if (step_ms > 0) sleep(step_ms);
  }
}

}  // namespace kv::mohsim
