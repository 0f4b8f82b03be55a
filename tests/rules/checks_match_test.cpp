// A scripted match against mohsim over loopback UDP: real status polls and
// "dumpuser" replies, the game's log lines through the real parser, the
// tracker with the checks on a real store, real kick workers and console
// senders, all on a manual clock. What the players see is what mohsim
// received: the announcements ("Say") and the kicks ("clientkick").
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "gamelink/logparser.h"
#include "tests/rules/checks_fixture.h"

namespace kv::testing {
namespace {

class ChecksMatchTest : public ChecksTest {
 protected:
  ChecksMatchTest() {
    CreateLastConsoleMsgs(info_);
    InstallPlaceholderExpander(info_);
    config_.SetInteger("UDPTimeOut", 1);
    info_.dialect.Update([](TLogDialectSettings& d) { d.team_messages = true; });
    kicks_workers_.Open();
  }
  ~ChecksMatchTest() override {
    CloseChecks();
    kicks_workers_.Close();
    DestroyLastConsoleMsgs(info_);
    SetMessageExpander(info_, nullptr);
  }
  std::vector<std::string> Received(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& c : sim_.Commands())
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }
  bool Got(const std::string& command) const {
    const auto all = sim_.Commands();
    return std::find(all.begin(), all.end(), command) != all.end();
  }
  // Index of a command among those received; -1 when it did not come.
  std::ptrdiff_t At(const std::string& command) const {
    const auto all = sim_.Commands();
    const auto it = std::find(all.begin(), all.end(), command);
    return it == all.end() ? -1 : it - all.begin();
  }
  // Moves the clock and lets the kick worker and the senders run what
  // became due.
  void Advance(int64_t ms) {
    clock_.Advance(ms);
    EXPECT_TRUE(WaitFor([&] { return kicks_workers_.WorkerIdle(); }));
  }
  // Moves the clock a second at a time until the command arrived, at most
  // `bound` ms plus the few seconds the kick worker keeps after an
  // announcement.
  void AdvanceUntil(const std::string& command, int64_t bound) {
    for (int64_t moved = 0; moved <= bound + 5'000 && !Got(command); moved += 1'000) {
      Advance(1'000);
      WaitFor([&] { return Got(command); }, 200);
    }
    ASSERT_TRUE(Got(command)) << command << "; received:\n" << Dump();
  }
  std::string Dump() const {
    std::string out;
    for (const auto& c : sim_.Commands()) out += c + "\n";
    return out;
  }
  // The status poll, the scans it starts and their replies.
  void PollAll() {
    Poll();
    Settle();
  }
  // The log lines mohsim wrote since the last call, through the parser.
  void FeedLog() {
    std::ifstream in(sim_home_.Log(), std::ios::binary);
    in.seekg(log_offset_);
    for (std::string line; std::getline(in, line);) {
      parser_.CheckLogForEvents(&info_, line);
      log_offset_ = in.tellg();
    }
    Settle();
  }
  std::string Kick(const std::string& nick) const {
    return "clientkick " + std::to_string(History(nick)->player.client_number);
  }
  THUserList::THistoryPtr History(const std::string& nick) const { return store_->GetUserEntry(nick); }

  TKickThreadList kicks_workers_{runtime_};
  TServerLogEventChecker parser_;
  std::streamoff log_offset_ = 0;
};

TEST_F(ChecksMatchTest, HighPingBannedSkinAndTeamFloodAreKickedWithTheirAnnouncements) {
  TChecksSettings s = Defaults();
  s.use_team_messages = true;
  OpenChecks(s, &kicks_workers_);
  checks_->Skins().ReplaceConfigured({"german_panzer_grenadier"});
  sim_.Join("Hal", "81.2.3.4", 300);
  sim_.Join("Eve", "81.2.3.5");
  sim_.Join("Tom", "81.2.3.6");
  ASSERT_TRUE(sim_.SetSkins("Eve", "allied_airborne", "german_panzer_grenadier"));
  PollAll();  // Hal's first sample
  ASSERT_TRUE(WaitFor([&] { return tracker_->GameType() == 2; }));
  const std::string kick_hal = Kick("Hal"), kick_eve = Kick("Eve"), kick_tom = Kick("Tom");

  // Tom switches teams twice within ten seconds: kicked three seconds later.
  ASSERT_TRUE(sim_.JoinTeam("Tom", "allies"));
  FeedLog();
  Advance(10'000);
  ASSERT_TRUE(sim_.JoinTeam("Tom", "axis"));
  FeedLog();
  EXPECT_EQ(Visit("Tom", "TeamName").AsString(), "Axis");
  AdvanceUntil(kick_tom, 3'000);
  const auto flood = At("Say \"Tom do not change teams that fast !!!! This is not welcome on this Server\"");
  ASSERT_GE(flood, 0);
  EXPECT_LT(flood, At(kick_tom));
  EXPECT_FALSE(sim_.Client("Tom"));

  // Hal: nine more polls of 300 (3000 in the window) are no reason; the
  // eleventh sample, 301, makes 3001.
  for (int poll = 2; poll <= 10; ++poll) {
    Advance(5'000);
    PollAll();
  }
  EXPECT_EQ(History("Hal")->ping_samples, std::vector<int32_t>(10, 300));
  Advance(5'000);
  EXPECT_FALSE(Got(kick_hal));
  ASSERT_TRUE(sim_.SetPing("Hal", 301));
  PollAll();
  AdvanceUntil(kick_hal, 5'000);
  const auto ping_say = At("Say \"Hal gets kicked because a high ping for a long time (Ping: 301)\"");
  ASSERT_GE(ping_say, 0);
  EXPECT_LT(ping_say, At(kick_hal));

  // Eve's axis skin is banned: her scan at the second poll announced it
  // (SkinKickDelay 120 s) and kicks her MKickDelay later.
  EXPECT_EQ(Stored("Eve", "LastSkin_German").AsString(), "german_panzer_grenadier");
  EXPECT_FALSE(Got(kick_eve));
  const std::string skin_say =
      "Say \"Eve get kicked because of a banned Skin - german_panzer_grenadier - Axis\"";
  for (int i = 0; i < 40 && !Got(kick_eve); ++i) {
    Advance(5'000);
    PollAll();
  }
  ASSERT_TRUE(WaitFor([&] { return Got(kick_eve); }));
  ASSERT_GE(At(skin_say), 0);
  EXPECT_LT(At(skin_say), At(kick_eve));
  EXPECT_EQ(Received(skin_say).size(), 1u);  // announced once, though rescanned meanwhile
  EXPECT_FALSE(sim_.Client("Eve"));
  EXPECT_EQ(Received("clientkick ").size(), 3u);
  // Every player's skins were read with his quoted nick.
  EXPECT_TRUE(Got("dumpuser \"Hal\""));
  EXPECT_TRUE(Got("dumpuser \"Eve\""));
}

}  // namespace
}  // namespace kv::testing
