// kvtool bans dump|build: BanList.dat to JSON and back, byte for byte, so a
// person can read and mend the ban list (and what remote clients receive).
#include <cmath>
#include <nlohmann/json.hpp>

#include "core/cp1252.h"
#include "core/datetime_format.h"
#include "core/regional.h"
#include "core/stream.h"
#include "enforcement/banlist.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

using nlohmann::json;

constexpr const char* kUsage = "usage: kvtool bans dump FILE | bans build FILE.json";

// A damaged file may hold any bit pattern as an end; JSON has no NaN.
json EndJson(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

double JsonEnd(const json& j) {
  if (!j.is_string()) return j.get<double>();
  const auto s = j.get<std::string>();
  if (s == "NaN") return NAN;
  if (s == "Infinity") return INFINITY;
  if (s == "-Infinity") return -INFINITY;
  throw std::runtime_error("end: not a number: " + s);
}

std::string EndText(double end) {
  if (end == 0) return "never";
  return IsValidDateTime(end) ? regional::DateTimeToStr(end) : "?";
}

int Dump(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  TMemoryStream in(LoadFileBytes(args[1]));
  std::vector<TBanListEntry> bans;
  std::string damage;
  try {
    ReadBanListFile(in, bans);
  } catch (const EStreamError& e) {
    damage = e.what();
  }
  json items = json::array();
  for (const auto& b : bans)
    items.push_back({{"end", EndJson(b.end)},
                     {"text", EndText(b.end)},
                     {"address_filter", Cp1252ToUtf8(b.address_filter)},
                     {"nick_filter", Cp1252ToUtf8(b.nick_filter)},
                     {"ac_id", Cp1252ToUtf8(b.ac_id)},
                     {"message", Cp1252ToUtf8(b.message)}});
  io.out << json{{"bans", items}}.dump(2) << "\n";
  // What could be read is shown; the damage makes the run fail.
  if (!damage.empty())
    return Fail(io, args[1] + ": " + damage + " (after " + std::to_string(bans.size()) + " bans)");
  return 0;
}

int Build(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  std::string text;
  if (!ReadFileOrStdin(args, 1, io, text)) return Fail(io, "cannot read " + args[1]);
  std::vector<TBanListEntry> bans;
  try {
    const json doc = json::parse(text);
    for (const auto& item : doc.at("bans")) {
      TBanListEntry b;
      b.end = JsonEnd(item.value("end", json(0.0)));
      b.address_filter = Utf8ToCp1252(item.value("address_filter", ""));
      b.nick_filter = Utf8ToCp1252(item.value("nick_filter", ""));
      b.ac_id = Utf8ToCp1252(item.value("ac_id", ""));
      b.message = Utf8ToCp1252(item.value("message", ""));
      bans.push_back(std::move(b));
    }
  } catch (const json::exception& e) {
    return Fail(io, std::string("bad ban list JSON: ") + e.what());
  }
  TMemoryStream out;
  WriteBanListFile(out, bans);
  io.out.write(reinterpret_cast<const char*>(out.Bytes().data()), static_cast<std::streamsize>(out.Size()));
  return 0;
}

}  // namespace

int CmdBans(const TArgs& args, TToolIO io) {
  if (!args.empty() && args[0] == "dump") return Dump(args, io);
  if (!args.empty() && args[0] == "build") return Build(args, io);
  return Fail(io, kUsage);
}

}  // namespace kv::tool
