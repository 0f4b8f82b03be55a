// Status polling costs: parsing the reply of a full server, and one rcon
// round trip to the simulated game server on loopback. A "say" reply has no
// end mark, so its round trip includes the short wait for a continuation;
// a "status" reply ends at its empty line and does not wait.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "domain/serverinfo.h"
#include "formats/config.h"
#include "gamelink/rcon.h"
#include "gamelink/userinfo.h"
#include "tools/mohsim/mohsim.h"

namespace {

void FillServer(kv::mohsim::TMohSim& sim, int players) {
  for (int i = 0; i < players; ++i)
    sim.Join("Player_" + std::to_string(i) + std::string(static_cast<size_t>(i % 12), 'x'),
             "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1), 20 + i * 7 % 300,
             i % 9 == 0);
}

void BM_ParseStatusReply64(benchmark::State& state) {
  kv::mohsim::TMohSim sim("pw");
  FillServer(sim, 64);
  const std::string reply = "\xFF\xFF\xFF\xFF\x01print\n" + sim.Execute("status", false);
  for (auto _ : state) {
    auto list = kv::ParseStatusReply(reply);
    kv::ComputePingStatistics(*list);
    kv::SortLongestNameFirst(*list);
    benchmark::DoNotOptimize(list->Count());
  }
}
BENCHMARK(BM_ParseStatusReply64);

// arg 0: players on the server (0 = a one-datagram "say" reply).
void BM_RconRoundTrip(benchmark::State& state) {
  kv::TDynamicConfigData config(nullptr);
  kv::mohsim::TMohSim sim("pw");
  FillServer(sim, static_cast<int>(state.range(0)));
  std::string error;
  if (!sim.Listen(0, error)) state.SkipWithError(error.c_str());
  kv::TMohaaServerInfo info;
  info.UseConfig(&config);
  info.SetServerHost("127.0.0.1");
  info.rcon.Publish({.port = std::to_string(sim.Port()), .password = "pw"});
  const std::string command = state.range(0) == 0 ? "say hello" : "status";
  std::vector<double> us;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(kv::SendMohaMessage(info, command).size());
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(us.begin(), us.end());
  if (!us.empty()) {
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  }
  sim.Stop();
}
BENCHMARK(BM_RconRoundTrip)->Arg(0)->Arg(64)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(300);

}  // namespace
