#include "enforcement/kicks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/enforcement/kick_fixture.h"
#include "tests/support/event_recorder.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

using testing::TEventRecorder;
using testing::WaitFor;

class KicksTest : public testing::KickRig {
 protected:
  KicksTest() { kicks_.Open(); }
  ~KicksTest() override { kicks_.Close(); }  // before the simulator and the clock go

  // Moves the clock to `at_ms` after the test's start.
  void AdvanceTo(int64_t at_ms) {
    const uint64_t seen = kicks_.WorkerWakeups();
    clock_.Advance(at_ms - elapsed_);
    elapsed_ = at_ms;
    // The worker has looked at the new time (it wakes on every move) and
    // has run what became due.
    EXPECT_TRUE(WaitFor([&] { return kicks_.WorkerWakeups() > seen; }));
    EXPECT_TRUE(WaitFor([&] { return kicks_.WorkerIdle(); }));
  }
  // Waits for the server to have received n such commands and for the
  // worker to have taken the reply in.
  bool WaitReceived(const std::string& prefix, size_t n) {
    return WaitFor([&] { return Received(prefix).size() >= n; }) &&
           WaitFor([&] { return kicks_.WorkerIdle(); });
  }

  TKickThreadList kicks_{runtime_};
  int64_t elapsed_ = 0;
};

TEST(KickDelay, SplitAroundTheAnnouncement) {
  const struct {
    int32_t delay;
    int64_t before, after;
  } cases[] = {{-1, 0, 0},      {0, 0, 0},       {2, 0, 2000},    {3, 2000, 1000},
               {4, 3000, 1000}, {5, 4000, 1000}, {6, 1000, 5000}, {120, 115000, 5000}};
  for (const auto& c : cases) {
    const TKickDelaySplit s = SplitKickDelay(c.delay);
    EXPECT_EQ(s.before_ms, c.before) << c.delay;
    EXPECT_EQ(s.after_ms, c.after) << c.delay;
  }
}

// Each step happens when the clock reaches it, and not a millisecond before.
TEST_F(KicksTest, AnnouncesAndKicksOnTheClock) {
  const struct {
    int32_t delay, repetitions;
    int64_t say_at, kick_at;  // say_at -1: no announcement
  } cases[] = {{4, 1, 3000, 4000}, {2, 1, 0, 2000}, {10, 0, -1, 10000}, {120, 1, 115000, 120000}};
  TEventRecorder kicked({ekUserKicked});
  size_t n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delay);
    clock_.Advance(1000);  // a fresh start for each case
    elapsed_ = 0;
    const int32_t num = Join("Player" + std::to_string(n));
    const size_t says = Received("Say ").size();
    ASSERT_TRUE(kicks_.AddKickThread(num, c.repetitions, c.delay, {}, "%playernick% goes"));
    if (c.say_at > 0) {
      AdvanceTo(c.say_at - 1);
      EXPECT_EQ(Received("Say ").size(), says);
      AdvanceTo(c.say_at);
    }
    if (c.say_at >= 0) {
      ASSERT_TRUE(WaitReceived("Say ", says + 1));
      EXPECT_EQ(Received("Say ").back(), "Say \"Player" + std::to_string(n) + " goes\"");
    }
    AdvanceTo(c.kick_at - 1);
    EXPECT_EQ(Received("clientkick ").size(), n);
    AdvanceTo(c.kick_at);
    ASSERT_TRUE(WaitReceived("clientkick ", n + 1));
    EXPECT_EQ(Received("clientkick ").back(), "clientkick " + std::to_string(num));
    ASSERT_TRUE(kicked.WaitCount(n + 1));
    EXPECT_TRUE(WaitFor([&] { return kicks_.Count() == 0; }));
    EXPECT_EQ(Received("Say ").size(), says + (c.say_at >= 0 ? 1 : 0));
    ++n;
  }
  const auto event = kicked.At(0);
  EXPECT_EQ(event->text, "Player0 goes");
  ASSERT_TRUE(event->log_entry);
  EXPECT_EQ(event->log_entry->first_player.name, "Player0");
}

