// A remote command's round trip on loopback without the process start of
// kvadmin: one client connection, each request checked (account, filter,
// password, right), run, reported on the bus and answered.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "core/bus_scope.h"
#include "domain/events.h"
#include "remoteadmin/client.h"
#include "remoteadmin/commands.h"
#include "remoteadmin/server.h"

namespace {

void BM_RemoteCommandRoundTrip(benchmark::State& state) {
  kv::TBusScope scope;
  kv::RegisterSystemCategories();
  kv::TAccountTable accounts;
  accounts.AddAccount({"bench", "pw", "^127\\.", kv::GrantableRights()});
  kv::TLoginThrottle throttle(kv::Clock());
  kv::TRemoteCommandHandler handler(accounts, throttle, {});
  kv::TRemoteAdminOptions options;
  options.port = 0;
  options.bind_address = "127.0.0.1";
  kv::TRemoteAdminServer server(options, [&](kv::TRemoteAdminServer& s, int32_t c, kv::TServerPacket& p) {
    handler.ServerFunctionality(s, c, p);
  });
  std::string error;
  if (!server.Start(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  kv::TRemoteAdminClient client;
  if (!client.Connect("127.0.0.1", server.Port(), 5000, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  kv::TServerPacket request, reply;
  request.command_type = 9;  // Get Client Users
  request.parameters.emplace();
  request.parameters->SetValue("_ConnectionUserName", "bench");
  request.parameters->SetValue("_ConnectionUserPass", "pw");
  std::vector<double> us;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!client.Request(request, reply, 5000, &error) || reply.result != 0) {
      state.SkipWithError(error.empty() ? "command failed" : error.c_str());
      break;
    }
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  if (!us.empty()) {
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  }
  server.Stop();
}
BENCHMARK(BM_RemoteCommandRoundTrip)->UseRealTime();

}  // namespace
