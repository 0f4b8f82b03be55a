// Tracker throughput with the kill rules on: a 32-player team match (status
// lists with the two teams' scores, kills across the teams, team kills,
// spawn kills, team changes) through the bus into the tracker, on a history
// store of 100,000 known players. Warnings, spree messages and kicks go over
// loopback UDP to an in-process mohsim through the real console senders,
// kick workers and rcon budget; bans into a real ban list.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_players.h"
#include "bench/bench_rcon.h"
#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "domain/userlist.h"
#include "enforcement/banlist.h"
#include "enforcement/kicks.h"
#include "enforcement/templates.h"
#include "formats/config.h"
#include "gamelink/console.h"
#include "gamelink/rcon.h"
#include "gamelink/rcon_budget.h"
#include "players/history_record.h"
#include "players/history_store.h"
#include "players/tracker.h"
#include "rules/kills.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

using bench::kKnownPlayers;
using bench::WriteKnownPlayers;

// Slots 0..15 are one team (score 10), 16..31 the other (score 25).
TUserListEntry Row(int slot, int player) {
  TUserListEntry r = bench::PlayerRow(slot, player);
  r.score = slot < 16 ? 10 : 25;
  return r;
}

void BM_TrackerMatchWithKillRules(benchmark::State& state) {
  testing::TTempHome home("killsbench");
  testing::TSimHome sim_home("secret", "killsbench");
  if (!sim_home.Started()) return state.SkipWithError("mohsim did not start");
  TManualClock clock;
  SetClock(&clock);
  TBusScope scope({{"GLOBAL", kDataPointer}});
  RegisterSystemCategories();
  TDynamicConfigData config(nullptr);
  TDataFileRegistry registry;
  TCommandTable commands(scope.Loop());
  TMohaaServerInfo info;
  info.UseConfig(&config);
  bench::PointRconAtSim(info, sim_home.Sim().Port(), "secret");
  TRuntime runtime{home.Path(), clock, scope.Loop(), config, registry, info, commands};
  const auto dir = home / "Data" / "History";
  WriteKnownPlayers(dir);
  uint64_t events = 0;
  {
    THUserList store(dir, clock);
    store.RefreshKnownUsers();
    if (store.KnownCount() != static_cast<size_t>(kKnownPlayers)) state.SkipWithError("store not filled");
    TKickThreadList kicks(runtime);
    kicks.Open();
    TBanList bans(clock);
    // Answers at once, so no query waits for a network: a team game.
    THistoryUserList tracker(runtime, store, KickThrough(kicks),
                             [](const std::string& c) { return "\"" + c + "\" is:\"2\", the default\n"; });
    TKillRules rules(runtime, tracker, kicks, &bans);
    TSpreeLists sprees;
    sprees.killing = {{5, "%playernick% is on a killing spree=%playernick% was stopped"},
                      {10, "%playernick% is unstoppable=%playernick% was stopped at last"}};
    sprees.losing = {{5, "%playernick% keeps dying=%playernick% found his aim"}};
    rules.SetSpreeLists(sprees);
    rules.Open();
    tracker.AddEventHandler(ekTeamChange, [](const TMohaaEvent&) {});
    tracker.Open();
    if (!bench::StartTeamGame(tracker)) state.SkipWithError("no team game");
    std::vector<int> in_slot(32);
    for (int s = 0; s < 32; ++s) in_slot[s] = s;
    int next_player = 32;
    int round = 0;
    for (auto _ : state) {
      for (int r = 0; r < 100; ++r, ++round) {
        const double base = clock.Now();
        auto list = std::make_shared<TMohaaEvent>(ekNewUserList);
        list->player_list = std::make_unique<TUserList>();
        list->player_list->map_name = "dm/mohdm6";
        for (int k = 0; k < 2; ++k) in_slot[(round * 2 + k) % 32] = next_player++ % kKnownPlayers;
        for (int s = 0; s < 32; ++s) list->player_list->Add(Row(s, in_slot[s]));
        // As the status poll does: the list becomes current, then is published.
        info.players.With(
            [&](std::unique_ptr<TUserList>& current) { current = CopyUserList(*list->player_list); });
        PostEvent(list);
        ++events;
        // 30 events 400 ms apart: 24 kills (one of them a team kill, one a
        // victim killed again 4.8 s after his death) and 6 team changes.
        for (int e = 0; e < 30; ++e) {
          const bool team_change = e % 5 == 0;
          const int victim = e == 29 ? (17 * 3 + round) % 32 : (e * 3 + round) % 32;
          const int killer = e == 1 ? (victim + 1) % 16 + victim / 16 * 16 : (victim + 16) % 32;
          auto ev = std::make_shared<TMohaaEvent>(team_change ? ekTeamChange : ekKill, "x");
          ev->time = base + e * 400.0 / kMsPerDay;
          ev->log_entry = std::make_unique<TLogEntry>();
          ev->log_entry->first_player = Row(victim, in_slot[victim]);
          ev->log_entry->second_player = Row(killer, in_slot[killer]);
          ev->variables.SetValue("Weapon", TVariant(int32_t{1 + e % 8}));
          PostEvent(ev);
          ++events;
        }
        clock.Advance(12'000);
      }
      tracker.Settle(60000);
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["cached"] = store.CachedCount();
    // What reached the game server; then the messages still waiting for the
    // budget (which the manual clock no longer refills) are given up, so
    // that the rules' worker can end.
    bench::CountAtSim(sim_home.Sim(), state);
    SetRconTerminating(info, true);
    tracker.Close();
    rules.Close();
    bench::CountRuleOutcomes(store, state);
    state.counters["bans"] = static_cast<double>(bans.Count());
    info.ConsoleSenders().Clear();
    kicks.Close();
  }
  DestroyLastConsoleMsgs(info);
  SetMessageExpander(info, nullptr);
  info.UseConfig(nullptr);
  SetClock(nullptr);
}
BENCHMARK(BM_TrackerMatchWithKillRules)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

}  // namespace
}  // namespace kv
