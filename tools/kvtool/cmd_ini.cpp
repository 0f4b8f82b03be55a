// kvtool ini decipher FILE KEY: the plain value of an enciphered setting,
// for an operator who needs to check what the INI file holds.
#include <filesystem>

#include "core/cp1252.h"
#include "domain/settings.h"
#include "formats/config.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {

int CmdIni(const TArgs& args, TToolIO io) {
  if (args.size() != 3 || args[0] != "decipher") return Fail(io, "usage: kvtool ini decipher FILE KEY");
  const std::string& path = args[1];
  const std::string key = Utf8ToCp1252(args[2]);
  const TSettingDef* def = FindSetting(key);
  if (!def || def->type != TSettingType::Enc) return Fail(io, args[2] + " is not an enciphered setting");
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return Fail(io, "cannot read " + path);
  TConfigFile file(path);
  if (!file.ValueExists("Global", key))
    return Fail(io, "no key " + args[2] + " in section [Global] of " + path);
  try {
    io.out << Cp1252ToUtf8(DecipherSetting(file.ReadString("Global", key, ""))) << "\n";
  } catch (const ECfgError& e) {
    return Fail(io, args[2] + ": " + Cp1252ToUtf8(e.what()));
  }
  return 0;
}

}  // namespace kv::tool
