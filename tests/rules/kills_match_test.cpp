// Scripted matches against mohsim over loopback UDP: the status polls give
// the teams (score column), the game's kill lines go through the real log
// parser, warnings, kicks and ban messages arrive at mohsim, all on the
// manual clock.
#include <gtest/gtest.h>

#include "tests/rules/kills_fixture.h"

namespace kv::testing {
namespace {

using mohsim::TSimWeapon;

constexpr int64_t kMinute = 60'000;

class KillsMatchTest : public KillsTest {
 protected:
  KillsMatchTest() {
    // The match repeats the same warning more often than the console's
    // flood filter lets the same text through (twice in ten messages).
    config_.SetBool("FilterMessagesSend", false);
  }
  // The score column of a team game: every member shows his team's score
  // (the simulated server counts each kill for the killer alone).
  void TeamPoll() {
    for (const char* p : {"Alice", "Bob"})
      if (sim_.Client(p)) sim_.SetScore(p, 10);
    for (const char* p : {"Carl", "Dave"})
      if (sim_.Client(p)) sim_.SetScore(p, 25);
    Poll();
  }
};

TEST_F(KillsMatchTest, ATeamKillerIsWarnedKickedForgivenAndBannedOnHisSecondKick) {
  OpenRules();
  sim_.Join("Alice", "10.0.0.2");
  sim_.Join("Bob", "10.0.0.3");
  sim_.Join("Carl", "10.0.0.4");
  sim_.Join("Dave", "10.0.0.5");
  PollUntilTeamGame();
  TeamPoll();  // the teams of a team game: 10 and 25
  ASSERT_EQ(Int("Alice", "Team", true), 1);
  ASSERT_EQ(Int("Carl", "Team", true), 2);
  TEventRecorder team_kills({ekTeamKill});

  // Two team kills: two warnings, neither death nor kill booked.
  const std::string warning = "Alice you are TEAMKILLING STOP IT or get KICKED";
  Kill("Alice", "Bob", TSimWeapon::Rifle);
  EXPECT_TRUE(WaitSaid(warning, 1));
  Advance(20'000);
  Kill("Alice", "Bob", TSimWeapon::Grenade);
  EXPECT_TRUE(WaitSaid(warning, 2));
  EXPECT_EQ(Int("Alice", "TeamKill", true), 2);
  EXPECT_EQ(Int("Alice", "TeamKills"), 2);
  EXPECT_EQ(Int("Alice", "TeamKill [Rifle]"), 1);
  EXPECT_EQ(Int("Alice", "TeamKill [Grenade]"), 1);
  EXPECT_EQ(Int("Alice", "hasKilled"), -12345);
  EXPECT_EQ(Int("Bob", "wasKilled"), -12345);
  ASSERT_TRUE(team_kills.WaitCount(2));
  EXPECT_EQ(team_kills.At(0)->text, "Bob");
  EXPECT_EQ(team_kills.At(0)->log_entry->first_player.name, "Alice");
  // A kill across the teams is an ordinary one.
  Kill("Carl", "Bob", TSimWeapon::Rifle);
  EXPECT_EQ(Int("Carl", "hasKilled"), 1);
  EXPECT_EQ(Int("Bob", "wasKilled"), 1);

  // Forgiveness at the polls, one team kill per ten minutes after the first.
  Advance(9 * kMinute);
  TeamPoll();
  EXPECT_EQ(Int("Alice", "TeamKill", true), 2);
  Advance(kMinute + 1'000);
  TeamPoll();
  EXPECT_EQ(Int("Alice", "TeamKill", true), 1);
  Advance(10 * kMinute);
  TeamPoll();
  EXPECT_EQ(Int("Alice", "TeamKill", true), 1);  // not yet more than ten minutes
  Advance(2'000);
  TeamPoll();
  EXPECT_EQ(Int("Alice", "TeamKill", true), 0);
  EXPECT_EQ(Int("Alice", "TeamKills"), 2);  // the lifetime count stays

  // Three more: two warnings, then the kick with the victim in the text.
  config_.SetString("TKDetectKickMessage", "%playernick% gets kicked because of TeamKilling %playernick1%");
  TSettings settings(config_, home_.Path());
  rules_->ApplySettings(settings);
  for (int i = 0; i < 3; ++i) {
    Advance(20'000);
    Kill("Alice", "Bob", TSimWeapon::Rifle);
  }
  EXPECT_TRUE(WaitSaid(warning, 4));
  ASSERT_TRUE(KicksArrive(1));
  EXPECT_TRUE(WaitSaid("Alice gets kicked because of TeamKilling Bob"));
  EXPECT_EQ(Int("Alice", "KickedforAbuse_TeamKill"), 1);
  ASSERT_TRUE(rules_->Flush(5000));
  EXPECT_EQ(bans_.List().Count(), 0u);
  EXPECT_FALSE(sim_.Client("Alice"));

  // She comes back; her third team kill of the visit is her second kick.
  TeamPoll();
  sim_.Join("Alice", "10.0.0.2");
  TeamPoll();
  ASSERT_EQ(Int("Alice", "Team", true), 1);
  EXPECT_EQ(Int("Alice", "TeamKill", true), -12345);  // a new visit
  for (int i = 0; i < 3; ++i) {
    Advance(20'000);
    Kill("Alice", "Bob", TSimWeapon::Rifle);
  }
  const double banned_at = clock_.Now();
  ASSERT_TRUE(KicksArrive(2));
  EXPECT_EQ(Int("Alice", "KickedforAbuse_TeamKill"), 2);
  ASSERT_TRUE(rules_->Flush(5000));
  const auto bans = bans_.List().Entries();
  ASSERT_EQ(bans.size(), 1u);
  EXPECT_EQ(bans[0].nick_filter, "Alice");
  EXPECT_EQ(bans[0].address_filter, "");
  EXPECT_EQ(bans[0].message, "%playernick% is banned because of TeamKilling");
  EXPECT_NEAR(bans[0].end, banned_at + 30 * kMinute / kMsPerDay, 1.0 / kSecondsPerDay);

  // The ban strikes when she tries again.
  TeamPoll();
  sim_.Join("Alice", "10.0.0.2");
  TeamPoll();
  ASSERT_TRUE(bans_.Flush(10000));
  ASSERT_TRUE(KicksArrive(3));
  EXPECT_TRUE(WaitSaid("Alice is banned because of TeamKilling"));
}

// Dave dies and is killed again by Carl within SpawnDetectTimeOut: a spawn
// kill. A second one 200 ms after Carl's last counted spawn kill is not
// counted (SpawnKillMinTime 500), one 1.2 s after it is, and the third
// counted one in the visit kicks him.
TEST_F(KillsMatchTest, SpawnKillsOnBothSidesOfTheCountingGate) {
  OpenRules();
  const int carl = sim_.Join("Carl", "10.0.0.4");
  sim_.Join("Dave", "10.0.0.5");
  PollUntilTeamGame();
  TEventRecorder spawn_kills({ekSpawnKill});
  const std::string warning = "Carl you are SPAWN KILLING STOP IT or get KICKED";

  Kill("Carl", "Dave", TSimWeapon::SMG);  // an ordinary death starts the window
  EXPECT_EQ(Int("Dave", "wasKilled"), 1);
  Advance(5'000);
  Kill("Carl", "Dave", TSimWeapon::SMG);
  EXPECT_EQ(Int("Carl", "Spawnkills"), 1);
  EXPECT_EQ(Int("Carl", "Spawnkills", true), 1);
  EXPECT_EQ(Int("Carl", "Spawnkills [Sub Machinegun]"), 1);
  EXPECT_EQ(Int("Dave", "wasKilled"), 1);  // neither the death nor the kill is booked
  EXPECT_EQ(Int("Carl", "hasKilled"), 1);
  EXPECT_TRUE(WaitSaid(warning, 1));
  ASSERT_TRUE(spawn_kills.WaitCount(1));
  EXPECT_EQ(spawn_kills.At(0)->log_entry->first_player.name, "Dave");
  EXPECT_EQ(spawn_kills.At(0)->log_entry->second_player.name, "Carl");

  Advance(200);
  Kill("Carl", "Dave", TSimWeapon::SMG);  // within the gate: an ordinary death
  EXPECT_EQ(Int("Carl", "Spawnkills"), 1);
  EXPECT_EQ(Int("Dave", "wasKilled"), 2);
  EXPECT_EQ(Int("Carl", "hasKilled"), 2);

  Advance(1'000);
  Kill("Carl", "Dave", TSimWeapon::SMG);  // 1.2 s after the last counted one
  EXPECT_EQ(Int("Carl", "Spawnkills", true), 2);
  EXPECT_EQ(Int("Dave", "wasKilled"), 2);
  EXPECT_TRUE(WaitSaid(warning, 2));

  // The operator's view of the players.
  tracker_->RegisterCommands(commands_);
  const auto players = commands_.RunLine({}, "players");
  ASSERT_EQ(players.data["players"].size(), 2u);
  const auto& carl_row =
      players.data["players"][0]["name"] == "Carl" ? players.data["players"][0] : players.data["players"][1];
  EXPECT_EQ(carl_row["kills"], 2);
  EXPECT_EQ(carl_row["spawn_kills"], 2);
  EXPECT_EQ(carl_row["spree"], 2);
  EXPECT_EQ(carl_row["team_kills"], 0);
  EXPECT_NE(players.text.find("kills deaths  tk  sk spree"), std::string::npos) << players.text;

  // One forgiven at the first poll more than ten minutes after the first.
  Advance(10 * kMinute);
  Poll();
  EXPECT_EQ(Int("Carl", "Spawnkills", true), 1);
  EXPECT_EQ(Int("Carl", "Spawnkills"), 2);

  // Dave's window is long over: an ordinary death, then two spawn kills;
  // the third counted in the visit kicks Carl.
  Kill("Carl", "Dave", TSimWeapon::SMG);
  EXPECT_EQ(Int("Dave", "wasKilled"), 3);
  for (int i = 0; i < 2; ++i) {
    Advance(1'000);
    Kill("Carl", "Dave", TSimWeapon::SMG);
  }
  EXPECT_EQ(Int("Carl", "Spawnkills", true), 3);
  EXPECT_EQ(Int("Carl", "Spawnkills"), 4);
  ASSERT_TRUE(KicksArrive(1));
  EXPECT_EQ(Received("clientkick ").back(), "clientkick " + std::to_string(carl));
  EXPECT_TRUE(WaitSaid("Carl gets kicked because of SpawnKilling"));
  EXPECT_EQ(Int("Carl", "KickedforAbuse_Spawnkills"), 1);
  ASSERT_TRUE(spawn_kills.WaitCount(4));
}

}  // namespace
}  // namespace kv::testing
