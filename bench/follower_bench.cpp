// Local log-file follower: the time from a line appended to the log file to
// its raw "NewLogFileEntry" event reaching a subscriber (p50, p99), and a
// burst of 10,000 lines appended at once (a map change): all published, in
// order, none lost.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "core/bus_monitor.h"
#include "core/bus_scope.h"
#include "domain/events.h"
#include "gamelink/file_session.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

int64_t NowNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// A log file in a fresh directory, a follower on it and one subscriber of
// the raw events that notes when each arrives.
class TFollowerRig {
 public:
  TFollowerRig() : monitor_(MakeThread<TMsgMonitor>(false)) {
    RegisterSystemCategories();
    std::string tmpl = (fs::temp_directory_path() / "kvfollowbench.XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    path_ = (dir_ / "qconsole.log").string();
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    monitor_->AddCategory("EVENTNewLogFileEntry");
    monitor_->SetLevelHandler(
        mlInformation, [this](const std::string&, const std::string&, TMsgData& data, uint8_t) {
          const int64_t at = NowNs();
          auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data);
          auto event = object ? std::dynamic_pointer_cast<TMohaaEvent>(*object) : nullptr;
          std::lock_guard lock(mutex_);
          texts_.push_back(event ? event->text : std::string());
          arrived_ns_.push_back(at);
          cv_.notify_all();
        });
    GetMonitorInterface()->AddMonitor(monitor_.get());
    session_ = TFileSession::Create(nullptr, path_, nullptr);
  }
  ~TFollowerRig() {
    session_.reset();
    monitor_->Stop();
    ::close(fd_);
    fs::remove_all(dir_);
  }

  void Append(const std::string& text) {
    [[maybe_unused]] const ssize_t n = ::write(fd_, text.data(), text.size());
  }
  bool WaitCount(size_t n, int64_t timeout_ms) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return texts_.size() >= n; });
  }
  int64_t ArrivedNs(size_t i) {
    std::lock_guard lock(mutex_);
    return arrived_ns_[i];
  }
  std::vector<std::string> Texts() {
    std::lock_guard lock(mutex_);
    return texts_;
  }

 private:
  fs::path dir_;
  std::string path_;
  int fd_ = -1;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> texts_;
  std::vector<int64_t> arrived_ns_;
  TThreadPtr<TMsgMonitor> monitor_;
  TThreadPtr<TFileSession> session_;
};

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void BM_FollowerLatency(benchmark::State& state) {
  TBusScope bus;
  TFollowerRig rig;
  std::vector<double> latencies_ms;
  size_t n = 0;
  for (auto _ : state) {
    const int64_t written = NowNs();
    rig.Append("Alice was sniped by Bob " + std::to_string(n) + "\n");
    if (!rig.WaitCount(++n, 2000)) {
      state.SkipWithError("a line was not published");
      return;
    }
    const double ms = static_cast<double>(rig.ArrivedNs(n - 1) - written) / 1e6;
    latencies_ms.push_back(ms);
    state.SetIterationTime(ms / 1000.0);
  }
  state.counters["p50_ms"] = Percentile(latencies_ms, 0.50);
  state.counters["p99_ms"] = Percentile(latencies_ms, 0.99);
  state.counters["max_ms"] = Percentile(latencies_ms, 1.0);
}
BENCHMARK(BM_FollowerLatency)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_FollowerBurst(benchmark::State& state) {
  constexpr int kLines = 10'000;
  std::string burst;
  for (int i = 0; i < kLines; ++i) burst += "Line " + std::to_string(i) + " of the map change burst\r\n";
  for (auto _ : state) {
    state.PauseTiming();
    TBusScope bus;
    TFollowerRig rig;
    state.ResumeTiming();
    const int64_t written = NowNs();
    rig.Append(burst);
    if (!rig.WaitCount(kLines, 20000)) {
      state.SkipWithError("lines were lost");
      return;
    }
    const double ms = static_cast<double>(rig.ArrivedNs(kLines - 1) - written) / 1e6;
    state.PauseTiming();
    const auto texts = rig.Texts();
    for (int i = 0; i < kLines; ++i) {
      if (texts[i] != "Line " + std::to_string(i) + " of the map change burst") {
        state.SkipWithError("lines out of order");
        return;
      }
    }
    if (texts.size() != kLines) state.SkipWithError("extra lines");
    state.counters["burst_ms"] = ms;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_FollowerBurst)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kv