// A nick is attacker-controlled: expanded once into the announcement, it
// can neither end the quoted text nor be read as a template again.
TEST_F(KicksTest, NickInTheAnnouncementIsExpandedOnceAndMadeSafe) {
  // %map% comes before the player's placeholders: only a second expansion
  // would replace it in the nick.
  const int32_t num = Join("Bad\"Guy;%map%", "10.1.2.3");
  ASSERT_TRUE(kicks_.AddKickThread(num, 1, 0, {{"%why%", "tk"}}, "%playernick% kicked: %why%"));
  ASSERT_TRUE(WaitReceived("clientkick ", 1));
  ASSERT_EQ(Received("Say ").size(), 1u);
  EXPECT_EQ(Received("Say ")[0], "Say \"Bad'Guy,%map% kicked: tk\"");
}

TEST_F(KicksTest, NegativeDelayKicksFirstThenAnnouncesItsRepetitions) {
  TEventRecorder kicked({ekUserKicked});
  const int32_t num = Join("Cheater");
  ASSERT_TRUE(kicks_.AddKickThread(num, 2, -300, {}, "%playernick% is banned"));
  ASSERT_TRUE(WaitReceived("Say ", 1));
  AdvanceTo(299);
  EXPECT_EQ(Received("Say ").size(), 1u);
  AdvanceTo(300);
  ASSERT_TRUE(WaitReceived("Say ", 2));
  const auto all = sim_.Commands();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], "clientkick " + std::to_string(num));
  EXPECT_EQ(all[1], "Say \"Cheater is banned\"");
  EXPECT_EQ(all[2], "Say \"Cheater is banned\"");
  ASSERT_TRUE(kicked.WaitCount(1));
}

