// kvtool sprees dump|build: KillingSpring.dat to JSON and back, byte for
// byte, so a person can read and mend the spree messages.
#include <nlohmann/json.hpp>

#include "core/cp1252.h"
#include "core/stream.h"
#include "rules/sprees_file.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

using nlohmann::json;

constexpr const char* kUsage = "usage: kvtool sprees dump FILE | sprees build FILE.json";

json ListJson(const std::vector<TSpreeEntry>& list) {
  json items = json::array();
  // "line" is what the file holds; "start" and "end" are its two messages
  // as the service reads them.
  for (const auto& e : list)
    items.push_back({{"count", e.count},
                     {"line", Cp1252ToUtf8(e.line)},
                     {"start", Cp1252ToUtf8(e.StartMessage())},
                     {"end", Cp1252ToUtf8(e.EndMessage())}});
  return items;
}

std::vector<TSpreeEntry> JsonList(const json& items, const char* name) {
  std::vector<TSpreeEntry> list;
  for (const auto& item : items) {
    TSpreeEntry e;
    e.count = item.at("count").get<int32_t>();
    // A new entry may give its two messages instead of the line.
    if (item.contains("line"))
      e.line = Utf8ToCp1252(item.at("line").get<std::string>());
    else
      e.line = Utf8ToCp1252(item.value("start", "")) + "=" + Utf8ToCp1252(item.value("end", ""));
    if (e.line.find_first_of("\r\n") != std::string::npos)
      throw std::runtime_error(std::string(name) + ": a message holds a line break");
    list.push_back(std::move(e));
  }
  return list;
}

int Dump(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  TMemoryStream in(LoadFileBytes(args[1]));
  TSpreeLists lists;
  std::string damage;
  try {
    ReadSpreesFile(in, lists);
  } catch (const EStreamError& e) {
    damage = e.what();
  }
  io.out << json{{"killing", ListJson(lists.killing)}, {"losing", ListJson(lists.losing)}}.dump(2) << "\n";
  // What could be read is shown; the damage makes the run fail.
  if (!damage.empty()) return Fail(io, args[1] + ": " + damage);
  return 0;
}

int Build(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  std::string text;
  if (!ReadFileOrStdin(args, 1, io, text)) return Fail(io, "cannot read " + args[1]);
  TSpreeLists lists;
  try {
    const json doc = json::parse(text);
    lists.killing = JsonList(doc.at("killing"), "killing");
    lists.losing = JsonList(doc.at("losing"), "losing");
  } catch (const std::exception& e) {
    return Fail(io, std::string("bad spree JSON: ") + e.what());
  }
  TMemoryStream out;
  WriteSpreesFile(out, lists);
  io.out.write(reinterpret_cast<const char*>(out.Bytes().data()), static_cast<std::streamsize>(out.Size()));
  return 0;
}

}  // namespace

int CmdSprees(const TArgs& args, TToolIO io) {
  if (!args.empty() && args[0] == "dump") return Dump(args, io);
  if (!args.empty() && args[0] == "build") return Build(args, io);
  return Fail(io, kUsage);
}

}  // namespace kv::tool
