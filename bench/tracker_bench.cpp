// Tracker throughput: a stream of mixed events (status lists of 32 players
// with a few comings and goings, kills, team changes) through the bus into
// the tracker, on a history store of 100,000 known players.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_players.h"
#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "domain/userlist.h"
#include "formats/config.h"
#include "players/history_record.h"
#include "players/history_store.h"
#include "players/tracker.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

using bench::kKnownPlayers;
using bench::StatusMiB;
using bench::WriteKnownPlayers;
TUserListEntry Row(int slot, int player) { return bench::PlayerRow(slot, player); }

void BM_TrackerMixedEvents(benchmark::State& state) {
  testing::TTempHome home("trackerbench");
  TManualClock clock;
  SetClock(&clock);
  TBusScope scope({{"GLOBAL", kDataPointer}});
  RegisterSystemCategories();
  TDynamicConfigData config(nullptr);
  TDataFileRegistry registry;
  TCommandTable commands(scope.Loop());
  TMohaaServerInfo info;
  TRuntime runtime{home.Path(), clock, scope.Loop(), config, registry, info, commands};
  const auto dir = home / "Data" / "History";
  WriteKnownPlayers(dir);
  {
    THUserList store(dir, clock);
    store.RefreshKnownUsers();
    if (store.KnownCount() != static_cast<size_t>(kKnownPlayers)) state.SkipWithError("store not filled");
    // What the set-up (writing the files, reading the index) left behind,
    // apart from what the tracker adds.
    const double setup_peak = StatusMiB("VmHWM:"), setup_rss = StatusMiB("VmRSS:");
    // Answers at once, so no query waits for a network.
    THistoryUserList tracker(
        runtime, store, [](const TKickRequest&) { return true; },
        [](const std::string& c) { return "\"" + c + "\" is:\"2\", the default\n"; });
    uint64_t kills = 0;
    tracker.AddEventHandler(ekKill, [&](const TMohaaEvent&) { ++kills; });
    tracker.AddEventHandler(ekTeamChange, [&](const TMohaaEvent&) {});
    tracker.Open();
    // 32 slots; each list replaces two players by two others, so the store
    // loads returning players from disk and lets others go.
    std::vector<int> in_slot(32);
    for (int s = 0; s < 32; ++s) in_slot[s] = s;
    int next_player = 32;
    int64_t events = 0;
    for (auto _ : state) {
      for (int round = 0; round < 100; ++round) {
        auto list = std::make_shared<TMohaaEvent>(ekNewUserList);
        list->player_list = std::make_unique<TUserList>();
        list->player_list->map_name = "dm/mohdm6";
        for (int k = 0; k < 2; ++k) in_slot[(round * 2 + k) % 32] = next_player++ % kKnownPlayers;
        for (int s = 0; s < 32; ++s) list->player_list->Add(Row(s, in_slot[s]));
        PostEvent(list);
        ++events;
        for (int e = 0; e < 30; ++e) {
          auto ev = std::make_shared<TMohaaEvent>(e % 5 ? ekKill : ekTeamChange, "allies");
          ev->log_entry = std::make_unique<TLogEntry>();
          ev->log_entry->first_player = Row(e % 32, in_slot[e % 32]);
          ev->log_entry->second_player = Row((e + 7) % 32, in_slot[(e + 7) % 32]);
          PostEvent(ev);
          ++events;
        }
        clock.Advance(3000);
      }
      tracker.Settle(60000);
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["peak_MiB"] = StatusMiB("VmHWM:");
    state.counters["setup_peak_MiB"] = setup_peak;
    state.counters["rss_added_MiB"] = StatusMiB("VmRSS:") - setup_rss;
    state.counters["cached"] = store.CachedCount();
    // The store's writer saves what left the cache behind the events; the
    // manual clock runs 60 times as fast as a real poll, so a backlog here
    // is written after the timed part (at the store's flush).
    state.counters["saves_pending"] = static_cast<double>(store.PendingSaves());
    tracker.Close();
  }
  SetClock(nullptr);
}
BENCHMARK(BM_TrackerMixedEvents)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

}  // namespace
}  // namespace kv
