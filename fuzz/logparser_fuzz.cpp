// A line of arbitrary bytes through the prefix stripping and the parser,
// with a small player list whose names overlap (Bob, Bobby, "[1v1] Al").
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "domain/serverinfo.h"
#include "domain/userlist.h"
#include "gamelink/gamelink_subsystems.h"
#include "gamelink/logparser.h"

namespace {

void InstallPlayers(kv::TMohaaServerInfo& server) {
  auto list = std::make_unique<kv::TUserList>();
  const char* names[] = {"[1v1] Al", "Bobby", "Bob", "b", ""};
  int number = 0;
  for (const char* name : names) {
    kv::TUserListEntry row;
    row.name = name;
    row.client_number = number++;
    list->Add(row);
  }
  server.players.With([&](std::unique_ptr<kv::TUserList>& slot) { slot = std::move(list); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kv::TMohaaServerInfo server;
  // The parser reads the game link's keys (QuakeRCON) as it is made; no
  // service registers them here.
  static const bool installed =
      (kv::RegisterSettingRows(kv::TConsoleSubsystem::Rows()), InstallPlayers(server), true);
  (void)installed;
  static kv::TServerLogEventChecker parser(
      [](std::string_view text) { return static_cast<int>(text.size() % 9); });
  const std::string line(reinterpret_cast<const char*>(data), size);
  // The first byte picks the dialect flags, so that every rule is reachable.
  const uint8_t flags = size ? data[0] : 0;
  server.dialect.Publish({.windows_version = (flags & 1) != 0, .team_messages = (flags & 2) != 0});
  parser.SetQuakeDialect(flags & 4);
  const std::string_view body = kv::StripLinePrefixes(line);
  if (body.size() > line.size()) __builtin_trap();
  if (auto event = parser.Recognise(&server, line)) {
    if (!event->log_entry || event->log_entry->line != line) __builtin_trap();
  }
  return 0;
}
