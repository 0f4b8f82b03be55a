// What the player checks cost the tracker: status lists of 32 players
// through the bus into the tracker, without (arg 0) and with the checks
// plugged in (arg 1; arg 2: with the skin scan off). With them every row runs the ping checks, and every
// player's skins are read again each 120 s of the manual clock (3 s per
// list): the "dumpuser" replies come from a function that answers at once,
// go through the checks' worker and back into the tracker's queue.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "formats/config.h"
#include "players/history_store.h"
#include "players/tracker.h"
#include "rules/checks.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

class TNoKicks : public TKicker {
 public:
  bool AddKickThread(int32_t, int32_t, int32_t, const TReplaceArray&, const std::string&) override {
    return true;
  }
  bool IsKickPending(int32_t) const override { return false; }
};

TUserListEntry Row(int slot) {
  TUserListEntry r;
  r.client_number = slot;
  r.name = "Player" + std::to_string(slot);
  r.address = "81.9.0." + std::to_string(slot);
  r.qport = 1000 + slot;
  r.ping = 40 + slot;
  r.rate = 25000;
  r.map = "dm/mohdm6";
  return r;
}

void BM_ChecksOnTrackerLists(benchmark::State& state) {
  const bool with_checks = state.range(0) != 0;
  testing::TTempHome home("checksbench");
  TManualClock clock;
  SetClock(&clock);
  TBusScope scope({{"GLOBAL", kDataPointer}});
  RegisterSystemCategories();
  TDynamicConfigData config(nullptr);
  TDataFileRegistry registry;
  TCommandTable commands(scope.Loop());
  TMohaaServerInfo info;
  TRuntime runtime{home.Path(), clock, scope.Loop(), config, registry, info, commands};
  std::atomic<int64_t> scans{0};
  {
    THUserList store(home / "Data" / "History", clock);
    store.RefreshKnownUsers();
    auto answer = [](const std::string& c) { return "\"" + c + "\" is:\"2\", the default\n"; };
    THistoryUserList tracker(
        runtime, store, [](const TKickRequest&) { return true; }, answer);
    TNoKicks kicks;
    std::unique_ptr<TPlayerChecks> checks;
    if (with_checks) {
      checks = std::make_unique<TPlayerChecks>(runtime, tracker, kicks, nullptr, [&](const std::string&) {
        scans.fetch_add(1);
        return std::string(
            "userinfo\n--------\ndm_playermodel       : american_army\n"
            "dm_playergermanmodel : german_wehrmacht_soldier\n");
      });
      TSettings s(config, home.Path());
      TChecksSettings settings = ReadChecksSettings(s, nullptr);
      settings.skin_detect = state.range(0) == 1;
      checks->ApplySettings(std::move(settings));
    }
    tracker.Open();
    if (checks) checks->Open();
    int64_t lists = 0;
    for (auto _ : state) {
      for (int round = 0; round < 200; ++round) {
        auto list = std::make_shared<TMohaaEvent>(ekNewUserList);
        list->player_list = std::make_unique<TUserList>();
        list->player_list->map_name = "dm/mohdm6";
        for (int s = 0; s < 32; ++s) list->player_list->Add(Row(s));
        PostEvent(list);
        ++lists;
        clock.Advance(3000);
      }
      tracker.Settle(60000);
      if (checks) checks->WaitWorkerIdle(60000);
      tracker.WaitIdle(60000);
    }
    state.counters["lists/s"] = benchmark::Counter(static_cast<double>(lists), benchmark::Counter::kIsRate);
    state.counters["rows/s"] =
        benchmark::Counter(static_cast<double>(lists) * 32, benchmark::Counter::kIsRate);
    state.counters["scans"] = static_cast<double>(scans.load());
    if (checks) checks->Close();
    tracker.Close();
  }
  SetClock(nullptr);
}
BENCHMARK(BM_ChecksOnTrackerLists)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

}  // namespace
}  // namespace kv
