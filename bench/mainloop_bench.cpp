// The main loop: the round trip of Invoke from another thread (what every
// synchronised subscriber pays per record) and, on a manual clock, the real
// time from moving the clock to the timer that became due.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>

#include "core/clock.h"
#include "core/mainloop.h"

namespace kv {
namespace {

void BM_MainLoopInvoke(benchmark::State& state) {
  TMainLoop loop;
  loop.StartThread();
  int64_t ran = 0;
  for (auto _ : state) loop.Invoke([&] { ++ran; });
  benchmark::DoNotOptimize(ran);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MainLoopInvoke)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_MainLoopTimerAfterAdvance(benchmark::State& state) {
  TManualClock clock;
  SetClock(&clock);
  {
    TMainLoop loop;
    loop.StartThread();
    std::mutex mutex;
    std::condition_variable cv;
    int64_t fired = 0;
    loop.AddTimer(1000, [&] {
      std::lock_guard lock(mutex);
      ++fired;
      cv.notify_all();
    });
    loop.Invoke([] {});  // the loop is waiting for the timer
    int64_t expected = 0;
    for (auto _ : state) {
      clock.Advance(1000);
      std::unique_lock lock(mutex);
      cv.wait(lock, [&] { return fired > expected; });
      expected = fired;
    }
    loop.Stop();
  }
  SetClock(nullptr);
}
BENCHMARK(BM_MainLoopTimerAfterAdvance)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kv
