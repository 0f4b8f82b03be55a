#include "serverconfig/config_plan.h"

#include <algorithm>
#include <optional>

#include "core/regional.h"
#include "gamelink/console.h"

namespace kv {
namespace {

std::optional<TVariant> Value(const TVarList& set, const char* name) {
  TVariant v;
  if (!set.TryGetValue(name, v) || v.IsEmptyOrNull()) return std::nullopt;
  return v;
}

std::string Text(const TVarList& set, const char* name) {
  const auto v = Value(set, name);
  return v ? v->AsString() : std::string();
}

// -1 (or no value at all) leaves the server's setting as it is.
std::optional<int32_t> Number(const TVarList& set, const char* name) {
  const auto v = Value(set, name);
  if (!v) return std::nullopt;
  const int32_t n = v->AsInteger();
  if (n == -1) return std::nullopt;
  return n;
}

// A value between double quotes: a quote inside would end the argument and
// run the rest as words of their own, a line break would end the console
// line. Neither can be sent faithfully, so the set is refused instead of
// altered (a password changed behind the operator's back locks him out).
std::string Quoted(const char* name, const std::string& value) {
  if (value.find_first_of(std::string("\"\r\n\0", 4)) != std::string::npos)
    throw EConfigPlanError(std::string("the value of ") + name +
                           " holds a double quote or a line break and cannot be sent");
  return "\"" + value + "\"";
}

// The switches of our own checks: variable, setting, whether the setting
// takes the opposite value.
struct TSwitchRow {
  const char* variable;
  const char* key;
  bool inverted;
};
constexpr TSwitchRow kSwitches[] = {
    {"TeamKillerCheck", "EnableTKDetect", false},
    {"SkinDetection", "EnableSkinDetect", false},
    {"SpawnKillingDetection", "EnableSpawnDetect", false},
    {"KillingSpreeMessages", "KillingSpringDetect", false},
    {"LoosingSpreeMessages", "LoosingSpringDetect", false},
    {"EnableMessageEvents", "StopEventMessage", true},
    {"BannedWeaponsCheck", "EnableWeaponDetect", false},
    {"PingCheck", "PingCheckEnabled", false},
};

// Server settings given as text: sent when not empty.
struct TTextRow {
  const char* variable;
  const char* command;
};
constexpr TTextRow kTexts[] = {
    {"maprotation", "sv_maplist "},
    {"ServerName", "sv_hostname "},
    {"ServerAdmin", "admin "},
    {"ServerWWW", "Sets URL "},
};

// Server settings given as numbers: sent unless -1. The two blanks of
// sv_maxping are the game's accepted form and kept as they are.
constexpr TTextRow kNumbers[] = {
    {"inactivespec", "g_inactiveSpectate "},
    {"inactivekick", "g_inactiveKick "},
    {"jointime", "g_allowjointime "},
    {"roundlimit", "roundlimit "},
    {"fraglimit", "fraglimit "},
    {"timelimit", "timelimit "},
    {"gametype", "g_gametype "},
    {"privateslots", "sv_privateClients "},
};

void ServerCommands(const TVarList& set, std::vector<TConfigCommand>& out) {
  const auto add = [&](std::string command) {
    out.push_back({kConfigCommandPauseMs, std::move(command), -1});
  };
  for (const auto& row : kTexts) {
    const std::string value = Text(set, row.variable);
    if (!value.empty()) add(row.command + Quoted(row.variable, value));
  }
  // The passwords are always sent: a set without one clears it.
  add("password  " + Quoted("passwd", Text(set, "passwd")));
  add("sv_privatepassword  " + Quoted("privpass", Text(set, "privpass")));
  for (const auto& row : kNumbers)
    if (const auto n = Number(set, row.variable)) add(row.command + regional::IntToStr(*n));
  if (const auto ff = Value(set, "ff")) add(ff->AsBool() ? "g_teamdamage 1" : "g_teamdamage 0");
  if (const auto n = Number(set, "maxping")) add("set sv_maxping  " + regional::IntToStr(*n));
  if (const auto n = Number(set, "maxclients")) add("set sv_maxclients " + regional::IntToStr(*n));
}

// "restart=30": the command "restart" with 30 seconds to answer.
TConfigCommand FurtherCommand(const std::string& item) {
  const size_t eq = item.find('=');
  if (eq == std::string::npos || eq + 1 == item.size())
    return {kConfigMapPauseMs, item, kConfigItemTimeoutSeconds};
  int64_t seconds = 0;
  if (!regional::TryStrToInt(item.substr(eq + 1), seconds)) seconds = kConfigItemTimeoutSeconds;
  seconds = std::clamp<int64_t>(seconds, 1, kConfigItemTimeoutMax);
  return {kConfigMapPauseMs, item.substr(0, eq), static_cast<int>(seconds)};
}

}  // namespace

std::vector<std::string> SplitCommaText(const std::string& text) {
  std::vector<std::string> items;
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    while (i < n && (blank(text[i]) || text[i] == ',')) ++i;
    if (i >= n) break;
    std::string item;
    if (text[i] == '"') {
      // To the closing quote; a doubled quote is one quote of the item.
      for (++i; i < n; ++i) {
        if (text[i] != '"') {
          item += text[i];
        } else if (i + 1 < n && text[i + 1] == '"') {
          item += '"';
          ++i;
        } else {
          ++i;
          break;
        }
      }
    } else {
      while (i < n && !blank(text[i]) && text[i] != ',') item += text[i++];
    }
    if (!item.empty()) items.push_back(std::move(item));
  }
  return items;
}

TConfigPlan BuildConfigPlan(const TVarList& set) {
  TConfigPlan plan;
  const std::string announce = Text(set, "announcemessage");
  // Said to the players: made safe rather than refused, as every message is.
  if (!announce.empty()) plan.announcement = "say \"" + ConsoleSafeText(announce) + "\"";
  if (const auto d = Value(set, "configdelay")) plan.delay_seconds = std::max<int64_t>(0, d->AsInteger());
  for (const auto& row : kSwitches)
    if (const auto v = Value(set, row.variable))
      plan.switches.push_back({row.key, v->AsBool() != row.inverted});
  ServerCommands(set, plan.commands);
  // One second before the map; when there is none, the first further
  // command waits that second as well.
  int64_t pause = kConfigMapPauseMs;
  const std::string map = Text(set, "map");
  if (!map.empty()) {
    plan.commands.push_back({pause, "map " + map, kConfigMapTimeoutSeconds});
    pause = 0;
  }
  for (const std::string& item : SplitCommaText(Text(set, "commands"))) {
    plan.commands.push_back(FurtherCommand(item));
    plan.commands.back().pause_ms += pause;
    pause = 0;
  }
  return plan;
}

}  // namespace kv
