#include "gamelink/console.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/clock.h"
#include "tests/gamelink/gamelink_fixture.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

using testing::GameLinkTest;
using testing::TBusRecorder;
using testing::TEventRecorder;
using testing::TRecordedMessage;

class ConsoleTest : public GameLinkTest {
 protected:
  ConsoleTest() { CreateLastConsoleMsgs(info_); }
  ~ConsoleTest() override {
    // Senders use info_ and the simulator: they end before either goes.
    ConsoleMessageThreads(info_).Clear();
    DestroyLastConsoleMsgs(info_);
    SetMessageExpander(info_, nullptr);
    SetClock(nullptr);
  }

  size_t SayCount() {
    size_t n = 0;
    for (const auto& c : sim_.Commands())
      if (c.rfind("Say ", 0) == 0) ++n;
    return n;
  }
  bool Say(const std::string& text) { return SendConsoleMessage(info_, text, false, false, false); }

  TBusRecorder global_{{"GLOBAL"}};
  // A member, not a local of a test: background senders may still read the
  // clock until the destructor has ended them.
  TManualClock clock_;
};

TEST_F(ConsoleTest, LengthRuleAndEmptyText) {
  const std::string ok(200, 'a');
  const std::string too_long(201, 'b');
  EXPECT_TRUE(Say(ok));
  ASSERT_EQ(sim_.Commands().size(), 1u);
  EXPECT_EQ(sim_.Commands()[0], "Say \"" + ok + "\"");
  EXPECT_TRUE(Say(too_long));
  EXPECT_TRUE(SendConsoleMessage(info_, too_long, true, false, true));  // background too
  EXPECT_FALSE(Say(""));
  EXPECT_EQ(sim_.RequestCount(), 1u);
  const std::string line =
      "SendConsoleMessage Ignoring Message: " + too_long + " Error: Message to long (>200 chars)";
  ASSERT_TRUE(
      global_.WaitFor([&](const TRecordedMessage& m) { return m.text == line && m.level == mlCritical; }));
  EXPECT_TRUE(testing::WaitFor([&] { return global_.CountText(line) == 2; }));
}

TEST_F(ConsoleTest, FloodFilterWithDefaultsOverRcon) {
  TEventRecorder sent({ekMessageSend});
  EXPECT_TRUE(Say("Welcome"));
  EXPECT_TRUE(Say("WELCOME"));  // the same text in other letters
  EXPECT_TRUE(Say("welcome"));  // refused, still "handled"
  EXPECT_EQ(SayCount(), 2u);
  ASSERT_TRUE(sent.WaitCount(2));
  EXPECT_EQ(sent.At(0)->kind, ekMessageSend);
  EXPECT_EQ(sent.At(0)->text, "Welcome");
  EXPECT_EQ(sent.At(1)->text, "WELCOME");
  // Ten other texts push it out of the list.
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(Say("other " + std::to_string(i)));
  EXPECT_TRUE(Say("Welcome"));
  EXPECT_EQ(SayCount(), 11u);
  EXPECT_TRUE(Say("other 9"));
  EXPECT_TRUE(Say("Welcome"));
  EXPECT_EQ(SayCount(), 13u);
  // Skip-filter sends anyway, and the delivery still counts.
  EXPECT_TRUE(SendConsoleMessage(info_, "Welcome", false, false, true));
  EXPECT_TRUE(SendConsoleMessage(info_, "Welcome", false, false, true));
  EXPECT_EQ(SayCount(), 15u);
  EXPECT_EQ(LastConsoleMsgs(info_)->Dump().back(), "WELCOME=3");
  EXPECT_TRUE(sent.WaitCount(15));
}

TEST_F(ConsoleTest, FloodFilterSettings) {
  TLastConsoleMsgs f(info_.Settings());
  // Off: nothing refused, deliveries still recorded.
  config_.SetBool("FilterMessagesSend", false);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(f.MaySend("x"));
    f.RecordDelivery("x");
  }
  EXPECT_EQ(f.Dump(), std::vector<std::string>{"X=3"});
  config_.SetBool("FilterMessagesSend", true);
  EXPECT_FALSE(f.MaySend("X"));
  config_.SetInteger("FilterMessagesSendMaxOccured", 4);
  EXPECT_TRUE(f.MaySend("x"));
  // A smaller list drops the oldest at the next delivery; counts keep their place.
  config_.SetInteger("FilterMessagesSendMaxCount", 2);
  f.RecordDelivery("b\xE4r");
  f.RecordDelivery("x");
  EXPECT_EQ(f.Dump(), (std::vector<std::string>{"X=4", "B\xC4R=1"}));
  f.RecordDelivery("c");
  EXPECT_EQ(f.Dump(), (std::vector<std::string>{"B\xC4R=1", "C=1"}));
  EXPECT_TRUE(f.MaySend("x"));
  config_.SetInteger("FilterMessagesSendMaxCount", 0);
  f.RecordDelivery("d");
  EXPECT_TRUE(f.Dump().empty());
}

