// One weapon watch as the operator defines it (a forbidden weapon class with
// its limits and messages), and WeaponsBan.dat, the file that keeps them
// (integers little-endian, texts as a 32-bit length and 8-bit bytes).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kv {

class TStream;

inline constexpr const char* kWeaponWatchLoadError = "Error loading Weapon Watch";

struct TWeaponWatchDef {
  uint8_t weapon_class = 1;       // the class it forbids (0..8; 0: kills no expression sorted)
  int32_t kills_before_kick = 3;  // forbidden kills in one visit that bring a kick
  int32_t kick_delay = 5;         // seconds, as the kick workers take it
  int32_t kick_repetitions = 1;   // how often the kick message is said
  int32_t kicks_before_ban = 2;   // kicks for this class in a lifetime that bring a ban
  bool warn = true;               // warn below the kick limit
  int32_t ban_minutes = 5;        // 0 or -1: without end
  bool ban_address = false;       // ban the address as well as the nick
  std::string warning_message = "%playernick% do NOT USE %weapon% or get KICKED";
  std::string kick_message = "%playernick% gets kicked because of Weaponabuse [%weapon%]";
  std::string ban_message = "%playernick% is banned because of Weaponabuse [%weapon%]";

  bool operator==(const TWeaponWatchDef&) const = default;
};

void WriteWeaponWatchFile(TStream& out, const std::vector<TWeaponWatchDef>& watches);
// Appends the watches of the stream as they are read. An empty stream holds
// none. A stream that ends where a record should start, a record cut short,
// a negative count or length throws EStreamError(kWeaponWatchLoadError +
// what was wrong); the watches read before stay. A Boolean byte other than
// 0 reads as true. Memory is bounded by the stream's size.
void ReadWeaponWatchFile(TStream& in, std::vector<TWeaponWatchDef>& watches);

// The JSON form (kvtool, the operator's command): UTF-8 texts, the class as
// its number and its name. Missing fields take the defaults above; a wrong
// type throws nlohmann::json::exception, a class outside 0..255
// std::invalid_argument.
nlohmann::json WeaponWatchToJson(const TWeaponWatchDef& watch);
TWeaponWatchDef WeaponWatchFromJson(const nlohmann::json& json);

}  // namespace kv
