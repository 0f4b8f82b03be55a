// What the benchmarks that talk to mohsim share: a server state whose rcon
// goes to the simulated server over loopback UDP, through the service's
// budget, flood filter and placeholder expansion, as in the service.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "domain/serverinfo.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "gamelink/rcon.h"
#include "gamelink/rcon_budget.h"

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

}  // namespace kv::bench
