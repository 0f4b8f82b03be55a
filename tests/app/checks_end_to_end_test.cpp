// The player checks as an operator meets them: the kelvandrome binary on a
// home whose SkinList.dat bans a skin, following mohsim's log and polling
// it over loopback UDP in real time. A banned skin, a high ping and a
// team-switch flood each end in an announcement and a kick at the server.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/app/service_process.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::ptrdiff_t At(const mohsim::TMohSim& sim, const std::string& command) {
  const auto all = sim.Commands();
  const auto it = std::find(all.begin(), all.end(), command);
  return it == all.end() ? -1 : it - all.begin();
}

TEST(ChecksEndToEnd, BannedSkinHighPingAndTeamFloodAreKickedByTheService) {
  testing::TSimHome server("secret", "checks");
  ASSERT_TRUE(server.Started()) << server.Error();
  mohsim::TMohSim& sim = server.Sim();
  const fs::path& home = server.Home();
  fs::create_directories(home / "Data");
  std::ofstream(home / "Data" / "SkinList.dat", std::ios::binary) << "german_panzer_grenadier\r\n";
  server.WriteIni("LocalLogFile=" + server.Log().string() +
                  "\r\nStartOnStartup=1\r\nUserRefrestTimer=1\r\nUseTeamMessages=1\r\n"
                  "SkinKickDelay=1\r\nMKickDelay=1\r\nMKickRepeat=1\r\n");
  const int eve = sim.Join("Eve", "81.2.3.5");
  const int tom = sim.Join("Tom", "81.2.3.6");
  ASSERT_TRUE(sim.SetSkins("Eve", "allied_airborne", "german_panzer_grenadier"));

  testing::TServiceProcess service;
  ASSERT_TRUE(service.Start(home.string()));
  // The skin's announcement is said SkinKickDelay after the scan, the kick
  // comes MKickDelay later.
  const std::string kick_eve = "clientkick " + std::to_string(eve);
  EXPECT_TRUE(testing::WaitFor([&] { return At(sim, kick_eve) >= 0; }, 20000)) << service.Output();
  const auto skin_say =
      At(sim, "Say \"Eve get kicked because of a banned Skin - german_panzer_grenadier - Axis\"");
  EXPECT_GE(skin_say, 0);
  EXPECT_LT(skin_say, At(sim, kick_eve));
  EXPECT_GE(At(sim, "dumpuser \"Eve\""), 0);

  const int hal = sim.Join("Hal", "81.2.3.7", 3001);
  const std::string kick_hal = "clientkick " + std::to_string(hal);
  EXPECT_TRUE(testing::WaitFor([&] { return At(sim, kick_hal) >= 0; }, 20000)) << service.Output();
  EXPECT_GE(At(sim, "Say \"Hal gets kicked because a high ping for a long time (Ping: 3001)\""), 0);

  ASSERT_TRUE(sim.JoinTeam("Tom", "allies"));
  ASSERT_TRUE(sim.JoinTeam("Tom", "axis"));
  const std::string kick_tom = "clientkick " + std::to_string(tom);
  EXPECT_TRUE(testing::WaitFor([&] { return At(sim, kick_tom) >= 0; }, 20000)) << service.Output();
  const auto flood =
      At(sim, "Say \"Tom do not change teams that fast !!!! This is not welcome on this Server\"");
  EXPECT_GE(flood, 0);
  EXPECT_LT(flood, At(sim, kick_tom));

  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(15000), 0) << service.Output();
  // The check list is saved as it was loaded.
  EXPECT_EQ(testing::ReadFileText(home / "Data" / "SkinList.dat"), "german_panzer_grenadier\r\n");
}

}  // namespace
}  // namespace kv
