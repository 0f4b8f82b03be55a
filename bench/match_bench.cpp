// Tracker throughput with every rule switched on: a 32-player team match
// through the bus into the tracker, on a history store of 100,000 known
// players, with the kill rules (sprees, team kills, spawn kills), the player
// checks (ping window, skin scan answered at once, team-change flooding),
// the weapon watch with a forbidden class and an event message on every kill
// (matched on the message controller's own subscriber thread). Warnings,
// spree and event messages and kicks go over loopback UDP to an in-process
// mohsim through the real console senders, kick workers and rcon budget;
// bans into a real ban list. The figure is end to end: from the events
// posted to every one of them handled by the tracker and every rule on it,
// and matched by the message controller. Saying the messages waits for the
// rcon budget (one a second), so what reached mohsim is counted, not timed.
//
// The weapon watch alone: kill events through the bus into the tracker with
// only the weapon watch on it, every kill with the forbidden class.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "automation/event_messages.h"
#include "automation/weapon_watch.h"
#include "bench/bench_players.h"
#include "bench/bench_rcon.h"
#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "domain/settings.h"
#include "domain/userlist.h"
#include "enforcement/banlist.h"
#include "enforcement/kicks.h"
#include "enforcement/templates.h"
#include "formats/config.h"
#include "gamelink/console.h"
#include "gamelink/rcon.h"
#include "gamelink/rcon_budget.h"
#include "players/history_store.h"
#include "players/tracker.h"
#include "rules/checks.h"
#include "rules/kills.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

using bench::kKnownPlayers;

// Slots 0..15 are one team (score 10), 16..31 the other (score 25). The
// addresses are outside the checks' default ping-ignore ranges; slot 31
// lags (its ping window fills above the limit and it is kicked).
TUserListEntry Row(int slot, int player) {
  TUserListEntry r = bench::PlayerRow(slot, player);
  r.address = "81.9." + std::to_string(player / 256 % 256) + "." + std::to_string(player % 256);
  r.score = slot < 16 ? 10 : 25;
  if (slot == 31) r.ping = 4000;
  return r;
}

// What the benchmarks share: the runtime of one service against mohsim,
// with the console's flood filter and placeholder expansion installed.
struct TRig {
  explicit TRig(const char* tag) : home(tag), sim_home("secret", tag) {
    SetClock(&clock);
    RegisterSystemCategories();
    info.UseConfig(&config);
    bench::PointRconAtSim(info, sim_home.Sim().Port(), "secret");
  }
  ~TRig() {
    DestroyLastConsoleMsgs(info);
    SetMessageExpander(info, nullptr);
    info.UseConfig(nullptr);
    SetClock(nullptr);
  }
  // Ends every sender still waiting for the budget (before the parts that
  // own them go).
  void StopSending() {
    SetRconTerminating(info, true);
    info.ConsoleSenders().Clear();
  }
  // What reached the game server.
  testing::TTempHome home;
  testing::TSimHome sim_home;
  TManualClock clock;
  TBusScope scope{{{"GLOBAL", kDataPointer}}};
  TDynamicConfigData config{nullptr};
  TDataFileRegistry registry;
  TCommandTable commands{scope.Loop()};
  TMohaaServerInfo info;
  TRuntime runtime{home.Path(), clock, scope.Loop(), config, registry, info, commands};
};

// Answers the tracker's queries at once: a team game.
std::string TeamGameAnswer(const std::string& c) { return "\"" + c + "\" is:\"2\", the default\n"; }

TWeaponWatchDef SniperWatch() {
  TWeaponWatchDef w;
  w.weapon_class = wcSniper;
  return w;
}

std::shared_ptr<TMohaaEvent> Kill(const TUserListEntry& victim, const TUserListEntry& killer, int weapon,
                                  double when) {
  auto ev = std::make_shared<TMohaaEvent>(ekKill, "x");
  ev->time = when;
  ev->log_entry = std::make_unique<TLogEntry>();
  ev->log_entry->first_player = victim;
  ev->log_entry->second_player = killer;
  ev->variables.SetValue("Weapon", TVariant(int32_t{weapon}));
  return ev;
}

