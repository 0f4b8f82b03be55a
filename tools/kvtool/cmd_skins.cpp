// kvtool skins dump|build: SkinList.dat (the skin check list) to JSON and
// back. The file the service writes comes back byte for byte; a file in
// another form (LF line ends, blanks, empty lines) is marked "canonical":
// false, as building it gives the service's form of the same skins.
#include <nlohmann/json.hpp>

#include "core/cp1252.h"
#include "core/stream.h"
#include "rules/skins.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

using nlohmann::json;

constexpr const char* kUsage = "usage: kvtool skins dump FILE | skins build FILE.json";

int Dump(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  const auto bytes = LoadFileBytes(args[1]);
  TMemoryStream in(bytes);
  std::vector<std::string> skins;
  std::string damage;
  try {
    ReadSkinListFile(in, skins);
  } catch (const EStreamError& e) {
    damage = e.what();
  }
  TMemoryStream again;
  WriteSkinListFile(again, skins);
  json items = json::array();
  for (const auto& s : skins) items.push_back(Cp1252ToUtf8(s));
  io.out << json{{"skins", items}, {"canonical", damage.empty() && again.Bytes() == bytes}}.dump(2) << "\n";
  if (!damage.empty())
    return Fail(io, args[1] + ": " + damage + " (after " + std::to_string(skins.size()) + " skins)");
  return 0;
}

int Build(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  std::string text;
  if (!ReadFileOrStdin(args, 1, io, text)) return Fail(io, "cannot read " + args[1]);
  std::vector<std::string> skins;
  try {
    const json doc = json::parse(text);
    for (const auto& item : doc.at("skins")) {
      const std::string skin = Utf8ToCp1252(item.get<std::string>());
      if (!IsValidSkinName(skin) || TrimSkin(skin) != skin)
        return Fail(io, "not a skin name: [" + item.get<std::string>() + "]");
      skins.push_back(skin);
    }
  } catch (const json::exception& e) {
    return Fail(io, std::string("bad skin list JSON: ") + e.what());
  }
  TMemoryStream out;
  WriteSkinListFile(out, skins);
  io.out.write(reinterpret_cast<const char*>(out.Bytes().data()), static_cast<std::streamsize>(out.Size()));
  return 0;
}

}  // namespace

int CmdSkins(const TArgs& args, TToolIO io) {
  if (!args.empty() && args[0] == "dump") return Dump(args, io);
  if (!args.empty() && args[0] == "build") return Build(args, io);
  return Fail(io, kUsage);
}

}  // namespace kv::tool