TEST_F(KicksTest, RefusesPlaceholderNumbersAndASecondKickOfTheSameClient) {
  EXPECT_FALSE(kicks_.AddKickThread(-1, 1, 0, {}, "x"));
  EXPECT_FALSE(kicks_.AddKickThread(-999, 1, 0, {}, "x"));
  EXPECT_TRUE(global_.WaitForText("AddKickThread kicking of ClientID: -1 requested - ignoring that request"));
  EXPECT_TRUE(
      global_.WaitForText("AddKickThread kicking of ClientID: -999 requested - ignoring that request"));

  const int32_t num = Join("Twice");
  ASSERT_TRUE(kicks_.AddKickThread(num, 1, 60, {}, "first rule"));
  EXPECT_FALSE(kicks_.AddKickThread(num, 1, 0, {}, "second rule"));
  EXPECT_TRUE(kicks_.IsKickPending(num));
  EXPECT_FALSE(kicks_.IsKickPending(num + 1));
  AdvanceTo(55'000);  // the announcement, then 5 s to the kick
  AdvanceTo(60'000);
  ASSERT_TRUE(WaitFor([&] { return kicks_.Count() == 0; }));
  EXPECT_EQ(Received("Say "), std::vector<std::string>{"Say \"first rule\""});
  // Ended, it no longer blocks the client number.
  EXPECT_FALSE(kicks_.IsKickPending(num));
  EXPECT_TRUE(kicks_.AddKickThread(num, 0, 3600, {}, ""));
  // Closing drops what waits, at once.
  const auto start = std::chrono::steady_clock::now();
  kicks_.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(kicks_.Count(), 0u);
  EXPECT_FALSE(kicks_.AddKickThread(num, 0, 0, {}, ""));
}

TEST_F(KicksTest, PlayerGoneOrNotActive) {
  TEventRecorder kicked({ekUserKicked});
  // Not in the current list: nothing is sent, nothing is published.
  ASSERT_TRUE(kicks_.AddKickThread(7, 1, 0, {}, "gone"));
  EXPECT_TRUE(global_.WaitForText("TKickThread.Execute kicking of ClientID 7 ignored - User not not online"));
  EXPECT_TRUE(WaitFor([&] { return kicks_.Count() == 0; }));
  // Listed, but the server no longer has him: "Client 9 is not active"
  // ends the loop after one request and the kick counts as done.
  TUserListEntry row;
  row.name = "Left";
  row.client_number = 9;
  List(row);
  ASSERT_TRUE(kicks_.AddKickThread(9, 0, 0, {}, ""));
  ASSERT_TRUE(kicked.WaitCount(1));
  EXPECT_EQ(sim_.Commands(), std::vector<std::string>{"clientkick 9"});
}

// A server that never confirms: "clientkick" every half second on the
// clock, nothing in between, and given up after five minutes.
TEST_F(KicksTest, GivesUpOnAServerThatNeverConfirms) {
  // The kicked slot stays a nameless zombie for as long as this test runs,
  // and the game prints nothing for a kick of a zombie slot.
  const auto frozen = std::chrono::steady_clock::now();
  sim_.SetClock([frozen] { return frozen; });
  TEventRecorder kicked({ekUserKicked});
  const int32_t num = Join("Zombie");
  ASSERT_TRUE(kicks_.AddKickThread(num, 0, 0, {}, ""));
  ASSERT_TRUE(kicked.WaitCount(1));
  ASSERT_TRUE(WaitFor([&] { return kicks_.Count() == 0; }));

  ASSERT_TRUE(kicks_.AddKickThread(num, 0, 0, {}, ""));  // the list still shows him
  ASSERT_TRUE(WaitReceived("clientkick ", 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a looping worker would send many here
  EXPECT_EQ(Received("clientkick ").size(), 2u);
  AdvanceTo(500);
  ASSERT_TRUE(WaitReceived("clientkick ", 3));
  AdvanceTo(kKickGiveUpMs + 500);
  const std::string text = "TKickThread kicking of ClientID " + std::to_string(num) +
                           " given up - the server did not confirm the kick within 5 minutes";
  ASSERT_TRUE(
      global_.WaitFor([&](const testing::TRecordedMessage& m) { return m.text == text && m.level == 2; }));
  EXPECT_EQ(kicks_.Count(), 0u);
  ASSERT_TRUE(kicked.Flush());
  EXPECT_EQ(kicked.Count(), 1u);  // not kicked, not announced as kicked

  // A slot beyond the server's slots can never be kicked: given up at once.
  TUserListEntry row;
  row.name = "Ghost";
  row.client_number = 70;
  List(row);
  ASSERT_TRUE(kicks_.AddKickThread(70, 0, 0, {}, ""));
  EXPECT_TRUE(global_.WaitForText(
      "TKickThread kicking of ClientID 70 given up - the server refused the client number"));
  EXPECT_TRUE(WaitFor([&] { return kicks_.Count() == 0; }));
}

TEST_F(KicksTest, OperatorCommand) {
  kicks_.RegisterCommands(commands_);
  TSettings settings(config_, home_.Path());
  config_.SetInteger("MKickDelay", 0);
  config_.SetInteger("MKickRepeat", 1);
  kicks_.ApplySettings(settings);
  const TCommandContext terminal;
  EXPECT_FALSE(commands_.Run(terminal, "kick", "abc").ok);
  const auto absent = commands_.Run(terminal, "kick", "12 bye");
  EXPECT_FALSE(absent.ok);
  EXPECT_EQ(absent.text, "client 12 is not on the server");
  const int32_t num = Join("Victim");
  const auto done = commands_.Run(terminal, "kick", std::to_string(num) + " bye %playernick%");
  EXPECT_TRUE(done.ok) << done.text;
  ASSERT_TRUE(WaitReceived("clientkick ", 1));
  EXPECT_EQ(Received("Say "), std::vector<std::string>{"Say \"bye Victim\""});
}

}  // namespace
}  // namespace kv
