// kvtool weaponbans dump|build: WeaponsBan.dat to JSON and back, byte for
// byte, so the operator can read, mend and write the forbidden weapons.
#include "automation/weapon_watch_file.h"
#include "tools/kvtool/datafile_command.h"

namespace kv::tool {

int CmdWeaponBans(const TArgs& args, TToolIO io) {
  static const TDataFileFormat<TWeaponWatchDef> kFormat{
      "weaponbans",         "WeaponsBan.dat",      "watches",          "watch",
      &ReadWeaponWatchFile, &WriteWeaponWatchFile, &WeaponWatchToJson, &WeaponWatchFromJson};
  return RunDataFileCommand(kFormat, args, io);
}

}  // namespace kv::tool
