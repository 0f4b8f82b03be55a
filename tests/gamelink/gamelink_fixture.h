// Shared test support for the game link: a bus with the system categories,
// a settings store without a file and an in-process mohsim on a free
// loopback port.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/bus_scope.h"
#include "domain/events.h"
#include "domain/serverinfo.h"
#include "domain/userlist.h"
#include "formats/config.h"
#include "gamelink/rcon.h"
#include "gamelink/userinfo.h"
#include "tests/support/sim_home.h"

namespace kv::testing {

// A bus with the system categories, a file-less settings store, and a
// simulated game server with the password "secret".
class GameLinkTest : public ::testing::Test {
 protected:
  GameLinkTest() : scope_({{"GLOBAL", kDataPointer}}), config_(nullptr), sim_(sim_home_.Sim()) {
    RegisterSystemCategories();
    info_.UseConfig(&config_);
    if (!sim_home_.Started()) ADD_FAILURE() << sim_home_.Error();
    info_.SetServerHost("127.0.0.1");
    info_.rcon.Update([&](TRconSettings& r) { r.port = std::to_string(sim_.Port()); });
    info_.rcon.Update([&](TRconSettings& r) { r.password = "secret"; });
  }
  ~GameLinkTest() override {
    sim_.Stop();
    SetRconReplySink(info_, nullptr);
    SetServerIdentitySource(info_, nullptr);
  }

  TBusScope scope_;
  TDynamicConfigData config_;
  TSimHome sim_home_{"secret"};
  mohsim::TMohSim& sim_;
  TMohaaServerInfo info_;
};

}  // namespace kv::testing
