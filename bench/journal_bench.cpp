// End to end: the kelvandrome binary with every journal on follows the log of
// a simulated game server; a large burst of real-shaped log text is appended
// at once, and the time runs until the burst's last kill is in Kills.txt.
// Reports lines per second and the service's peak resident memory.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "tests/app/log_burst.h"

namespace kv {
namespace {

using testing::TBurstRig;

void BM_JournalBurstEndToEnd(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0)) << 20;
  TBurstRig rig("kvbench-burst");
  if (const std::string error = rig.Start(); !error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  const int64_t rss_before_kb = rig.MemoryKb("VmRSS");
  int64_t kill_bytes = 0, raw_bytes = 0;
  uint32_t seed = 1;
  size_t lines = 0;
  double seconds = 0, cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const auto burst = testing::MakeLogBurst(bytes, seed++);
    kill_bytes += static_cast<int64_t>(burst.kill_journal.size());
    raw_bytes += static_cast<int64_t>(burst.raw_bytes);
    state.ResumeTiming();
    const double cpu_start = rig.CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    if (!rig.Append(burst.text) || !rig.WaitForJournalSize("Kills.txt", kill_bytes, 600'000)) {
      state.SkipWithError("the burst did not reach Kills.txt");
      return;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(s);
    seconds += s;
    cpu += rig.CpuSeconds() - cpu_start;
    lines += burst.lines;
  }
  if (!rig.WaitForJournalSize("Debug_SSH.txt", raw_bytes, 60'000)) state.SkipWithError("raw lines missing");
  state.counters["lines_per_s"] = static_cast<double>(lines) / seconds;
  // The service's own processor time per line: less at the mercy of other
  // load on the machine than the rate.
  state.counters["cpu_us_per_line"] = cpu * 1e6 / static_cast<double>(lines);
  state.counters["rss_before_MB"] = static_cast<double>(rss_before_kb) / 1024.0;
  state.counters["peak_rss_MB"] = static_cast<double>(rig.MemoryKb("VmHWM")) / 1024.0;
  state.SetItemsProcessed(static_cast<int64_t>(lines));
}
BENCHMARK(BM_JournalBurstEndToEnd)->Arg(50)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kv
