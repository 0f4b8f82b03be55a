// kvtool history: the player history directory as a person reads it (the
// files with the nicks inside, a player file as JSON) and its export stream
// written and read back, on a bare directory without a running service.
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/cp1252.h"
#include "players/history_store.h"
#include "tools/kvtool/kvtool.h"
#include "tools/kvtool/varlist_json.h"

namespace kv::tool {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kUsage =
    "usage: kvtool history list DIR | history dump FILE | history export DIR OUT | history import IN DIR";

// One line per player file: name, nick and what is wrong with it; then the
// index lines whose file is missing. Reads only.
int List(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  if (!fs::is_directory(args[1])) return Fail(io, "not a directory: " + args[1]);
  const THistoryDirectoryInfo info = ScanHistoryDirectory(args[1]);
  size_t damaged = 0;
  for (const THistoryFileInfo& f : info.files) {
    io.out << f.file_name << "\t";
    if (!f.error.empty()) {
      ++damaged;
      io.out << "(damaged: " << Cp1252ToUtf8(f.error) << ")\n";
      continue;
    }
    io.out << Cp1252ToUtf8(f.nick);
    if (!f.name_matches) io.out << "\t(file name is not the nick's)";
    if (info.has_index && !f.indexed) io.out << "\t(not in index.lst)";
    io.out << "\n";
  }
  for (const std::string& nick : info.missing) io.out << "(missing)\t" << Cp1252ToUtf8(nick) << "\n";
  io.out << info.files.size() - damaged << " player files, " << damaged << " damaged, " << info.missing.size()
         << " index lines without a file" << (info.has_index ? "" : " (no index.lst)") << "\n";
  return 0;
}

int Dump(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  std::string bytes;
  if (!ReadFileOrStdin(args, 1, io, bytes)) return Fail(io, "cannot read " + args[1]);
  const auto h = DecodePlayerFile(bytes);
  const TUserListEntry& row = h->player;
  json doc = {
      {"nick", Cp1252ToUtf8(row.name)},
      {"file_name", FileNameOfNick(row.name)},
      {"address", Cp1252ToUtf8(row.address)},
      {"score", row.score},
      {"ping", row.ping},
      {"client_number", row.client_number},
      {"last_message", row.last_message},
      {"qport", row.qport},
      {"rate", row.rate},
      {"variables", VarListJson(h->persistent)},
  };
  io.out << doc.dump(2) << "\n";
  return 0;
}

// The store tidies the directory first as the service does at start
// (index rebuilt, damaged files moved to damaged/), then exports.
int Export(const TArgs& args, TToolIO io) {
  if (args.size() != 3) return Fail(io, kUsage);
  if (!fs::is_directory(args[1])) return Fail(io, "not a directory: " + args[1]);
  TSystemClock clock;
  THUserList store(args[1], clock);
  store.RefreshKnownUsers();
  TMemoryStream out;
  store.ExportUsers(out);
  SaveFileAtomic(args[2], out);
  out.Seek(0);
  io.out << "exported " << out.ReadInt32() << " players\n";
  return 0;
}

// The stream is checked whole before the directory changes.
int Import(const TArgs& args, TToolIO io) {
  if (args.size() != 3) return Fail(io, kUsage);
  std::string bytes;
  if (!ReadFileOrStdin(args, 1, io, bytes)) return Fail(io, "cannot read " + args[1]);
  TMemoryStream in(bytes);
  TSystemClock clock;
  THUserList store(args[2], clock);
  store.ImportUsers(in);
  io.out << "imported " << store.KnownCount() << " players\n";
  return 0;
}

}  // namespace

int CmdHistory(const TArgs& args, TToolIO io) {
  if (args.empty()) return Fail(io, kUsage);
  if (args[0] == "list") return List(args, io);
  if (args[0] == "dump") return Dump(args, io);
  if (args[0] == "export") return Export(args, io);
  if (args[0] == "import") return Import(args, io);
  return Fail(io, kUsage);
}

}  // namespace kv::tool
