// Team changes (flooding, the automatic team choice, the counters) and bad
// words (warnings, kicks, the ban), driven by the events the log parser
// and the chat watch post, on a real tracker.
#include <gtest/gtest.h>

#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "tests/rules/checks_fixture.h"

namespace kv::testing {
namespace {

class TeamChangeTest : public ChecksTest {
 protected:
  // A team game (mohsim says g_gametype 2 after the first poll's map
  // change) with team messages on; Bob and Eve online.
  void Start(bool team_messages = true) {
    TChecksSettings s = Defaults();
    s.use_team_messages = team_messages;
    OpenChecks(s);
    sim_.Join("Bob", "10.0.0.2");
    sim_.Join("Eve", "10.0.0.3");
    Poll();
    ASSERT_TRUE(WaitFor([&] { return tracker_->GameType() == 2; }));
    bob_ = FindListEntry(*info_.players.Snapshot(), History("Bob")->player.client_number);
  }
  double Seconds(double s) const { return start_ + s / kSecondsPerDay; }

  TUserListEntry bob_;
  double start_ = 46000.5;
};

TEST_F(TeamChangeTest, ASecondChangeWithinTheTimeOutIsFloodingButNeverIntoTheSpectators) {
  Start();
  PostPlayerEvent(ekTeamChange, bob_, Seconds(0), tmAllies);
  PostPlayerEvent(ekTeamChange, bob_, Seconds(10), tmSpectator);  // never flooding
  PostPlayerEvent(ekTeamChange, bob_, Seconds(20), tmSpectator);  // no change at all
  Settle();
  EXPECT_TRUE(kicker_.Kicks().empty());
  PostPlayerEvent(ekTeamChange, bob_, Seconds(29), tmAxis);
  Settle();
  ASSERT_EQ(kicker_.Kicks().size(), 1u);
  const auto k = kicker_.Kicks()[0];
  EXPECT_EQ(k.client, bob_.client_number);
  EXPECT_EQ(k.repetitions, 1);
  EXPECT_EQ(k.delay, 3);
  EXPECT_EQ(k.message, "%playernick% do not change teams that fast !!!! This is not welcome on this Server");

  EXPECT_EQ(Var("Bob", "TeamChanges").AsInt64(), 3);
  EXPECT_EQ(Var("Bob", "Teams [Allies]").AsInt64(), 1);
  EXPECT_EQ(Var("Bob", "Teams [Spectator]").AsInt64(), 1);
  EXPECT_EQ(Var("Bob", "Teams [" + GetMapDisplayName(History("Bob")->player.map) + "] [Axis]").AsInt64(), 1);
  EXPECT_EQ(Visit("Bob", "TeamName").AsString(), "Axis");
  EXPECT_EQ(Visit("Bob", "Team").AsInt64(), 1);
  EXPECT_DOUBLE_EQ(Var("Bob", "LastTeamChange").AsDouble(), Seconds(29));
  EXPECT_DOUBLE_EQ(Visit("Bob", "LastTeamChange").AsDouble(), Seconds(29));
  EXPECT_EQ(FindListEntry(*info_.players.Snapshot(), bob_.client_number).team_name, "Axis");
}

TEST_F(TeamChangeTest, AQueuedBurstIsJudgedByTheEventsOwnTimes) {
  Start();
  // Delivered at one moment, but 31 s apart in the log: no flooding.
  PostPlayerEvent(ekTeamChange, bob_, Seconds(0), tmAllies);
  PostPlayerEvent(ekTeamChange, bob_, Seconds(31), tmAxis);
  PostPlayerEvent(ekTeamChange, bob_, Seconds(62), tmAllies);
  Settle();
  EXPECT_TRUE(kicker_.Kicks().empty());
  EXPECT_EQ(Var("Bob", "TeamChanges").AsInt64(), 3);
}

TEST_F(TeamChangeTest, WithoutTeamMessagesNothingIsPunished) {
  Start(false);
  PostPlayerEvent(ekTeamChange, bob_, Seconds(0), tmAllies);
  PostPlayerEvent(ekTeamChange, bob_, Seconds(1), tmAxis);
  PostPlayerEvent(ekAutoJoinTeam, bob_, Seconds(2));
  Settle();
  EXPECT_TRUE(kicker_.Kicks().empty());
  EXPECT_EQ(Var("Bob", "TeamChanges").AsInt64(), 2);  // still counted
}

TEST_F(TeamChangeTest, TheAutomaticTeamChoiceIsKickedAndUnknownPlayersAreLeftAlone) {
  Start();
  TUserListEntry stranger = bob_;
  stranger.client_number = 17;
  PostPlayerEvent(ekAutoJoinTeam, stranger, Seconds(0));
  PostPlayerEvent(ekTeamChange, stranger, Seconds(0), tmAxis);
  PostPlayerEvent(ekAutoJoinTeam, bob_, Seconds(1));
  Settle();
  ASSERT_EQ(kicker_.Kicks().size(), 1u);
  EXPECT_EQ(kicker_.Kicks()[0].client, bob_.client_number);
  EXPECT_EQ(kicker_.Kicks()[0].delay, 3);
  EXPECT_EQ(kicker_.Kicks()[0].message, "%playernick% do nit user AUTOTEAM on this Server");
}

class BadWordTest : public TeamChangeTest {
 protected:
  BadWordTest() {
    CreateLastConsoleMsgs(info_);
    InstallPlaceholderExpander(info_);
    config_.SetInteger("UDPTimeOut", 1);
  }
  ~BadWordTest() override {
    CloseChecks();
    DestroyLastConsoleMsgs(info_);
    SetMessageExpander(info_, nullptr);
  }
  size_t Says(const std::string& text) const {
    size_t n = 0;
    for (const auto& c : sim_.Commands()) n += c == "Say \"" + text + "\"";
    return n;
  }
  void BadWord(double when) {
    PostPlayerEvent(ekBadWord, bob_, when);
    Settle();
  }
};

TEST_F(BadWordTest, WarningsThenAKickAndTheSecondKickOfALifeBansTheQuotedNick) {
  Start();
  sim_.Rename("Bob", "B.o(b");
  Poll();
  bob_ = FindListEntry(*info_.players.Snapshot(), bob_.client_number);
  BadWord(Seconds(0));
  BadWord(Seconds(1));
  EXPECT_TRUE(kicker_.Kicks().empty());
  // The warnings go out in the background, five seconds later.
  clock_.Advance(5000);
  ASSERT_TRUE(WaitFor([&] { return Says("B.o(b dont use bad Words or get kicked") == 2; }));
  BadWord(Seconds(2));
  ASSERT_EQ(kicker_.Kicks().size(), 1u);
  EXPECT_EQ(kicker_.Kicks()[0].message, "%playernick% get kicked because of bad Words");
  EXPECT_EQ(kicker_.Kicks()[0].delay, 0);
  EXPECT_EQ(Var("B.o(b", "BADWORDSKick").AsInt64(), 1);
  EXPECT_TRUE(bans_.Entries().empty());

  // The next visit: a warning only, then the second kick of his life bans.
  kicker_.Release();
  sim_.Leave("B.o(b");
  Poll();
  sim_.Join("B.o(b", "10.0.0.2");
  Poll();
  bob_ = FindListEntry(*info_.players.Snapshot(), History("B.o(b")->player.client_number);
  BadWord(Seconds(100));
  BadWord(Seconds(101));
  EXPECT_TRUE(bans_.Entries().empty());
  BadWord(Seconds(102));
  ASSERT_EQ(kicker_.Kicks().size(), 2u);
  ASSERT_TRUE(checks_->WaitWorkerIdle(10000));
  const auto bans = bans_.Entries();
  ASSERT_EQ(bans.size(), 1u);
  EXPECT_EQ(bans[0].nick_filter, "B\\.o\\(b");
  EXPECT_EQ(bans[0].address_filter, "");
  EXPECT_EQ(bans[0].end, 0);  // BadWordBanTime -1: for ever
  EXPECT_EQ(bans[0].message, "%playernick% is banned because bad Words");

  // A later visit's first bad word is a warning, and still the ban.
  kicker_.Release();
  bans_.WithBans([](std::vector<TBanList::TStoredBan>& b) { b.clear(); });
  sim_.Leave("B.o(b");
  Poll();
  sim_.Join("B.o(b", "10.0.0.2");
  Poll();
  bob_ = FindListEntry(*info_.players.Snapshot(), History("B.o(b")->player.client_number);
  BadWord(Seconds(200));
  ASSERT_TRUE(checks_->WaitWorkerIdle(10000));
  EXPECT_EQ(kicker_.Kicks().size(), 2u);
  EXPECT_EQ(bans_.Entries().size(), 1u);
}

}  // namespace
}  // namespace kv::testing
