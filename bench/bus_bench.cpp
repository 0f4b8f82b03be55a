// Bus dispatch: messages per second from one producer on one category to
// four subscribers, and the time from post to handler on an idle system.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/bus_monitor.h"
#include "core/bus_scope.h"

namespace kv {
namespace {

constexpr int kSubscribers = 4;

int64_t NowNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// Four subscribers of one category that count what they handle.
class TFourSubscribers {
 public:
  explicit TFourSubscribers(const char* category, std::function<void(int)> on_message = nullptr)
      : on_message_(std::move(on_message)) {
    for (int i = 0; i < kSubscribers; ++i) {
      monitors_.push_back(MakeThread<TMsgMonitor>(false));
      monitors_.back()->AddCategory(category);
      monitors_.back()->SetLevelHandler(
          mlInformation, [this, i](const std::string&, const std::string&, TMsgData&, uint8_t) {
            if (on_message_) on_message_(i);
            std::lock_guard lock(mutex_);
            ++handled_;
            cv_.notify_all();
          });
      GetMonitorInterface()->AddMonitor(monitors_.back().get());
    }
  }
  ~TFourSubscribers() {
    for (auto& m : monitors_) m->Stop();
  }
  void WaitHandled(int64_t total) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return handled_ >= total; });
  }

 private:
  std::function<void(int)> on_message_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int64_t handled_ = 0;
  std::vector<TThreadPtr<TMsgMonitor>> monitors_;
};

struct TBenchEvent : TBusObject {
  int kind = 1;
};

void Throughput(benchmark::State& state, bool objects) {
  TBusScope bus({{"GLOBAL", kDataPointer}, {"EVENTkill", kDataObject}});
  const char* category = objects ? "EVENTkill" : "GLOBAL";
  TFourSubscribers subs(category);
  const int batch = static_cast<int>(state.range(0));
  int64_t posted = 0;
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) {
      TMsgData data;
      if (objects) data = std::make_shared<TBenchEvent>();
      PostMonitorMessage(category, "kill", mlInformation, std::move(data));
    }
    posted += batch;
    subs.WaitHandled(posted * kSubscribers);
  }
  state.SetItemsProcessed(posted);  // messages posted and delivered to all four
}

void BM_BusThroughputText(benchmark::State& state) { Throughput(state, false); }
void BM_BusThroughputObjects(benchmark::State& state) { Throughput(state, true); }
BENCHMARK(BM_BusThroughputText)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BusThroughputObjects)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);

// One message at a time; every handler notes how long after the post it ran.
void BM_BusLatency(benchmark::State& state) {
  TBusScope bus;
  std::atomic<int64_t> posted_at{0};
  std::mutex samples_mutex;
  std::vector<int64_t> samples;
  TFourSubscribers subs("GLOBAL", [&](int) {
    const int64_t ns = NowNs() - posted_at.load();
    std::lock_guard lock(samples_mutex);
    samples.push_back(ns);
  });
  int64_t posted = 0;
  for (auto _ : state) {
    posted_at = NowNs();
    PostGlobal("ping", mlInformation);
    subs.WaitHandled(++posted * kSubscribers);
  }
  std::sort(samples.begin(), samples.end());
  auto pct = [&](double p) {
    return samples.empty() ? 0.0 : samples[static_cast<size_t>(p * (samples.size() - 1))] / 1000.0;
  };
  state.counters["p50_us"] = pct(0.50);
  state.counters["p99_us"] = pct(0.99);
  state.counters["max_us"] = pct(1.0);
}
BENCHMARK(BM_BusLatency)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kv
