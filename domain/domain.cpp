#include "domain/domain.h"

namespace kv {
namespace {

constexpr const char* kEventKindNames[kEventKindCount] = {"unknown",
                                                          "kill",
                                                          "NewUserList",
                                                          "NewLogFileEntry",
                                                          "NewRconLog",
                                                          "UserHistChanged",
                                                          "NewUser",
                                                          "NickChanged",
                                                          "WentOffline",
                                                          "UserBack",
                                                          "SelfKill",
                                                          "Del User History",
                                                          "Map Change/Restart",
                                                          "MessageEventListChanged",
                                                          "UserBanned",
                                                          "UseripBanned",
                                                          "UserKicked",
                                                          "BanOver",
                                                          "BanAdded",
                                                          "StatsListChanged",
                                                          "SendRepMail",
                                                          "WriteRepFile",
                                                          "ConfigListChanged",
                                                          "Chat Message",
                                                          "Remote Command",
                                                          "Remote Connection",
                                                          "Message Send",
                                                          "TeamKill",
                                                          "New Round",
                                                          "New Skin",
                                                          "Skin Changed",
                                                          "Spawn Kill",
                                                          "Loading History",
                                                          "Loading Done",
                                                          "Team Change",
                                                          "Weapon Change",
                                                          "Weapon Reload",
                                                          "Show Score",
                                                          "Auto Join Team",
                                                          "AntiCheat Command",
                                                          "AntiCheat Connected",
                                                          "AntiCheat Disconnected",
                                                          "AntiCheat User Qconsole Log",
                                                          "loading AntiCheat UserList",
                                                          "AntiCheat UserList loaded",
                                                          "AntiCheat Report",
                                                          "Check AntiCheat User",
                                                          "Bad Word",
                                                          "KVClient Kick",
                                                          "ACClient Kick"};

struct TMapName {
  const char* map;
  const char* display;
};

constexpr TMapName kMapNames[] = {
    {"dm/mohdm1", "Southern France"}, {"dm/mohdm2", "Destroyed Village"}, {"dm/mohdm3", "Remagen"},
    {"dm/mohdm4", "The Crossroads"},  {"dm/mohdm5", "Snowy Park"},        {"dm/mohdm6", "Stalingrad"},
    {"dm/mohdm7", "Algiers"},         {"obj/obj_team1", "The Hunt"},      {"obj/obj_team2", "V2 Rocket Base"},
    {"obj/obj_team3", "Omaha Beach"}, {"obj/obj_team4", "The Bridge"},
};

}  // namespace

const char* const kTeamNames[kTeamCount] = {"Spectator", "Axis", "Allies", "unkown"};
const char* const kTeamLogNames[kTeamCount] = {"spectator", "axis", "allies", "_________"};
const char* const kWeaponClassNames[kWeaponClassCount] = {
    "unknown", "Rifle", "Sniper", "Sub Machinegun", "Machine Gun", "Rocket", "Shotgun", "Grenade", "Pistol"};

const char* EventKindName(int kind) {
  if (kind < 0 || kind >= kEventKindCount) return kEventKindNames[0];
  return kEventKindNames[kind];
}

std::string EventCategory(int kind) { return std::string("EVENT") + EventKindName(kind); }

bool IsNonPrimaryWeapon(int weapon_class) {
  return weapon_class == wcUnknown || weapon_class == wcGrenade || weapon_class == wcPistol;
}

int WeaponClassByName(std::string_view name) {
  for (int i = 0; i < kWeaponClassCount; ++i)
    if (name == kWeaponClassNames[i]) return i;
  return -1;
}

std::string GetMapDisplayName(std::string_view map) {
  for (const auto& m : kMapNames)
    if (map == m.map) return m.display;
  return std::string(map);
}

}  // namespace kv