TEST_F(ConsoleTest, DeliveryTestOnReplies) {
  struct Case {
    bool quake;
    std::string reply;
    bool delivered;
  };
  const Case cases[] = {
      {false,
       "console: hi\nbroadcast: print \"\x02"
       "console: hi\\n\"\n",
       true},
      {false, "Broadcast", true},
      {false, "print \"console: hi\"", false},  // printed, but not broadcast
      {true, "print \"console: hi\"", true},
      {true, "PrInT", true},
      {false, kRconTimeoutText, false},
      {true, kRconTimeoutText, false},
      {false, "", false},
  };
  for (const auto& c : cases) {
    config_.SetBool("QuakeRCON", c.quake);
    EXPECT_EQ(ReplyShowsDelivery(info_.Settings(), c.reply), c.delivered) << c.reply;
  }
  // Both dialects against the simulator.
  sim_.SetQuakeDialect(true);
  config_.SetBool("QuakeRCON", true);
  EXPECT_TRUE(Say("quake style"));
  config_.SetBool("QuakeRCON", false);
  EXPECT_TRUE(Say("mohaa style"));
}

TEST_F(ConsoleTest, ImmediateSendNotDeliveredIsFalseWithoutEvent) {
  TEventRecorder sent({ekMessageSend});
  config_.SetInteger("UDPTimeOut", 0);  // half a second
  sim_.SetMuted(true);
  EXPECT_FALSE(Say("nobody hears"));
  EXPECT_EQ(sim_.RequestCount(), 1u);
  // Not delivered, so not counted by the filter either.
  EXPECT_TRUE(LastConsoleMsgs(info_)->Dump().empty());
  sim_.SetMuted(false);
  EXPECT_TRUE(Say("heard"));
  ASSERT_TRUE(sent.WaitCount(1));
  EXPECT_EQ(sent.At(0)->text, "heard");
  EXPECT_EQ(sent.Count(), 1u);
}