void BM_TrackerMatchAllRules(benchmark::State& state) {
  TRig rig("matchbench");
  if (!rig.sim_home.Started()) return state.SkipWithError("mohsim did not start");
  rig.config.SetBool("EnableWeaponDetect", true);
  const auto dir = rig.home / "Data" / "History";
  bench::WriteKnownPlayers(dir);
  uint64_t events = 0;
  std::atomic<int64_t> scans{0};
  {
    THUserList store(dir, rig.clock);
    store.RefreshKnownUsers();
    if (store.KnownCount() != static_cast<size_t>(kKnownPlayers)) state.SkipWithError("store not filled");
    TKickThreadList kicks(rig.runtime);
    kicks.Open();
    TBanList bans(rig.clock);
    THistoryUserList tracker(rig.runtime, store, KickThrough(kicks), TeamGameAnswer);
    // In the service's order: kill rules, checks, weapon watch.
    TKillRules rules(rig.runtime, tracker, kicks, &bans);
    TSpreeLists sprees;
    sprees.killing = {{5, "%playernick% is on a killing spree=%playernick% was stopped"},
                      {10, "%playernick% is unstoppable=%playernick% was stopped at last"}};
    sprees.losing = {{5, "%playernick% keeps dying=%playernick% found his aim"}};
    rules.SetSpreeLists(sprees);
    TPlayerChecks checks(rig.runtime, tracker, kicks, &bans, [&](const std::string&) {
      scans.fetch_add(1);
      return std::string(
          "userinfo\n--------\ndm_playermodel       : american_army\n"
          "dm_playergermanmodel : german_wehrmacht_soldier\n");
    });
    {
      TSettings s(rig.config, rig.home.Path());
      TChecksSettings c = ReadChecksSettings(s, nullptr);
      c.ping.ignore_address = nullptr;  // every player's ping counts
      checks.ApplySettings(std::move(c));
    }
    // Arg 1: without the event message, to tell its share.
    TEventMessageController messages(rig.runtime);
    TMohaaMessage on_kill;
    on_kill.kind = ekKill;
    on_kill.text = "%playernick% was taken out";
    if (state.range(0) == 0) messages.Add(on_kill);
    TWeaponWatchList watch(rig.runtime, tracker, kicks, &bans);
    watch.Add(SniperWatch());
    rules.Open();
    tracker.Open();
    checks.Open();
    messages.Open();
    if (!bench::StartTeamGame(tracker)) state.SkipWithError("no team game");
    std::vector<int> in_slot(32);
    for (int s = 0; s < 32; ++s) in_slot[s] = s;
    int next_player = 32;
    int round = 0;
    for (auto _ : state) {
      for (int r = 0; r < 100; ++r, ++round) {
        const double base = rig.clock.Now();
        auto list = std::make_shared<TMohaaEvent>(ekNewUserList);
        list->player_list = std::make_unique<TUserList>();
        list->player_list->map_name = "dm/mohdm6";
        for (int k = 0; k < 2; ++k) in_slot[(round * 2 + k) % 31] = next_player++ % kKnownPlayers;
        for (int s = 0; s < 32; ++s) list->player_list->Add(Row(s, in_slot[s]));
        rig.info.players.With(
            [&](std::unique_ptr<TUserList>& current) { current = CopyUserList(*list->player_list); });
        PostEvent(list);
        ++events;
        // 30 events 400 ms apart: 24 kills (one a team kill, one a victim
        // killed again 4.8 s after his death, three with the forbidden
        // class) and 6 team changes (every fifth round a player switches
        // back and forth: flooding).
        for (int e = 0; e < 30; ++e) {
          const double when = base + e * 400.0 / kMsPerDay;
          if (e % 5 == 0) {
            const int who = round % 5 == 0 ? 3 : (e + round) % 32;
            auto ev = std::make_shared<TMohaaEvent>(ekTeamChange, e % 10 ? "allies" : "axis");
            ev->time = when;
            ev->log_entry = std::make_unique<TLogEntry>();
            ev->log_entry->first_player = Row(who, in_slot[who]);
            PostEvent(std::move(ev));
          } else {
            const int victim = e == 29 ? (17 * 3 + round) % 32 : (e * 3 + round) % 32;
            const int killer = e == 1 ? (victim + 1) % 16 + victim / 16 * 16 : (victim + 16) % 32;
            PostEvent(Kill(Row(victim, in_slot[victim]), Row(killer, in_slot[killer]), 1 + e % 8, when));
          }
          ++events;
        }
        rig.clock.Advance(12'000);
      }
      if (!tracker.Settle(60000) || !messages.WaitMatched(60000)) state.SkipWithError("not settled");
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["cached"] = store.CachedCount();
    state.counters["scans"] = static_cast<double>(scans.load());
    state.counters["msgs_pending"] = static_cast<double>(messages.Pending());
    bench::CountAtSim(rig.sim_home.Sim(), state);
    rig.StopSending();  // the senders waiting for the budget end
    messages.Close();
    watch.Close();
    checks.Close();
    tracker.Close();
    rules.Close();
    bench::CountRuleOutcomes(store, state);
    state.counters["bans"] = static_cast<double>(bans.Count());
    kicks.Close();
  }
}
BENCHMARK(BM_TrackerMatchAllRules)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20);

// 20,000 kills (one batch) per iteration, all with the forbidden class,
// among 32 players on a store of a few players; warnings over loopback UDP
// through the rcon budget, kicks through the kick workers, bans on the main
// loop into a real ban list.
void BM_WeaponWatchKills(benchmark::State& state) {
  TRig rig("weaponbench");
  if (!rig.sim_home.Started()) return state.SkipWithError("mohsim did not start");
  rig.config.SetBool("EnableWeaponDetect", true);
  const auto dir = rig.home / "Data" / "History";
  bench::WriteKnownPlayers(dir, 64);
  uint64_t kills = 0;
  {
    THUserList store(dir, rig.clock);
    store.RefreshKnownUsers();
    TKickThreadList kicks(rig.runtime);
    kicks.Open();
    TBanList bans(rig.clock);
    THistoryUserList tracker(rig.runtime, store, KickThrough(kicks), TeamGameAnswer);
    TWeaponWatchList watch(rig.runtime, tracker, kicks, &bans);
    watch.Add(SniperWatch());
    tracker.Open();
    auto list = std::make_shared<TMohaaEvent>(ekNewUserList);
    list->player_list = std::make_unique<TUserList>();
    list->player_list->map_name = "dm/mohdm6";
    for (int s = 0; s < 32; ++s) list->player_list->Add(Row(s, s));
    rig.info.players.With(
        [&](std::unique_ptr<TUserList>& current) { current = CopyUserList(*list->player_list); });
    PostEvent(list);
    if (!tracker.Settle(10000)) state.SkipWithError("list not tracked");
    int n = 0;
    for (auto _ : state) {
      for (int i = 0; i < 20'000; ++i, ++n) {
        const int victim = n % 32, killer = (n * 7 + 3) % 32;
        PostEvent(Kill(Row(victim, victim), Row(killer, killer), wcSniper, rig.clock.Now()));
        ++kills;
        if (i % 1000 == 999) rig.clock.Advance(10'000);
      }
      if (!tracker.Settle(60000)) state.SkipWithError("not settled");
    }
    state.counters["kills/s"] = benchmark::Counter(static_cast<double>(kills), benchmark::Counter::kIsRate);
    tracker.Close();
    rig.scope.Loop().Invoke([] {});  // the bans handed to the main loop
    state.counters["bans"] = static_cast<double>(bans.Count());
    bench::CountAtSim(rig.sim_home.Sim(), state);
    rig.StopSending();
    watch.Close();
    kicks.Close();
  }
}
BENCHMARK(BM_WeaponWatchKills)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
}  // namespace kv
