// The remote-administration server over loopback TCP, as a remote client
// meets it: request-reply round trips (compressed replies, the default),
// packets per second with 50 clients at once, the memory of 200 idle
// connections, and a flood of 10,000 malformed packets from many
// connections while 200 honest clients stay connected and are served.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/bus_scope.h"
#include "domain/events.h"
#include "remoteadmin/client.h"
#include "remoteadmin/server.h"

namespace {

constexpr int64_t kTimeoutMs = 10'000;

// Resident memory of this process in KiB.
long RssKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

// A server with a bus and a handler that answers like a small command: a
// parameter list and a few hundred bytes of data.
struct TRig {
  explicit TRig(size_t max_connections = 64) : bus({{"GLOBAL", kv::kDataPointer}}) {
    kv::RegisterSystemCategories();
    kv::TRemoteAdminOptions options;
    options.port = 0;
    options.bind_address = "127.0.0.1";
    options.max_connections = max_connections;
    options.traffic = &traffic;
    server = std::make_unique<kv::TRemoteAdminServer>(
        options, [](kv::TRemoteAdminServer& s, int32_t connection, kv::TServerPacket& packet) {
          kv::TServerPacket reply;
          reply.result = 0;
          reply.parameters.emplace();
          reply.parameters->SetValue("Command", packet.command_type);
          reply.data = std::string(300, 'p');
          s.SendRecord(connection, reply);
        });
    std::string error;
    started = server->Start(&error);
    this->error = error;
  }
  std::unique_ptr<kv::TRemoteAdminClient> Connect() {
    auto c = std::make_unique<kv::TRemoteAdminClient>();
    if (!c->Connect("127.0.0.1", server->Port(), kTimeoutMs)) return nullptr;
    return c;
  }

  kv::TBusScope bus;
  kv::TRemoteTraffic traffic;
  std::unique_ptr<kv::TRemoteAdminServer> server;
  bool started = false;
  std::string error;
};

kv::TServerPacket Request(int32_t command) {
  kv::TServerPacket p;
  p.command_type = command;
  p.result = 0;
  p.parameters.emplace();
  p.parameters->SetValue("_User", "admin");
  p.parameters->SetValue("_Password", "secret");
  return p;
}

void Percentiles(benchmark::State& state, std::vector<double>& us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

void BM_RemoteAdminRoundTrip(benchmark::State& state) {
  TRig rig;
  if (!rig.started) return state.SkipWithError(rig.error.c_str());
  auto client = rig.Connect();
  if (!client) return state.SkipWithError("connect failed");
  std::vector<double> us;
  kv::TServerPacket reply;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!client->Request(Request(1), reply, kTimeoutMs)) return state.SkipWithError("request failed");
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  Percentiles(state, us);
}
BENCHMARK(BM_RemoteAdminRoundTrip)->UseRealTime();

// 50 clients, each on its own thread, each sending 40 requests one after
// the other: the packets per second the server answers.
void BM_RemoteAdmin50Clients(benchmark::State& state) {
  TRig rig;
  if (!rig.started) return state.SkipWithError(rig.error.c_str());
  constexpr int kClients = 50, kEach = 40;
  std::vector<std::unique_ptr<kv::TRemoteAdminClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(rig.Connect());
    if (!clients.back()) return state.SkipWithError("connect failed");
  }
  std::atomic<int> failures{0};
  int64_t packets = 0;
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (auto& c : clients) {
      threads.emplace_back([&c, &failures] {
        kv::TServerPacket reply;
        for (int k = 0; k < kEach; ++k) {
          if (!c->Request(Request(k), reply, kTimeoutMs)) ++failures;
        }
      });
    }
    for (auto& t : threads) t.join();
    packets += kClients * kEach;
  }
  if (failures) state.SkipWithError("requests failed");
  state.counters["packets_per_s"] = benchmark::Counter(double(packets), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RemoteAdmin50Clients)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_RemoteAdmin200IdleConnections(benchmark::State& state) {
  TRig rig(256);
  if (!rig.started) return state.SkipWithError(rig.error.c_str());
  for (auto _ : state) {
    const long before = RssKb();
    std::vector<std::unique_ptr<kv::TRemoteAdminClient>> clients;
    for (int i = 0; i < 200; ++i) clients.push_back(rig.Connect());
    while (rig.server->Clients().Count() < 200) std::this_thread::yield();
    const long after = RssKb();
    state.counters["rss_delta_kb"] = double(after - before);
    state.counters["per_connection_bytes"] = double(after - before) * 1024 / 200;
    state.counters["rss_kb"] = double(after);
    clients.clear();
    while (rig.server->Clients().Count() > 0) std::this_thread::yield();
  }
}
BENCHMARK(BM_RemoteAdmin200IdleConnections)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// 10,000 malformed packets, each on a connection of its own (a refused
// packet closes its connection), from 8 threads, while 200 honest clients
// stay connected and one of them keeps asking; afterwards every honest
// client is served once more.
void BM_RemoteAdminMalformedFlood(benchmark::State& state) {
  TRig rig(256);
  if (!rig.started) return state.SkipWithError(rig.error.c_str());
  const std::string good = kv::EncodePacket(Request(1), false).bytes;
  std::string bad_marker = good;
  bad_marker[5] ^= 1;
  std::string bad_version = good;
  bad_version[24] = '3';
  std::string bad_crypt = good;
  bad_crypt[45] ^= 0x55;
  std::string huge = good.substr(0, 36) + std::string("\xff\xff\xff\x7f", 4);
  const std::vector<std::string> malformed = {good.substr(0, 39), bad_marker, bad_version, bad_crypt, huge};
  for (auto _ : state) {
    std::vector<std::unique_ptr<kv::TRemoteAdminClient>> honest;
    for (int i = 0; i < 200; ++i) honest.push_back(rig.Connect());
    while (rig.server->Clients().Count() < 200) std::this_thread::yield();
    const long before = RssKb();
    std::atomic<bool> flooding{true};
    std::atomic<int> sent{0}, not_closed{0}, honest_failures{0};
    std::vector<double> us;
    std::thread asker([&] {
      kv::TServerPacket reply;
      while (flooding) {
        const auto start = std::chrono::steady_clock::now();
        if (!honest[0]->Request(Request(2), reply, kTimeoutMs)) ++honest_failures;
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
      }
    });
    std::vector<std::thread> flood;
    for (int t = 0; t < 8; ++t) {
      flood.emplace_back([&, t] {
        for (int k = 0; k < 10'000 / 8; ++k) {
          kv::TRemoteAdminClient c;
          if (!c.Connect("127.0.0.1", rig.server->Port(), kTimeoutMs)) continue;
          c.SendRaw(malformed[size_t(t + k) % malformed.size()], kTimeoutMs);
          ++sent;
          if (!c.WaitClosed(kTimeoutMs)) ++not_closed;
        }
      });
    }
    for (auto& t : flood) t.join();
    flooding = false;
    asker.join();
    const long after = RssKb();
    kv::TServerPacket reply;
    for (auto& c : honest) {
      if (!c->Request(Request(3), reply, kTimeoutMs)) ++honest_failures;
    }
    state.counters["malformed_sent"] = double(sent.load());
    state.counters["not_closed"] = double(not_closed.load());
    state.counters["honest_failures"] = double(honest_failures.load());
    state.counters["rss_growth_kb"] = double(after - before);
    state.counters["still_running"] = rig.server->Running();
    Percentiles(state, us);
  }
}
BENCHMARK(BM_RemoteAdminMalformedFlood)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
