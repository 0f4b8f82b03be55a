// The player history store on 100,000 known players: rebuilding the index
// (RefreshKnownUsers, with and without index.lst) and the history look-up of
// a cached and of an uncached player. The directory is built once per run.
#include <benchmark/benchmark.h>

#include <memory>

#include "bench/bench_players.h"
#include "core/clock.h"
#include "players/history_store.h"
#include "tests/support/temp_home.h"

namespace {

namespace fs = std::filesystem;
constexpr int kPlayers = 100'000;

std::string NickOf(int i) { return "Player" + std::to_string(i) + "^7"; }

// Player files written directly (no fsync per file: the set-up would take
// longer than the measurement), with the index the service would keep.
struct TBenchStore {
  TBenchStore() : home("histbench") {
    dir = home / "History";
    kv::bench::WritePlayerFiles(dir, kPlayers, [](int i, kv::THistoryUserEntry& h) {
      h.player.name = NickOf(i);
      h.player.address = "10.1." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
      for (const char* v : {"Kills", "Deaths", "TeamKills", "PlayTime", "Maps"}) h.persistent.SetValue(v, i);
      h.persistent.SetValue("FirstSeen", kv::TVariant::Date(45000.5));
    });
  }
  kv::testing::TTempHome home;
  fs::path dir;
};

TBenchStore& Store() {
  static TBenchStore store;
  return store;
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * 4;
}

void BM_HistoryRefreshKnownUsers(benchmark::State& state) {
  const fs::path dir = Store().dir;
  kv::TManualClock clock;
  const long before = ResidentKiB();
  auto store = std::make_unique<kv::THUserList>(dir, clock);
  for (auto _ : state) store->RefreshKnownUsers();
  state.counters["players"] = static_cast<double>(store->KnownCount());
  state.counters["index_KiB"] = static_cast<double>(ResidentKiB() - before);
}
BENCHMARK(BM_HistoryRefreshKnownUsers)->Unit(benchmark::kMillisecond)->Iterations(3);

// Without index.lst every file is opened and deciphered for its nick.
void BM_HistoryRefreshWithoutIndex(benchmark::State& state) {
  const fs::path dir = Store().dir;
  kv::TManualClock clock;
  kv::THUserList store(dir, clock);
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(dir / kv::kHistoryIndexFile);
    state.ResumeTiming();
    store.RefreshKnownUsers();
  }
  state.counters["players"] = static_cast<double>(store.KnownCount());
}
BENCHMARK(BM_HistoryRefreshWithoutIndex)->Unit(benchmark::kMillisecond)->Iterations(2);

// A player of the last minutes: found in the cache.
void BM_HistoryLookUpCached(benchmark::State& state) {
  kv::TManualClock clock;
  kv::THUserList store(Store().dir, clock);
  store.RefreshKnownUsers();
  constexpr int kCached = 64;
  for (int i = 0; i < kCached; ++i) store.GetUserEntry(NickOf(i * 1000));
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.GetUserEntry(NickOf((i++ % kCached) * 1000)));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HistoryLookUpCached);

// A player not seen for a while: read and deciphered from its file, then
// cached (each iteration asks for another player). The cache grows to 2,000
// players here, far more than the service holds, which each load's purge
// walks: the figure is on the safe side.
void BM_HistoryLookUpUncached(benchmark::State& state) {
  kv::TManualClock clock;
  kv::THUserList store(Store().dir, clock);
  store.RefreshKnownUsers();
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.GetUserEntry(NickOf(i++ % kPlayers)));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HistoryLookUpUncached)->Iterations(2'000);

}  // namespace
