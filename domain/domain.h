// The shared vocabulary: event kinds, teams, weapon classes and map display
// names. Fixed tables; the names are part of the bus categories and texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

// Client number sentinels.
inline constexpr int32_t kClientNotSet = -1;
inline constexpr int32_t kNoPlayer = -999;

// Event kinds 0..49; the name is the category suffix on the bus and the
// event's default description.
enum TEventKind : uint8_t {
  ekUnknown = 0,
  ekKill = 1,
  ekNewUserList = 2,
  ekNewLogFileEntry = 3,
  ekNewRconLog = 4,
  ekUserHistChanged = 5,
  ekNewUser = 6,
  ekNickChanged = 7,
  ekWentOffline = 8,
  ekUserBack = 9,
  ekSelfKill = 10,
  ekDelUserHistory = 11,
  ekMapChange = 12,
  ekMessageEventListChanged = 13,
  ekUserBanned = 14,
  ekUseripBanned = 15,
  ekUserKicked = 16,
  ekBanOver = 17,
  ekBanAdded = 18,
  ekStatsListChanged = 19,
  ekSendRepMail = 20,
  ekWriteRepFile = 21,
  ekConfigListChanged = 22,
  ekChatMessage = 23,
  ekRemoteCommand = 24,
  ekRemoteConnection = 25,
  ekMessageSend = 26,
  ekTeamKill = 27,
  ekNewRound = 28,
  ekNewSkin = 29,
  ekSkinChanged = 30,
  ekSpawnKill = 31,
  ekLoadingHistory = 32,
  ekLoadingDone = 33,
  ekTeamChange = 34,
  ekWeaponChange = 35,
  ekWeaponReload = 36,
  ekShowScore = 37,
  ekAutoJoinTeam = 38,
  ekAntiCheatCommand = 39,
  ekAntiCheatConnected = 40,
  ekAntiCheatDisconnected = 41,
  ekAntiCheatUserQconsoleLog = 42,
  ekLoadingAntiCheatUserList = 43,
  ekAntiCheatUserListLoaded = 44,
  ekAntiCheatReport = 45,
  ekCheckAntiCheatUser = 46,
  ekBadWord = 47,
  ekKVClientKick = 48,
  ekACClientKick = 49,
};
inline constexpr int kEventKindCount = 50;

// The kind's name; "unknown" for numbers outside 0..49.
const char* EventKindName(int kind);
// The bus category of a kind: "EVENT" + name.
std::string EventCategory(int kind);

// Teams: display names and the names the game log uses, indexed 0..3.
enum TTeam : int { tmSpectator = 0, tmAxis = 1, tmAllies = 2, tmUnknown = 3 };
inline constexpr int kTeamCount = 4;
extern const char* const kTeamNames[kTeamCount];     // "Spectator", "Axis", "Allies", "unkown"
extern const char* const kTeamLogNames[kTeamCount];  // "spectator", "axis", "allies", "_________"

// Weapon classes 0..8.
enum TWeaponClass : int {
  wcUnknown = 0,
  wcRifle = 1,
  wcSniper = 2,
  wcSMG = 3,
  wcMG = 4,
  wcRocket = 5,
  wcShotgun = 6,
  wcGrenade = 7,
  wcPistol = 8,
};
inline constexpr int kWeaponClassCount = 9;
extern const char* const kWeaponClassNames[kWeaponClassCount];
// "unknown", "Grenade" and "Pistol" are not primary weapons.
bool IsNonPrimaryWeapon(int weapon_class);
// The class whose name is the text (exact), or -1.
int WeaponClassByName(std::string_view name);

// The map's display name, or the map name unchanged when the table (exact,
// case-sensitive) does not have it.
std::string GetMapDisplayName(std::string_view map);

}  // namespace kv