TEST_F(ConsoleTest, PlayerTextCannotEndTheArgumentOrSplitTheCommand) {
  using namespace std::string_literals;
  const std::string nick = "Evil\"; rcon_password x\nquit\r\0z"s;
  SetMessageExpander(
      info_, [&](TMohaaServerInfo*, const std::string& text, const TReplaceArray&, int32_t,
                 const TMohaaEvent*) { return text == "%playernick% joined" ? nick + " joined" : text; });
  TEventRecorder sent({ekMessageSend});
  EXPECT_TRUE(Say("%playernick% joined"));
  ASSERT_EQ(sim_.Commands().size(), 1u);
  const std::string safe = "Evil', rcon_password x quit  z joined";
  EXPECT_EQ(sim_.Commands()[0], "Say \"" + safe + "\"");
  ASSERT_TRUE(sent.WaitCount(1));
  EXPECT_EQ(sent.At(0)->text, safe);
  const std::pair<std::string, std::string> cases[] = {
      {"a\"b", "a'b"},
      {"a;b", "a,b"},
      {"a\r\nb", "a  b"},
      {std::string("a\0b", 3), "a b"},
      {"a\tb\x1B[2Jc", "a b [2Jc"},  // every control character, escape sequences too
      {"\xE4 ok 100% //x", "\xE4 ok 100% //x"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(ConsoleSafeText(in), out);
  EXPECT_EQ(SayCommand("say \"x\""), "Say \"say 'x'\"");
}

TEST_F(ConsoleTest, BackgroundDelayAndRepetitionsOnTheClock) {
  SetClock(&clock_);
  TEventRecorder sent({ekMessageSend});
  EXPECT_TRUE(SendConsoleMessage(info_, "three times", true, false, true, {}, -1, nullptr, 60, 3));
  // Step through the clock, noting where each Say appeared.
  std::vector<int64_t> seen_at;
  int64_t advanced = 0;
  clock_.Advance(59'500);
  advanced = 59'500;
  while (seen_at.size() < 3 && advanced < 70'000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    while (seen_at.size() < SayCount()) seen_at.push_back(advanced);
    clock_.Advance(100);
    advanced += 100;
  }
  ASSERT_EQ(seen_at.size(), 3u);
  EXPECT_GE(seen_at[0], 60'000);
  EXPECT_LE(seen_at[0], 61'000);  // slack for a slow machine, not for a second delay
  for (int i = 1; i < 3; ++i) {
    EXPECT_GE(seen_at[i] - seen_at[i - 1], 900) << i;
    EXPECT_LE(seen_at[i] - seen_at[i - 1], 2'000) << i;
  }
  EXPECT_TRUE(sent.WaitCount(3));
  // The sender ends by itself after the last repetition.
  EXPECT_TRUE(testing::WaitFor([this] { return ConsoleMessageThreads(info_).Reap() == 0; }));
  EXPECT_EQ(SayCount(), 3u);
}

// A sender's delay is one sleep until the clock reaches its end: it looks
// again only when the clock moves, and says its text on the move that
// reaches the end.
TEST_F(ConsoleTest, BackgroundDelaySleepsUntilTheClockReachesItsEnd) {
  SetClock(&clock_);
  auto sender = MakeThread<TConsoleMessage>(info_, "later", 10, 1, true, false);
  ASSERT_TRUE(testing::WaitFor([&] { return sender->PauseWakeups() >= 1; }));
  const uint64_t asleep = sender->PauseWakeups();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a looker would look many times here
  EXPECT_EQ(sender->PauseWakeups(), asleep);
  clock_.Advance(9'999);
  ASSERT_TRUE(testing::WaitFor([&] { return sender->PauseWakeups() > asleep; }));
  EXPECT_EQ(SayCount(), 0u);
  clock_.Advance(1);
  ASSERT_TRUE(testing::WaitFor([&] { return SayCount() == 1; }));
  EXPECT_TRUE(sender->WaitFinished(5000));
}

TEST_F(ConsoleTest, BackgroundExpansionNowOrDeferred) {
  SetClock(&clock_);
  // Shared with the expander, which a sender may still run after the body.
  auto value = std::make_shared<std::atomic<int>>(1);
  SetMessageExpander(info_, [value](TMohaaServerInfo*, const std::string& text, const TReplaceArray& extra,
                                    int32_t id, const TMohaaEvent*) {
    return text + " v" + std::to_string(value->load()) + " extras" + std::to_string(extra.size()) + " id" +
           std::to_string(id);
  });
  const TReplaceArray extra = {{"%a%", "b"}};
  EXPECT_TRUE(SendConsoleMessage(info_, "now", true, false, true, extra, 4, nullptr, 1, 1, false));
  EXPECT_TRUE(SendConsoleMessage(info_, "late", true, false, true, extra, 4, nullptr, 1, 1, true));
  *value = 2;
  clock_.Advance(1000);
  ASSERT_TRUE(testing::WaitFor([&] { return SayCount() == 2; }));
  auto commands = sim_.Commands();
  std::sort(commands.begin(), commands.end());
  // Expanded once: at the call with the caller's extras and id, or, when
  // deferred, in the sender, which has neither.
  EXPECT_EQ(commands[0], "Say \"late v2 extras0 id-1\"");
  EXPECT_EQ(commands[1], "Say \"now v1 extras1 id4\"");
}

TEST_F(ConsoleTest, BackgroundRetriesThenReportsOrDelivers) {
  config_.SetInteger("UDPTimeOut", 0);  // each unanswered attempt waits half a second
  config_.SetInteger("RconMaxRetry", 3);
  config_.SetInteger("RconFailSleep", 10);
  sim_.SetMuted(true);
  TEventRecorder sent({ekMessageSend});
  EXPECT_TRUE(SendConsoleMessage(info_, "lost words", true, false, false));
  const std::string line = "Critical Error cant send (tryed 3times) Console Message: lost words";
  ASSERT_TRUE(global_.WaitForText(line, 10'000));
  EXPECT_EQ(sim_.RequestCount(), 3u);
  EXPECT_TRUE(testing::WaitFor([this] { return ConsoleMessageThreads(info_).Reap() == 0; }));
  ASSERT_TRUE(sent.Flush());  // whatever the ended sender posted has arrived
  EXPECT_EQ(sent.Count(), 0u);

  // A server that answers the second attempt: delivered, no error line.
  config_.SetInteger("RconMaxRetry", 20);
  EXPECT_TRUE(SendConsoleMessage(info_, "found words", true, false, false));
  ASSERT_TRUE(testing::WaitFor([&] { return sim_.RequestCount() >= 4; }));
  sim_.SetMuted(false);
  ASSERT_TRUE(sent.WaitCount(1, 10'000));
  EXPECT_EQ(sent.At(0)->text, "found words");
  EXPECT_TRUE(testing::WaitFor([this] { return ConsoleMessageThreads(info_).Reap() == 0; }));
  ASSERT_TRUE(global_.Flush());
  EXPECT_EQ(global_.CountText("Critical Error cant send (tryed 20times) Console Message: found words"), 0u);
  EXPECT_EQ(LastConsoleMsgs(info_)->Dump(), std::vector<std::string>{"FOUND WORDS=1"});
}

TEST_F(ConsoleTest, BackgroundSenderHonoursFilterAndEndsOnRequest) {
  SetClock(&clock_);
  LastConsoleMsgs(info_)->RecordDelivery("spam");
  LastConsoleMsgs(info_)->RecordDelivery("spam");
  EXPECT_TRUE(SendConsoleMessage(info_, "spam", true, false, false, {}, -1, nullptr, 0, 5));
  EXPECT_TRUE(testing::WaitFor([this] { return ConsoleMessageThreads(info_).Reap() == 0; }));
  EXPECT_EQ(sim_.RequestCount(), 0u);
  // A sender waiting out a long delay ends at once when told to.
  EXPECT_TRUE(SendConsoleMessage(info_, "later", true, false, false, {}, -1, nullptr, 3600, 1));
  EXPECT_EQ(ConsoleMessageThreads(info_).Reap(), 1u);
  EXPECT_EQ(CounterValue(TCounter::ConsoleMessageThreads), 1);
  const auto start = std::chrono::steady_clock::now();
  ConsoleMessageThreads(info_).Clear();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(CounterValue(TCounter::ConsoleMessageThreads), 0);
  EXPECT_EQ(sim_.RequestCount(), 0u);
}

TEST_F(ConsoleTest, OperatorWordsGoAsTypedAndTellWhatBecameOfThem) {
  // Outcomes arrive from the sender threads.
  std::mutex mutex;
  std::vector<std::string> outcomes;
  const auto done = [&](bool delivered, const std::string& why) {
    std::lock_guard lock(mutex);
    outcomes.push_back(delivered ? "delivered" : why);
  };
  const auto outcome = [&](size_t n) {
    EXPECT_TRUE(testing::WaitFor([&] {
      std::lock_guard lock(mutex);
      return outcomes.size() >= n;
    }));
    std::lock_guard lock(mutex);
    return outcomes.size() >= n ? outcomes[n - 1] : std::string("<none>");
  };
  SetMessageExpander(info_,
                     [](TMohaaServerInfo*, const std::string&, const TReplaceArray&, int32_t,
                        const TMohaaEvent*) -> std::string { return "expanded"; });
  const std::string words = "meet at B; bring \"smoke\" %playernick%";
  LastConsoleMsgs(info_)->RecordDelivery(words);
  LastConsoleMsgs(info_)->RecordDelivery(words);  // the filter would refuse it now
  SendOperatorMessage(info_, words, done);
  EXPECT_EQ(outcome(1), "delivered");
  EXPECT_EQ(sim_.Commands(), std::vector<std::string>{"Say \"" + words + "\""});

  config_.SetInteger("RconMaxRetry", 2);
  config_.SetInteger("RconFailSleep", 10);
  info_.rcon.Update([&](TRconSettings& r) { r.password = "wrong"; });
  SendOperatorMessage(info_, "hello", done);
  EXPECT_EQ(outcome(2), "the server answered: Bad rconpassword.");
  info_.rcon.Update([&](TRconSettings& r) { r.password = "secret"; });
  sim_.SetMuted(true);
  config_.SetInteger("UDPTimeOut", 0);
  SendOperatorMessage(info_, "hello", done);
  EXPECT_EQ(outcome(3), kRconTimeoutText);
  // Refused at once, before any sender starts.
  const std::pair<std::string, std::string> refused[] = {
      {"", "empty text"},
      {std::string(201, 'x'), "longer than 200 characters"},
      {"two\nlines", kRconLineBreakText},
  };
  size_t n = 3;
  for (const auto& [text, why] : refused) {
    SendOperatorMessage(info_, text, done);
    std::lock_guard lock(mutex);
    ASSERT_EQ(outcomes.size(), ++n);
    EXPECT_EQ(outcomes.back(), why);
  }
  EXPECT_EQ(sim_.RequestCount(), 5u);
}

TEST_F(ConsoleTest, FailuresArePostedAndNothingIsSent) {
  SetMessageExpander(info_,
                     [](TMohaaServerInfo*, const std::string&, const TReplaceArray&, int32_t,
                        const TMohaaEvent*) -> std::string { throw std::runtime_error("boom"); });
  EXPECT_FALSE(Say("hello"));
  ASSERT_TRUE(global_.WaitFor([](const TRecordedMessage& m) {
    return m.text == "SendConsoleMessage error: boom Message:hello" && m.level == mlCritical;
  }));
  // Deferred: the failure happens in the sender, which reports and ends.
  EXPECT_TRUE(SendConsoleMessage(info_, "later", true, false, false, {}, -1, nullptr, 0, 1, true));
  ASSERT_TRUE(global_.WaitFor([](const TRecordedMessage& m) {
    return m.text == "TConsoleMessage error on sending Message Error:boom" && m.level == mlDebug;
  }));
  EXPECT_TRUE(testing::WaitFor([this] { return ConsoleMessageThreads(info_).Reap() == 0; }));
  EXPECT_EQ(sim_.RequestCount(), 0u);
}

}  // namespace
}  // namespace kv
