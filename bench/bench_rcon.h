// What the benchmarks that talk to mohsim share: a server state whose rcon
// goes to the simulated server over loopback UDP, through the service's
// budget, flood filter and placeholder expansion, as in the service.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>

#include "domain/serverinfo.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "gamelink/rcon.h"
#include "gamelink/rcon_budget.h"
#include "tools/mohsim/mohsim.h"

namespace kv::bench {

inline void PointRconAtSim(TMohaaServerInfo& info, uint16_t port, const std::string& password) {
  info.SetServerHost("127.0.0.1");
  info.rcon.Update([&](TRconSettings& r) {
    r.port = std::to_string(port);
    r.password = password;
  });
  info.rcon_budget =
      std::make_shared<TRconBudget>(kRconBurstDefault, kRconRatePerMinuteDefault, &info.rcon_terminating);
  CreateLastConsoleMsgs(info);
  InstallPlaceholderExpander(info);
}

// What reached the simulated server: the counters says_at_sim and
// kicks_at_sim.
inline void CountAtSim(const mohsim::TMohSim& sim, benchmark::State& state) {
  size_t says = 0, kicked = 0;
  for (const auto& c : sim.Commands()) {
    says += c.rfind("Say ", 0) == 0;
    kicked += c.rfind("clientkick ", 0) == 0;
  }
  state.counters["says_at_sim"] = static_cast<double>(says);
  state.counters["kicks_at_sim"] = static_cast<double>(kicked);
}

}  // namespace kv::bench
