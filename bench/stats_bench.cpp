// The statistics web site for 10,000 known players, each with kill counters
// against other players (links between the pages): wall time of one whole
// generation, and the peak resident memory it adds. The store is built
// once per run, with the player files written directly.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "bench/bench_players.h"
#include "core/bus_scope.h"
#include "core/clock.h"
#include "players/history_record.h"
#include "players/history_store.h"
#include "stats/web_stats.h"
#include "tests/support/temp_home.h"

namespace {

namespace fs = std::filesystem;
constexpr int kPlayers = 10'000;

std::string NickOf(int i) { return "Player" + std::to_string(i) + "^7"; }

struct TBenchStore {
  TBenchStore() : home("statsbench") {
    dir = home / "Data" / "History";
    kv::bench::WritePlayerFiles(dir, kPlayers, [](int i, kv::THistoryUserEntry& h) {
      h.player.name = NickOf(i);
      h.player.address = "10.1." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
      for (const char* v : {"MapsPlayed", "hasKilled", "wasKilled", "PlayTime", "TeamKills"})
        h.persistent.SetValue(v, i % 97);
      for (int k = 1; k <= 5; ++k) {
        h.persistent.SetValue("hasKilled [" + NickOf((i + k * 37) % kPlayers) + "]", k);
        h.persistent.SetValue("wasKilledfrom [" + NickOf((i + k * 53) % kPlayers) + "]", k);
        h.persistent.SetValue("hasKilledwith [MP40] [dm/mohdm" + std::to_string(k) + "]", k);
      }
      h.persistent.SetValue("LastKill", kv::TVariant::Date(45000.5 + i));
    });
  }
  kv::testing::TTempHome home;
  fs::path dir;
};

TBenchStore& Store() {
  static TBenchStore store;
  return store;
}

// A line of /proc/self/status in KiB, as the counters report it.
double StatusKiB(const char* field) { return kv::bench::StatusMiB(field) * 1024.0; }

// Lets VmHWM start again from the current resident size.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void BM_GenerateStats(benchmark::State& state) {
  TBenchStore& s = Store();
  kv::TBusScope bus;  // the store's messages go over a hub, as in the service
  kv::TManualClock clock;
  kv::THUserList store(s.dir, clock);
  kv::TWebStats web(store);
  kv::TWebStatsOptions options;
  options.template_dir = s.home / "Data";
  options.progress = [](const std::string&) {};
  const fs::path out = s.home / "Stats";
  double added_peak = 0;
  for (auto _ : state) {
    ResetPeak();
    const double before = StatusKiB("VmRSS:");
    if (web.Generate(out, options) != kv::TWebStats::TResult::Done) state.SkipWithError("generation failed");
    added_peak = std::max(added_peak, StatusKiB("VmHWM:") - before);
  }
  long pages = 0;
  for (const auto& e : fs::directory_iterator(out)) pages += e.path().extension() == ".html";
  state.counters["players"] = kPlayers;
  state.counters["pages"] = static_cast<double>(pages);
  state.counters["peak_added_KiB"] = added_peak;
  state.counters["peak_process_KiB"] = StatusKiB("VmHWM:");
}
BENCHMARK(BM_GenerateStats)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
