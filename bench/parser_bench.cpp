// Log parser throughput: typed events per second from a realistic log
// (kills, chat, clientCommand lines, noise) with 32 players in the current
// list, the operator's weapon expressions and the bus in place.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/bus_scope.h"
#include "domain/domain.h"
#include "domain/events.h"
#include "domain/userlist.h"
#include "enforcement/weapon_classes.h"
#include "gamelink/logparser.h"

namespace kv {
namespace {

std::vector<std::string> PlayerNames() {
  const char* base[] = {
      "Alice",     "Bob",       "[ZAQ]Hunter", "Sniper_Wolf", "Kurt",  "xXx_Rambo_xXx", "Doc",   "Panzer",
      "Schmidt",   "Lt.Miller", "Bobby",       "Ace",         "Ghost", "Medic",         "Tommy", "Fritz",
      "Jerry",     "Sarge",     "Private",     "Major Tom",   "K9",    "Nomad",         "Viper", "Falcon",
      "Red Baron", "Blitz",     "Otto",        "Hans",        "Jack",  "Cpt.Ahab",      "Zed",   "Y"};
  return {std::begin(base), std::end(base)};
}

void InstallPlayers(TMohaaServerInfo& server, const std::vector<std::string>& names) {
  auto list = std::make_unique<TUserList>();
  std::vector<TUserListEntry> rows;
  for (size_t i = 0; i < names.size(); ++i) {
    TUserListEntry row;
    row.name = names[i];
    row.client_number = static_cast<int32_t>(i);
    row.address = "10.0.0." + std::to_string(i + 1);
    rows.push_back(row);
  }
  // The status poll keeps the list longest name first.
  std::stable_sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.name.size() > b.name.size(); });
  list->SetRows(rows);
  server.players.With([&](std::unique_ptr<TUserList>& slot) { slot = std::move(list); });
}

std::vector<std::string> RealisticLog(const std::vector<std::string>& names) {
  const char* kills[] = {" was sniped by ",     " was machine-gunned by ",   " was gunned down by ",
                         " was blown away by ", " was shot in the head by ", " tripped on "};
  const char* noise[] = {"==== ShutdownGame ====", "Sending heartbeat to master.x.net",
                         "------ Server Initialization ------", "Spawning a Player",
                         "broadcast: print \"Axis win!\""};
  std::vector<std::string> log;
  for (int i = 0; i < 4000; ++i) {
    const std::string& a = names[i % names.size()];
    const std::string& b = names[(i * 7 + 3) % names.size()];
    std::string line;
    switch (i % 10) {
      case 0:
      case 1:
      case 2:
      case 3: line = a + kills[i % 6] + b + (i % 6 == 3 ? "'s grenade" : ""); break;
      case 4: line = "CHAT: " + a + ": gg all, nice round"; break;
      case 5: line = "clientCommand: " + a + " : reload"; break;
      case 6: line = "clientCommand: " + a + (i % 3 ? " : join_team axis" : " : primarydmweapon smg"); break;
      case 7: line = "clientCommand: " + a + " : score"; break;
      default: line = noise[i % 5]; break;
    }
    // Half of the log comes from a server build that stamps its lines.
    if (i % 2)
      line = "[2026-12-10 02:20:01 UTC+0.000] {#" + std::to_string(i % 32) + " | 10.0.0.7:12203} " + line;
    log.push_back(line);
  }
  return log;
}

std::unique_ptr<TWeaponClassifier> OperatorClassifier() {
  auto c = std::make_unique<TWeaponClassifier>();
  auto e = TWeaponClassifier::DefaultExpressions();
  e[wcRifle] = "(?i)rifle|kar98|m1 garand";
  e[wcSniper] = "sniped|springfield";
  e[wcSMG] = "(?i)thompson|mp40|gunned down";
  e[wcMG] = "machine-gunned|bar|stg44";
  e[wcRocket] = "bazooka|panzerschreck";
  e[wcShotgun] = "shotgun";
  e[wcGrenade] = "grenade|blown";
  e[wcPistol] = "pistol|colt|walther";
  c->SetExpressions(e);
  return c;
}

// One line: prefixes, names, rules, the typed event and (with_bus) its post
// on a hub where every event category is registered, as in the service.
void RunParser(benchmark::State& state, bool with_bus) {
  TBusScope bus;
  if (with_bus) RegisterSystemCategories();
  TMohaaServerInfo server;
  InstallPlayers(server, PlayerNames());
  const auto log = RealisticLog(PlayerNames());
  auto classifier = OperatorClassifier();
  TServerLogEventChecker parser([&](std::string_view t) { return classifier->Classify(t); });
  size_t i = 0;
  int64_t typed = 0;
  for (auto _ : state) {
    const auto& line = log[i++ % log.size()];
    auto event = parser.Recognise(&server, line);
    if (event) {
      ++typed;
      if (with_bus) PostEvent(std::move(event));
    }
    benchmark::DoNotOptimize(event);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["typed_events/s"] =
      benchmark::Counter(static_cast<double>(typed), benchmark::Counter::kIsRate);
}

void BM_ParserLines(benchmark::State& state) { RunParser(state, false); }
void BM_ParserLinesWithBus(benchmark::State& state) { RunParser(state, true); }
BENCHMARK(BM_ParserLines);
BENCHMARK(BM_ParserLinesWithBus);

}  // namespace
}  // namespace kv
