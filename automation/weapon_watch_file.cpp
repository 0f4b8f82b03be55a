#include "automation/weapon_watch_file.h"

#include <stdexcept>

#include "core/cp1252.h"
#include "core/stream.h"
#include "domain/domain.h"

namespace kv {
void WriteWeaponWatchFile(TStream& out, const std::vector<TWeaponWatchDef>& watches) {
  out.WriteInt32(static_cast<int32_t>(watches.size()));
  for (const auto& w : watches) {
    out.WriteUInt8(w.weapon_class);
    out.WriteInt32(w.kills_before_kick);
    out.WriteInt32(w.kick_delay);
    out.WriteInt32(w.kick_repetitions);
    out.WriteInt32(w.kicks_before_ban);
    out.WriteUInt8(w.warn ? 1 : 0);
    out.WriteInt32(w.ban_minutes);
    out.WriteUInt8(w.ban_address ? 1 : 0);
    out.WriteLString(w.warning_message);
    out.WriteLString(w.kick_message);
    out.WriteLString(w.ban_message);
  }
}

void ReadWeaponWatchFile(TStream& in, std::vector<TWeaponWatchDef>& watches) {
  if (in.AtEnd()) return;  // a fresh home: no watches
  const auto fail = [&](const std::string& what) {
    throw EStreamError(std::string(kWeaponWatchLoadError) + " - " + what + " (after " +
                       std::to_string(watches.size()) + " watches)");
  };
  if (in.Remaining() < 4) fail("the count is cut short");
  const int32_t count = in.ReadInt32();
  if (count < 0) fail("a negative count");
  for (int32_t i = 0; i < count; ++i) {
    if (in.AtEnd())
      fail("the file ends before watch " + std::to_string(i + 1) + " of " + std::to_string(count));
    TWeaponWatchDef w;
    try {
      w.weapon_class = in.ReadUInt8();
      w.kills_before_kick = in.ReadInt32();
      w.kick_delay = in.ReadInt32();
      w.kick_repetitions = in.ReadInt32();
      w.kicks_before_ban = in.ReadInt32();
      w.warn = in.ReadUInt8() != 0;
      w.ban_minutes = in.ReadInt32();
      w.ban_address = in.ReadUInt8() != 0;
      w.warning_message = in.ReadLString();
      w.kick_message = in.ReadLString();
      w.ban_message = in.ReadLString();
    } catch (const EStreamError&) {
      fail("watch " + std::to_string(i + 1) + " is cut short or holds an impossible length");
    }
    watches.push_back(std::move(w));
  }
}

nlohmann::json WeaponWatchToJson(const TWeaponWatchDef& w) {
  return {{"weapon_class", w.weapon_class},
          {"weapon_class_name", w.weapon_class < kWeaponClassCount ? kWeaponClassNames[w.weapon_class] : "?"},
          {"kills_before_kick", w.kills_before_kick},
          {"kick_delay", w.kick_delay},
          {"kick_repetitions", w.kick_repetitions},
          {"kicks_before_ban", w.kicks_before_ban},
          {"warn", w.warn},
          {"ban_minutes", w.ban_minutes},
          {"ban_address", w.ban_address},
          {"warning_message", Cp1252ToUtf8(w.warning_message)},
          {"kick_message", Cp1252ToUtf8(w.kick_message)},
          {"ban_message", Cp1252ToUtf8(w.ban_message)}};
}

TWeaponWatchDef WeaponWatchFromJson(const nlohmann::json& j) {
  TWeaponWatchDef w;
  const int cls = j.value("weapon_class", int{w.weapon_class});
  if (cls < 0 || cls > 255)
    throw std::invalid_argument("weapon_class out of range 0..255: " + std::to_string(cls));
  w.weapon_class = static_cast<uint8_t>(cls);
  w.kills_before_kick = j.value("kills_before_kick", w.kills_before_kick);
  w.kick_delay = j.value("kick_delay", w.kick_delay);
  w.kick_repetitions = j.value("kick_repetitions", w.kick_repetitions);
  w.kicks_before_ban = j.value("kicks_before_ban", w.kicks_before_ban);
  w.warn = j.value("warn", w.warn);
  w.ban_minutes = j.value("ban_minutes", w.ban_minutes);
  w.ban_address = j.value("ban_address", w.ban_address);
  w.warning_message = Utf8ToCp1252(j.value("warning_message", Cp1252ToUtf8(w.warning_message)));
  w.kick_message = Utf8ToCp1252(j.value("kick_message", Cp1252ToUtf8(w.kick_message)));
  w.ban_message = Utf8ToCp1252(j.value("ban_message", Cp1252ToUtf8(w.ban_message)));
  return w;
}

}  // namespace kv
