// A scripted match against mohsim over loopback UDP: real status polls, the
// tracker on a real store, real kick workers and the ban watch, all on a
// manual clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "enforcement/banwatch.h"
#include "enforcement/kicks.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "tests/players/tracker_fixture.h"
#include "tests/support/wait.h"

namespace kv::testing {
namespace {

class MatchTest : public TrackerTest {
 protected:
  MatchTest() {
    CreateLastConsoleMsgs(info_);
    InstallPlaceholderExpander(info_);
    config_.SetInteger("UDPTimeOut", 1);
    kicks_workers_.Open();
    kick_through_ = KickThrough(kicks_workers_);
    // Kicks first, then the ban's message (BKickDelay -1), once.
    bans_.SetSettings(TBanWatch::MakeSettings("", "", 1, -1));
    bans_.Open();
  }
  ~MatchTest() override {
    if (tracker_) tracker_->Close();
    bans_.Close();
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
  // Moves the clock and lets the kick worker run what became due.
  void Advance(int64_t ms) {
    clock_.Advance(ms);
    EXPECT_TRUE(WaitFor([&] { return kicks_workers_.WorkerIdle(); }));
  }
  std::map<std::string, std::string> HistoryFiles() {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(home_ / "Data" / "History"))
      if (e.is_regular_file()) files[e.path().filename().string()] = ReadFileText(e.path());
    return files;
  }

  TKickThreadList kicks_workers_{runtime_};
  TBanWatch bans_{runtime_, kicks_workers_};
};

TEST_F(MatchTest, PlayersComeGoRenameShareAnAddressAndTheRightKicksArrive) {
  OpenTracker();
  sim_.Join("Bob", "10.0.0.2");
  sim_.Join("Alice", "10.0.0.3");
  Poll();
  EXPECT_TRUE(Kicks().empty());

  // A second client from Bob's address: announced and kicked at once.
  const int carl = sim_.Join("Carl", "10.0.0.2");
  Poll();
  ASSERT_TRUE(WaitFor([&] { return Received("clientkick ").size() == 1; }));
  const auto all = sim_.Commands();
  const auto say =
      std::find(all.begin(), all.end(), "Say \"Carl get kicked - Player with the same Ip is Online\"");
  const auto kick = std::find(all.begin(), all.end(), "clientkick " + std::to_string(carl));
  ASSERT_NE(say, all.end());
  ASSERT_NE(kick, all.end());
  EXPECT_LT(say, kick);
  EXPECT_FALSE(sim_.Client("Carl"));

  // A nick the game mangles: two minutes to change it, the warning five
  // seconds before the kick.
  const int odd = sim_.Join(
      "Od\x01"
      "d",
      "10.0.0.9");
  Poll();
  Advance(114'999);
  EXPECT_EQ(Received("Say ").size(), 1u);
  Advance(1);
  ASSERT_TRUE(WaitFor([&] { return Received("Say ").size() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return kicks_workers_.WorkerIdle(); }));  // the step is over
  Advance(4'999);
  EXPECT_EQ(Received("clientkick ").size(), 1u);
  Advance(1);
  ASSERT_TRUE(WaitFor([&] { return Received("clientkick ").size() == 2; }));
  EXPECT_EQ(Received("clientkick ").back(), "clientkick " + std::to_string(odd));

  // Bob becomes Robert; Alice leaves and returns.
  ASSERT_TRUE(sim_.Rename("Bob", "Robert"));
  sim_.Leave("Alice");
  Poll();
  sim_.Join("Alice", "10.0.0.3");
  Poll();
  EXPECT_EQ(Var("Robert", "LastNicks").AsString(), "Bob=1");
  EXPECT_FALSE(store_->IsKnown("Bob"));
  EXPECT_TRUE(Var("Alice", "LastQuit").IsFloat());
  EXPECT_EQ(Received("clientkick ").size(), 2u);  // no more kicks

  // A banned nick: the next poll names him, the kick comes first and the
  // ban's message after it.
  bans_.List().AddBan("^Dieter$", "", "Dieter is banned here", 0);
  const int dieter = sim_.Join("Dieter", "10.0.0.7");
  Poll();
  ASSERT_TRUE(bans_.Flush(10000));
  ASSERT_TRUE(WaitFor([&] { return Received("clientkick ").size() == 3; }));
  EXPECT_EQ(Received("clientkick ").back(), "clientkick " + std::to_string(dieter));
  ASSERT_TRUE(WaitFor([&] { return !Received("Say \"Dieter is banned here\"").empty(); }));
  const auto after = sim_.Commands();
  EXPECT_LT(std::find(after.begin(), after.end(), "clientkick " + std::to_string(dieter)),
            std::find(after.begin(), after.end(), "Say \"Dieter is banned here\""));
  EXPECT_FALSE(sim_.Client("Dieter"));
  Poll();

  // A restart: the histories come back byte for byte.
  tracker_->Close();
  store_->FlushUsers();
  const auto before = HistoryFiles();
  EXPECT_EQ(before.size(), 6u);  // Robert, Alice, Carl, the odd nick, Dieter and index.lst
  OpenTracker();
  ASSERT_TRUE(History("Robert"));
  ASSERT_TRUE(History("Alice"));
  tracker_->Close();
  store_->FlushUsers();
  EXPECT_EQ(HistoryFiles(), before);
}

}  // namespace
}  // namespace kv::testing
