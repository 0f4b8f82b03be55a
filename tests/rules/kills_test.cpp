#include "rules/kills.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "domain/settings.h"
#include "tests/rules/kills_fixture.h"
#include "tests/support/bus_recorder.h"

namespace kv::testing {
namespace {

using mohsim::TSimWeapon;

std::vector<TUserListEntry> Scores(std::initializer_list<int32_t> scores) {
  std::vector<TUserListEntry> rows;
  for (int32_t s : scores) {
    rows.emplace_back();
    rows.back().score = s;
  }
  return rows;
}

TEST(KillRulesPure, ScoreColumnTeams) {
  struct TCase {
    std::vector<int32_t> scores;
    int32_t a, b, c;
    bool ambiguous;
  };
  const TCase cases[] = {
      {{10, 10, 25, 25}, 10, 25, -999, false}, {{0, 0, 7}, 0, 7, -999, true},  // two values, one of them 0
      {{3, 5, 7, 9}, 3, 5, 7, true},                                           // a fourth team
      {{4, 4, 4}, 4, -999, -999, true},        {{}, -999, -999, -999, true},
      {{0, 5, 9, 5}, 0, 5, 9, false},  // three values: a 0 is a team's score
  };
  for (const auto& c : cases) {
    std::vector<TUserListEntry> rows;
    for (int32_t s : c.scores) rows.push_back(Scores({s}).front());
    const TScoreTeams t = InferTeamsFromScores(rows);
    EXPECT_EQ(t.a, c.a);
    EXPECT_EQ(t.b, c.b);
    EXPECT_EQ(t.c, c.c);
    EXPECT_EQ(t.ambiguous, c.ambiguous) << ::testing::PrintToString(c.scores);
  }
  const TScoreTeams t = InferTeamsFromScores(Scores({10, 25}));
  EXPECT_EQ(t.TeamOf(10), 1);
  EXPECT_EQ(t.TeamOf(25), 2);
  EXPECT_EQ(t.TeamOf(3), -1);
  EXPECT_EQ(InferTeamsFromScores(Scores({0, 7})).TeamOf(7), -999);
}

TEST(KillRulesPure, QuoteRegexCharsQuotesTheFourteen) {
  EXPECT_EQ(QuoteRegexChars("^$.[()|?+*\\{]}"), "\\^\\$\\.\\[\\(\\)\\|\\?\\+\\*\\\\\\{\\]\\}");
  EXPECT_EQ(QuoteRegexChars("[ZAQ]Bob-1 <x>"), "\\[ZAQ\\]Bob-1 <x>");
}

// Killing sprees with entries for 3 and 5 kills, a losing spree for 2
// deaths; eleven seconds between kills, so no death is a spawn kill.
TEST_F(KillsTest, SpreesAreAnnouncedAndCounted) {
  sprees_.killing = {{3, "%playernick% three in a row=%playernick% lost the three"},
                     {5, "%playernick% five in a row=%playernick% lost the five"}};
  sprees_.losing = {{2, "%playernick% keeps dying=%playernick% ended a losing streak"}};
  OpenRules();
  sim_.Join("Alice", "10.0.0.2");
  sim_.Join("Bob", "10.0.0.3");
  Poll();
  for (int i = 1; i <= 7; ++i) {
    Kill("Alice", "Bob", TSimWeapon::Rifle);
    Advance(11'000);
  }
  EXPECT_TRUE(WaitSaid("Alice three in a row"));
  EXPECT_TRUE(WaitSaid("Alice five in a row"));
  EXPECT_TRUE(WaitSaid("Bob keeps dying"));
  EXPECT_FALSE(WaitFor([&] { return Received("Say ").size() > 3; }, 300));  // nothing at 4, 6 or 7
  EXPECT_EQ(Int("Alice", "killingspring", true), 7);
  EXPECT_EQ(Int("Alice", "hasKilled"), 7);
  EXPECT_EQ(Int("Alice", "hasKilledwith [Rifle]"), 7);
  EXPECT_EQ(Int("Alice", "hasKilled [Bob] [Stalingrad]"), 7);
  EXPECT_EQ(Int("Bob", "wasKilledfrom [Alice]"), 7);
  EXPECT_EQ(Int("Bob", "loosingspring", true), 7);

  // Bob's kill ends both streaks: Alice's with the end message of 5 (the
  // highest count up to 7 that has one), said with Alice as the player.
  Kill("Bob", "Alice", TSimWeapon::Pistol);
  EXPECT_TRUE(WaitSaid("Alice lost the five"));
  EXPECT_TRUE(WaitSaid("Alice ended a losing streak"));  // the kill's victim is the player
  EXPECT_EQ(Int("Alice", "killingsprings"), 1);
  EXPECT_EQ(Int("Alice", "maxkillingspring"), 7);
  EXPECT_EQ(Int("Alice", "killingspring", true), 0);
  EXPECT_EQ(Int("Bob", "loosingsprings"), 1);
  EXPECT_EQ(Int("Bob", "maxloosingspring"), 7);
  EXPECT_EQ(Received("Say \"Alice lost the three\"").size(), 0u);

  // Bob's two kills then his death: his streak is not announced and no
  // spree is counted. Alice's two deaths start her losing spree, her kill
  // ends it (said with its victim, Bob, as the player).
  Advance(11'000);
  Kill("Bob", "Alice", TSimWeapon::Pistol);
  Advance(11'000);
  Kill("Alice", "Bob", TSimWeapon::Pistol);
  EXPECT_EQ(Int("Bob", "killingsprings"), -12345);
  EXPECT_EQ(Int("Bob", "maxkillingspring"), 2);
  EXPECT_EQ(Int("Alice", "loosingsprings"), 1);
  EXPECT_TRUE(WaitSaid("Alice keeps dying"));
  EXPECT_TRUE(WaitSaid("Bob ended a losing streak"));
  EXPECT_FALSE(WaitFor([&] { return Received("Say ").size() > 7; }, 300));
}

TEST_F(KillsTest, WithoutKillingSpreeDetectionDeathsKeepTheStreak) {
  sprees_.killing = {{2, "two=two over"}};
  TKillRuleSettings s;
  s.killing_detect = false;
  OpenRules(s);
  sim_.Join("Alice", "10.0.0.2");
  sim_.Join("Bob", "10.0.0.3");
  Poll();
  Kill("Alice", "Bob", TSimWeapon::Rifle);
  Advance(11'000);
  Kill("Alice", "Bob", TSimWeapon::Rifle);
  Advance(11'000);
  Kill("Bob", "Alice", TSimWeapon::Rifle);
  EXPECT_EQ(Int("Alice", "killingspring", true), 2);
  EXPECT_EQ(Int("Alice", "maxkillingspring"), 2);
  EXPECT_EQ(Int("Alice", "killingsprings"), -12345);
  EXPECT_FALSE(WaitFor([&] { return !Received("Say ").empty(); }, 300));
}

TEST_F(KillsTest, KillsShowTheCarriedWeaponButNotGrenadesOrPistols) {
  OpenRules();
  sim_.Join("Alice", "10.0.0.2");
  sim_.Join("Bob", "10.0.0.3");
  Poll();
  TEventRecorder changes({ekWeaponChange});
  Kill("Alice", "Bob", TSimWeapon::Grenade);
  Advance(11'000);
  Kill("Alice", "Bob", TSimWeapon::Pistol);
  Advance(11'000);
  Kill("Alice", "Bob", TSimWeapon::Rifle);
  ASSERT_TRUE(changes.WaitCount(1));
  ASSERT_TRUE(tracker_->Settle(5000));  // the change comes back to the tracker
  Advance(11'000);
  Kill("Alice", "Bob", TSimWeapon::Rifle);
  ASSERT_TRUE(changes.Flush());
  ASSERT_EQ(changes.Count(), 1u);
  EXPECT_EQ(changes.At(0)->text, "Rifle");
  EXPECT_EQ(changes.At(0)->log_entry->first_player.name, "Alice");
  EXPECT_EQ(Var("Alice", "Weapon").AsString(), "Rifle");
  EXPECT_EQ(Int("Alice", "Weapon [Rifle]"), 1);
  EXPECT_EQ(Int("Alice", "Weapon [Stalingrad] [Rifle]"), 1);
  EXPECT_EQ(Int("Alice", "WEAPON", true), wcRifle);
  // The current player list shows it too.
  const auto list = info_.players.Snapshot();
  EXPECT_EQ(FindListEntry(*list, sim_.Client("Alice")->num).weapon, "Rifle");

  // A weapon chosen and reloaded, the score board asked for.
  ASSERT_TRUE(sim_.ChooseWeapon("Bob", "smg"));
  ASSERT_TRUE(sim_.Reload("Bob"));
  FeedLog();
  EXPECT_EQ(Var("Bob", "Weapon").AsString(), "Sub Machinegun");
  EXPECT_EQ(Int("Bob", "Reload"), 1);
  EXPECT_EQ(Int("Bob", "Reload [Sub Machinegun]"), 1);
  EXPECT_EQ(Int("Bob", "Reload [Stalingrad] [Sub Machinegun]"), 1);
  EXPECT_TRUE(Var("Bob", "LastReload").IsFloat());
}

TEST_F(KillsTest, ANewRoundEndsEveryRunningStreak) {
  OpenRules();
  sim_.Join("Alice", "10.0.0.2");
  sim_.Join("Bob", "10.0.0.3");
  sim_.Join("Carl", "10.0.0.4");
  Poll();
  Kill("Alice", "Bob", TSimWeapon::Rifle);
  Advance(11'000);
  Kill("Alice", "Bob", TSimWeapon::Rifle);
  sim_.SetMap("dm/mohdm2");  // "Adding script", a new round
  FeedLog();
  // Alice had 2, Bob had 0 (his death set it): both count one ended spree;
  // Carl never had a streak variable.
  EXPECT_EQ(Int("Alice", "killingsprings"), 1);
  EXPECT_EQ(Int("Alice", "maxkillingspring"), 2);
  EXPECT_EQ(Int("Alice", "killingspring", true), 0);
  EXPECT_EQ(Int("Bob", "killingsprings"), 1);
  EXPECT_EQ(Int("Bob", "loosingsprings"), 1);
  EXPECT_EQ(Int("Bob", "maxloosingspring"), 2);
  EXPECT_EQ(Int("Carl", "killingsprings"), -12345);
}

// With the team names of the team-change lines: a player in no known team
// is warned at his first kill involvement and kicked at the second; players
// of the same named team kill each other as team killers.
TEST_F(KillsTest, TeamNamesDecideAndUnknownTeamsAreWarnedThenKicked) {
  TKillRuleSettings s;
  s.use_team_messages = true;
  TTrackerSettings t;
  t.use_team_messages = true;
  OpenRules(s, t);
  const int alice = sim_.Join("Alice", "10.0.0.2");
  const int bob = sim_.Join("Bob", "10.0.0.3");
  PollUntilTeamGame();
  Kill("Alice", "Bob", TSimWeapon::Rifle);
  EXPECT_TRUE(WaitSaid("Alice you not in a known Team please rejoin youre Team"));
  EXPECT_TRUE(WaitSaid("Bob you not in a known Team please rejoin youre Team"));
  EXPECT_EQ(Int("Alice", "hasKilled"), 1);  // booked as an ordinary kill
  EXPECT_EQ(Int("Bob", "TKUnkownMessageRep", true), 1);
  Advance(11'000);
  Kill("Alice", "Bob", TSimWeapon::Rifle);
  ASSERT_TRUE(KicksArrive(2));
  const auto kicks = Received("clientkick ");
  EXPECT_NE(std::find(kicks.begin(), kicks.end(), "clientkick " + std::to_string(alice)), kicks.end());
  EXPECT_NE(std::find(kicks.begin(), kicks.end(), "clientkick " + std::to_string(bob)), kicks.end());
  EXPECT_TRUE(WaitSaid("Alice get kicked because - player in unkown Team"));

  sim_.Join("Carl", "10.0.0.4");
  sim_.Join("Dave", "10.0.0.5");
  sim_.Join("Eve", "10.0.0.6");
  Poll();
  // What the team-change lines would have told.
  History("Carl")->visit.SetValue("TeamName", "Allies");
  History("Dave")->visit.SetValue("TeamName", "Allies");
  History("Eve")->visit.SetValue("TeamName", "Axis");
  Kill("Carl", "Eve", TSimWeapon::Rifle);
  EXPECT_EQ(Int("Carl", "TeamKills"), -12345);
  EXPECT_EQ(Int("Carl", "hasKilled"), 1);
  Advance(11'000);
  Kill("Carl", "Dave", TSimWeapon::Rifle);
  EXPECT_EQ(Int("Carl", "TeamKills"), 1);
  EXPECT_EQ(Int("Carl", "hasKilled"), 1);
  EXPECT_EQ(Int("Dave", "wasKilled"), -12345);
  EXPECT_TRUE(WaitSaid("Carl you are TEAMKILLING STOP IT or get KICKED"));
}

// A player's history change goes out at most once a second; one held back
// goes out with the next poll, with the record as it is then.
TEST_F(KillsTest, HistoryChangesOfABurstAreHeldBackUntilThePoll) {
  OpenRules();
  sim_.Join("Alice", "10.0.0.2");
  sim_.Join("Bob", "10.0.0.3");
  sim_.Join("Carl", "10.0.0.4");
  Poll();
  TEventRecorder changes({ekUserHistChanged});
  const auto of = [&](const std::string& nick) {
    std::vector<int32_t> kills;
    for (const auto& e : changes.Events())
      if (e->history_entry && e->history_entry->player.name == nick) {
        TVariant v;
        kills.push_back(e->history_entry->persistent.TryGetValue("hasKilled", v) ? v.AsInteger() : 0);
      }
    return kills;
  };
  Kill("Alice", "Bob", TSimWeapon::Rifle);
  Advance(200);
  Kill("Alice", "Carl", TSimWeapon::Rifle);
  ASSERT_TRUE(changes.Flush());
  EXPECT_EQ(of("Alice"), std::vector<int32_t>{1});
  EXPECT_EQ(of("Carl").size(), 1u);
  Poll();
  ASSERT_TRUE(changes.Flush());
  EXPECT_EQ(of("Alice"), (std::vector<int32_t>{1, 2}));
}

// A burst of kills handled a minute after it happened is judged by the
// times of its events: a death 5 s after the previous one is a spawn kill,
// one 20 s after it is not.
TEST_F(KillsTest, QueuedKillsAreJudgedAtTheTimeTheyHappened) {
  OpenRules();
  sim_.Join("Carl", "10.0.0.4");
  sim_.Join("Dave", "10.0.0.5");
  Poll();
  const double t0 = clock_.Now();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(sim_.Kill("Carl", "Dave", TSimWeapon::Rifle));
  Advance(60'000);
  FeedLog({t0, t0 + 5.0 / kSecondsPerDay, t0 + 25.0 / kSecondsPerDay});
  EXPECT_EQ(Int("Carl", "Spawnkills"), 1);
  EXPECT_EQ(Int("Dave", "wasKilled"), 2);
  EXPECT_EQ(Var("Dave", "LastHunted").AsDouble(), t0 + 25.0 / kSecondsPerDay);
  EXPECT_EQ(Var("Carl", "LastSpawnKill").AsDouble(), t0 + 5.0 / kSecondsPerDay);
}

// Kills that name a player who is gone, or a player without a history, are
// reported and change nothing.
TEST_F(KillsTest, KillsOfPlayersWithoutAnOnlineHistoryBookNothing) {
  OpenRules();
  sim_.Join("Alice", "10.0.0.2");
  sim_.Join("Bob", "10.0.0.3");
  Poll();
  TBusRecorder global({"GLOBAL"});
  const auto post = [&](int32_t victim, int32_t killer) {
    auto e = std::make_shared<TMohaaEvent>(ekKill, "x");
    e->log_entry = std::make_unique<TLogEntry>();
    e->log_entry->first_player.client_number = victim;
    e->log_entry->second_player.client_number = killer;
    e->log_entry->second_player.name = "Nobody";
    e->variables.SetValue("Weapon", TVariant(int32_t{wcRifle}));
    PostEvent(std::move(e));
    ASSERT_TRUE(tracker_->Settle(5000));
  };
  const int32_t alice = sim_.Client("Alice")->num;
  post(40, alice);
  EXPECT_TRUE(global.WaitForText("THistoryUserList.Killed ups no killed found :40"));
  EXPECT_EQ(Int("Alice", "hasKilled"), -12345);
  post(alice, 41);  // the death counts, the kill has nobody to go to
  EXPECT_TRUE(global.WaitForText("THistoryUserList.Killer ups no killer found "));
  EXPECT_EQ(Int("Alice", "wasKilled"), 1);
  // Within the spawn window the killer is looked for by number and nick:
  // nobody, so nothing is booked.
  Advance(2'000);
  post(alice, 41);
  EXPECT_TRUE(global.WaitForText("THistoryUserList.Killed ups no killer found: 41"));
  EXPECT_EQ(Int("Alice", "wasKilled"), 1);
}

TEST_F(KillsTest, SettingsOutOfRangeAreReportedAndReplaced) {
  OpenRules();
  config_.SetInteger("TKDetectMax", 0);
  config_.SetInteger("SpawnDetectKickRep", 500);
  config_.SetInteger("TKDetectBanTime", -7);
  TBusRecorder global({"GLOBAL"});
  TSettings s(config_, home_.Path());
  rules_->ApplySettings(s);
  EXPECT_TRUE(global.WaitForText("Setting TKDetectMax=0 is out of range (1..1000) - 3 is used"));
  EXPECT_TRUE(global.WaitForText("Setting SpawnDetectKickRep=500 is out of range (1..20) - 1 is used"));
  EXPECT_TRUE(global.WaitForText("Setting TKDetectBanTime=-7 is out of range (-1..5256000) - 30 is used"));
}

TEST_F(KillsTest, TheSpreeFileLoadsThroughTheRegistryAndADamagedOneKeepsItsKillingList) {
  OpenRules();
  rules_->RegisterDataFiles(registry_);
  const auto path = home_ / "Data" / "KillingSpring.dat";
  std::filesystem::create_directories(path.parent_path());
  const std::string killing = std::string(
                                  "\x03\0\0\0"
                                  "3\r\n",
                                  7) +
                              std::string(
                                  "\x0c\0\0\0"
                                  "three=over\r\n",
                                  16);
  std::ofstream(path, std::ios::binary) << killing << std::string("\x02\0\0", 3);
  EXPECT_THROW(registry_.Load(TDataFileId::KillingSpring, home_.Path()), EStreamError);
  ASSERT_EQ(rules_->SpreeLists()->killing.size(), 1u);
  EXPECT_EQ(rules_->SpreeLists()->killing[0].count, 3);
  EXPECT_TRUE(rules_->SpreeLists()->losing.empty());
  // Saved again: the lists as read, byte for byte in the file's form.
  registry_.Save(TDataFileId::KillingSpring, home_.Path());
  EXPECT_EQ(ReadFileText(path), killing + std::string(8, '\0'));
}

// The rows moved from the unowned table keep their place in a fresh INI.
TEST(KillRulesSettings, TheRowsKeepTheirOrderInTheIni) {
  const std::vector<std::string> expected = {"EnableTKDetect",
                                             "UseTeamMessages",
                                             "TKDetectMax",
                                             "TKDetectKickDelay",
                                             "TKDetectKickRep",
                                             "TKDetectBanAfterXKicks",
                                             "TKDetectSendWarnings",
                                             "TKDetectBanTime",
                                             "TKDetectBanIp",
                                             "TKDetectWarningMessage",
                                             "TKDetectKickMessage",
                                             "TKDetectBanMessage",
                                             "ForgiveTKAfter",
                                             "TKAutoTeamKickMsg",
                                             "TKAutoTeamKickDelay",
                                             "TKTeamChangeFloodMsg",
                                             "TKTeamChangeFloodTimeDelay",
                                             "TKTeamChangeFloodTimeOut",
                                             "TKUnkownMessage",
                                             "TKUnkownMessageRep",
                                             "TKUnkownMessageKick",
                                             "EnableSpawnDetect",
                                             "SpawnDetectTimeOut",
                                             "SpawnKillMinTime",
                                             "SpawnDetectMax",
                                             "SpawnDetectKickDelay",
                                             "SpawnDetectKickRep",
                                             "SpawnDetectBanAfterXKicks",
                                             "SpawnDetectSendWarnings",
                                             "SpawnDetectBanTime",
                                             "SpawnDetectBanIp",
                                             "SpawnDetectWarningMessage",
                                             "SpawnDetectKickMessage",
                                             "SpawnDetectBanMessage",
                                             "ForgiveSpawnAfter",
                                             "KillingSpringDetect",
                                             "KillingSpringResetonNewRound",
                                             "LoosingSpringDetect",
                                             "LoosingSpringResetonNewRound",
                                             "PingCheckEnabled"};
  std::vector<std::string> keys;
  for (const TSettingDef& d : SettingsCatalogue()) keys.emplace_back(d.key);
  const auto first = std::find(keys.begin(), keys.end(), "EnableTKDetect");
  ASSERT_NE(first, keys.end());
  ASSERT_GE(keys.end() - first, static_cast<std::ptrdiff_t>(expected.size()));
  EXPECT_EQ(std::vector<std::string>(first, first + static_cast<std::ptrdiff_t>(expected.size())), expected);
  EXPECT_EQ(*(first - 1), "StatsonlyforthatNick");  // the identity rules stay before them
}

}  // namespace
}  // namespace kv::testing
