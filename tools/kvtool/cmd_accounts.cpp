// kvtool accounts dump|build: ServerAccess.dat to JSON and back, byte for
// byte, so an operator can read and mend the remote-administration accounts.
// The file is only enciphered with a key every client carries, so the dump
// shows the passwords in plain text: keep it where the file itself may be.
#include <nlohmann/json.hpp>

#include "core/cp1252.h"
#include "core/stream.h"
#include "remoteadmin/accounts.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

using nlohmann::json;

constexpr const char* kUsage = "usage: kvtool accounts dump FILE | accounts build FILE.json";

int Dump(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  TMemoryStream in(LoadFileBytes(args[1]));
  std::vector<TAccessListEntry> accounts;
  std::string damage;
  try {
    ReadAccountsFile(in, accounts);
  } catch (const EStreamError& e) {
    damage = e.what();
  }
  json items = json::array();
  for (const auto& a : accounts) {
    json rights = json::array();
    for (const auto& r : a.rights) rights.push_back(Cp1252ToUtf8(r));
    items.push_back({{"name", Cp1252ToUtf8(a.user_name)},
                     {"password", Cp1252ToUtf8(a.password)},
                     {"address_filter", Cp1252ToUtf8(a.address_filter)},
                     {"rights", rights}});
  }
  io.out << json{{"accounts", items}}.dump(2) << "\n";
  if (!damage.empty())
    return Fail(io, args[1] + ": " + damage + " (after " + std::to_string(accounts.size()) + " accounts)");
  return 0;
}

int Build(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  std::string text;
  if (!ReadFileOrStdin(args, 1, io, text)) return Fail(io, "cannot read " + args[1]);
  std::vector<TAccessListEntry> accounts;
  try {
    const json doc = json::parse(text);
    for (const auto& item : doc.at("accounts")) {
      TAccessListEntry a;
      a.user_name = Utf8ToCp1252(item.value("name", ""));
      a.password = Utf8ToCp1252(item.value("password", ""));
      a.address_filter = Utf8ToCp1252(item.value("address_filter", ""));
      for (const auto& r : item.value("rights", json::array()))
        a.rights.push_back(Utf8ToCp1252(r.get<std::string>()));
      for (const std::string* s : {&a.user_name, &a.password, &a.address_filter})
        if (s->size() > kAccountTextMax) return Fail(io, "longer than 255 characters: " + Cp1252ToUtf8(*s));
      accounts.push_back(std::move(a));
    }
  } catch (const json::exception& e) {
    return Fail(io, std::string("bad accounts JSON: ") + e.what());
  }
  TMemoryStream out;
  WriteAccountsFile(out, accounts);
  io.out.write(reinterpret_cast<const char*>(out.Bytes().data()), static_cast<std::streamsize>(out.Size()));
  return 0;
}

}  // namespace

int CmdAccounts(const TArgs& args, TToolIO io) {
  if (!args.empty() && args[0] == "dump") return Dump(args, io);
  if (!args.empty() && args[0] == "build") return Build(args, io);
  return Fail(io, kUsage);
}

}  // namespace kv::tool
