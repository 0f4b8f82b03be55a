// kvtool configs dump|build: Configurations.dat to JSON and back, byte for
// byte, so a person can read and mend the server configuration sets.
#include <nlohmann/json.hpp>

#include "core/cp1252.h"
#include "core/stream.h"
#include "serverconfig/configlist.h"
#include "tools/kvtool/kvtool.h"
#include "tools/kvtool/varlist_json.h"

namespace kv::tool {
namespace {

using nlohmann::json;

constexpr const char* kUsage = "usage: kvtool configs dump FILE | configs build FILE.json";

int Dump(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  TMemoryStream in(LoadFileBytes(args[1]));
  std::vector<TVarList> sets;
  std::string damage;
  try {
    ReadConfigurationsFile(in, sets);
  } catch (const std::exception& e) {
    damage = e.what();
  }
  json items = json::array();
  for (const auto& set : sets)
    items.push_back({{"name", Cp1252ToUtf8(ConfigName(set))}, {"variables", VarListJson(set)}});
  io.out << json{{"configurations", items}}.dump(2) << "\n";
  // What could be read is shown; the damage makes the run fail.
  if (!damage.empty())
    return Fail(io, args[1] + ": " + Cp1252ToUtf8(damage) + " (after " + std::to_string(sets.size()) +
                        " configurations)");
  return 0;
}

int Build(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  std::string text;
  if (!ReadFileOrStdin(args, 1, io, text)) return Fail(io, "cannot read " + args[1]);
  std::vector<TVarList> sets;
  try {
    const json doc = json::parse(text);
    // "name" is shown for the reader; the set's own Name variable counts.
    for (const auto& item : doc.at("configurations")) sets.push_back(VarListFromJson(item.at("variables")));
  } catch (const json::exception& e) {
    return Fail(io, std::string("bad configurations JSON: ") + e.what());
  }
  TMemoryStream out;
  WriteConfigurationsFile(out, sets);
  io.out.write(reinterpret_cast<const char*>(out.Bytes().data()), static_cast<std::streamsize>(out.Size()));
  return 0;
}

}  // namespace

int CmdConfigs(const TArgs& args, TToolIO io) {
  if (!args.empty() && args[0] == "dump") return Dump(args, io);
  if (!args.empty() && args[0] == "build") return Build(args, io);
  return Fail(io, kUsage);
}

}  // namespace kv::tool
