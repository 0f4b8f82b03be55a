#include "players/tracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/players/tracker_fixture.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/wait.h"

namespace kv::testing {
namespace {

std::vector<std::string> Names(const TEventRecorder::TEvents& events, uint8_t kind) {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e->kind == kind)
      out.push_back(e->log_entry       ? e->log_entry->first_player.name
                    : e->history_entry ? e->history_entry->player.name
                                       : e->text);
  return out;
}

double Date(const TVariant& v) { return v.IsEmptyOrNull() ? -1 : v.AsDouble(); }

// Holds a thread until opened; opens at the end of the test at the latest,
// so a failed check never leaves the tracker stuck.
class TGate {
 public:
  ~TGate() { Open(); }
  void Open() {
    {
      std::lock_guard lock(m_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void Pass() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST_F(TrackerTest, JoinsDeparturesAndReturnsBookVisitsMapsAndPlayTime) {
  OpenTracker();
  TEventRecorder events({ekNewUser, ekUserBack, ekWentOffline, ekMapChange, ekUserHistChanged});
  const double t0 = clock_.Now();
  sim_.Join("Bob", "10.0.0.2", 40);
  sim_.Join("Alice", "10.0.0.3", 60);
  Poll();
  ASSERT_TRUE(events.Flush());
  auto all = events.Events();
  EXPECT_EQ(Names(all, ekNewUser), (std::vector<std::string>{"Alice", "Bob"}));  // longest name first
  // The poll's own map change, then one per new player.
  EXPECT_EQ(Names(all, ekMapChange), (std::vector<std::string>{"dm/mohdm6", "Alice", "Bob"}));
  EXPECT_EQ(Date(Var("Bob", "FIRSTSEEN")), t0);
  EXPECT_EQ(Var("Bob", "MapsPlayed").AsInteger(), 1);
  EXPECT_EQ(Var("Bob", "MapsPlayed [dm/mohdm6]").AsInteger(), 1);
  EXPECT_EQ(Var("Bob", "WEAPON").AsString(), "unknown");
  EXPECT_EQ(History("Bob")->visit.GetValue("TeamName").AsString(), "unkown");
  EXPECT_EQ(History("Bob")->player.client_number, 0);

  // 90 minutes later Bob has left with 12 points.
  sim_.SetScore("Bob", 12);
  Poll();
  AdvanceMinutes(90);
  sim_.Leave("Bob");
  Poll();
  ASSERT_TRUE(events.Flush());
  EXPECT_EQ(Names(events.Events(), ekWentOffline), (std::vector<std::string>{"Bob"}));
  auto bob = History("Bob");
  EXPECT_EQ(bob->player.client_number, kNoPlayer);
  EXPECT_EQ(bob->visit.Count(), 0);
  EXPECT_NEAR(Date(Var("Bob", "Timeplayed")), Minutes(90), 1e-9);
  EXPECT_EQ(Var("Bob", "TimeplayedStr").AsString(), "1 Hours 30 Min");
  EXPECT_EQ(Var("Bob", "LastScore").AsInteger(), 12);
  EXPECT_EQ(Var("Bob", "SAVEDSCORE").AsInteger(), 12);
  EXPECT_EQ(Date(Var("Bob", "LastQuit")), t0 + Minutes(90));

  // He comes back on the next map: a return, not a new player.
  sim_.SetMap("dm/mohdm1");
  AdvanceMinutes(1);
  sim_.Join("Bob", "10.0.0.2", 40);
  Poll();
  ASSERT_TRUE(events.Flush());
  EXPECT_EQ(Names(events.Events(), ekUserBack), (std::vector<std::string>{"Bob"}));
  EXPECT_EQ(Names(events.Events(), ekNewUser).size(), 2u);
  EXPECT_EQ(Date(Var("Bob", "LASTENTER")), t0 + Minutes(91));
  EXPECT_EQ(Var("Bob", "MapsPlayed").AsInteger(), 2);
  EXPECT_EQ(Var("Bob", "MapsPlayed [dm/mohdm1]").AsInteger(), 1);
  // Alice stayed: the global map change counted for her.
  EXPECT_EQ(Var("Alice", "MapsPlayed [dm/mohdm1]").AsInteger(), 1);
  EXPECT_NEAR(Date(Var("Bob", "Timeplayed")), Minutes(90), 1e-9);  // nothing added by the return
  EXPECT_TRUE(Kicks().empty());
}

TEST_F(TrackerTest, TimesAreTheEventsOwnEvenWhenTheTrackerFallsBehind) {
  // The tracker is held up in the middle of an event while the clock runs
  // on: what it books for the next poll is that poll's time.
  TGate gate;
  std::atomic<int> blocked{0};
  OpenTracker();
  tracker_->Close();
  TTrackerHooks hooks;
  hooks.before_rows = [&](TUserList&, double) {
    if (blocked++ == 0) gate.Pass();
  };
  tracker_->AddHooks(hooks);
  tracker_->Open();
  ASSERT_TRUE(GetNewUserList(info_));  // empty list; the tracker stops in it
  ASSERT_TRUE(WaitFor([&] { return blocked.load() == 1; }));
  const double t_join = clock_.Now();
  sim_.Join("Bob", "10.0.0.2");
  ASSERT_TRUE(GetNewUserList(info_));
  AdvanceMinutes(30);
  const double t_leave = clock_.Now();
  sim_.Leave("Bob");
  ASSERT_TRUE(GetNewUserList(info_));
  AdvanceMinutes(600);  // the tracker gets to them ten hours later
  gate.Open();
  ASSERT_TRUE(tracker_->Settle(10000));
  EXPECT_EQ(Date(Var("Bob", "FIRSTSEEN")), t_join);
  EXPECT_EQ(Date(Var("Bob", "LastQuit")), t_leave);
  EXPECT_NEAR(Date(Var("Bob", "Timeplayed")), Minutes(30), 1e-9);
}

TEST_F(TrackerTest, NickChangesCountTheNickLeftAndAKnownNickIsKicked) {
  OpenTracker();
  TEventRecorder events({ekNickChanged, ekWentOffline});
  sim_.Join("Alice", "10.0.0.3");
  Poll();
  sim_.Leave("Alice");  // Alice is known from now on
  sim_.Join("Bob", "10.0.0.2");
  Poll();
  const struct {
    const char* to;
    const char* last_nicks;
  } steps[] = {{"Robert", "Bob=1"}, {"Bob", "Bob=1,Robert=1"}, {"Robert", "Bob=2,Robert=1"}};
  std::string from = "Bob";
  int changes = 0;
  for (const auto& step : steps) {
    ASSERT_TRUE(sim_.Rename(from, step.to));
    Poll();
    ++changes;
    EXPECT_FALSE(store_->IsKnown(from)) << step.to;
    EXPECT_EQ(Var(step.to, "NickChanges").AsInteger(), changes);
    EXPECT_EQ(Var(step.to, "LastNicks").AsString(), step.last_nicks);
    EXPECT_EQ(History(step.to)->player.client_number, 0);  // Alice's slot before
    from = step.to;
  }
  ASSERT_TRUE(events.Flush());
  ASSERT_EQ(Names(events.Events(), ekNickChanged), (std::vector<std::string>{"Robert", "Bob", "Robert"}));
  const auto last = events.At(events.Count() - 1);
  EXPECT_EQ(last->text, "Bob");  // the nick left
  EXPECT_EQ(last->variables.GetValue("NickChanges").AsInteger(), 3);

  // To a nick somebody else owns: the renamer is kicked at once, with both
  // nicks written out, and his history goes offline.
  ASSERT_TRUE(sim_.Rename("Robert", "Alice"));
  Poll();
  ASSERT_EQ(Kicks().size(), 1u);
  EXPECT_EQ(Kicks()[0].client_number, 0);
  EXPECT_EQ(Kicks()[0].delay_seconds, 0);
  EXPECT_EQ(Kicks()[0].message, "Robert get kicked - Player changed nick to allready know User [Alice]");
  EXPECT_EQ(History("Robert")->player.client_number, kNoPlayer);
  ASSERT_TRUE(events.Flush());
  EXPECT_EQ(Names(events.Events(), ekWentOffline), (std::vector<std::string>{"Alice", "Robert"}));
}

TEST_F(TrackerTest, AnotherPlayerInTheSlotIsADepartureAndAJoin) {
  OpenTracker();
  TEventRecorder events({ekNewUser, ekWentOffline, ekNickChanged});
  sim_.Join("Bob", "10.0.0.2");
  Poll();
  // Between two polls Bob leaves and Carl takes slot 0 from another address.
  sim_.Leave("Bob");
  ASSERT_EQ(sim_.Join("Carl", "10.0.0.9"), 0);
  Poll();
  ASSERT_TRUE(events.Flush());
  EXPECT_EQ(Names(events.Events(), ekWentOffline), (std::vector<std::string>{"Bob"}));
  EXPECT_EQ(Names(events.Events(), ekNewUser), (std::vector<std::string>{"Bob", "Carl"}));
  EXPECT_EQ(Names(events.Events(), ekNickChanged).size(), 0u);
  EXPECT_EQ(History("Carl")->player.client_number, 0);
}

TEST_F(TrackerTest, IdentityRulesKickWithTheirTextsAndDelays) {
  struct TCase {
    const char* what;
    TTrackerSettings settings;
    std::vector<TUserListEntry> first, second;
    std::vector<std::pair<int32_t, int32_t>> kicks;  // client, delay
    const char* message;
  };
  TTrackerSettings no_ip_rule;
  no_ip_rule.only_one_player_per_ip = false;
  TTrackerSettings spearhead;
  spearhead.spearhead = true;
  const TCase cases[] = {
      {"second client from an online address",
       {},
       {Row(0, "Bob", "10.0.0.2", 1)},
       {Row(0, "Bob", "10.0.0.2", 1), Row(1, "Carl", "10.0.0.2", 2)},
       {{1, 0}},
       kKickSameIp},
      {"the same without the rule",
       no_ip_rule,
       {Row(0, "Bob", "10.0.0.2", 1)},
       {Row(0, "Bob", "10.0.0.2", 1), Row(1, "Carl", "10.0.0.2", 2)},
       {},
       ""},
      {"a second client with an online nick",
       {},
       {Row(0, "Bob", "10.0.0.2", 1)},
       {Row(0, "Bob", "10.0.0.2", 1), Row(1, "Bob", "10.0.0.7", 2)},
       {{1, 0}},
       kKickSameNick},
      {"a control byte in a nick", {}, {}, {Row(0, "\x01Odd", "10.0.0.2")}, {{0, 120}}, kKickBadNickNew},
      {"a byte above 126", {}, {}, {Row(0, "J\xF6rg", "10.0.0.2")}, {{0, 120}}, kKickBadNickNew},
      {"an empty nick", {}, {}, {Row(0, "", "10.0.0.2")}, {{0, 120}}, kKickBadNickNew},
      {"a blank is fine on the game", {}, {}, {Row(0, "Big Joe", "10.0.0.2")}, {}, ""},
      {"but not on the expansion",
       spearhead,
       {},
       {Row(0, "Big Jim", "10.0.0.2")},
       {{0, 120}},
       kKickBadNickNew},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OpenTracker(c.settings);
    {
      std::lock_guard lock(kicks_mutex_);
      kicks_.clear();
    }
    if (!c.first.empty()) PostList(c.first);
    PostList(c.second);
    ASSERT_TRUE(tracker_->Settle(10000));
    std::vector<std::pair<int32_t, int32_t>> got;
    for (const auto& k : Kicks()) {
      got.emplace_back(k.client_number, k.delay_seconds);
      EXPECT_EQ(k.message, c.message);
      EXPECT_EQ(k.repetitions, 1);
    }
    EXPECT_EQ(got, c.kicks);
    PostList({});  // everybody leaves, for the next case
    ASSERT_TRUE(tracker_->Settle(10000));
  }
  // A second client with an online nick counts for that nick's history in
  // this poll: its ping is that history's latest sample.
  OpenTracker();
  PostList({Row(0, "Eve", "10.0.0.2", 1, 40)});
  PostList({Row(0, "Eve", "10.0.0.2", 1, 40), Row(1, "Eve", "10.0.0.8", 2, 333)});
  ASSERT_TRUE(tracker_->Settle(10000));
  // (The window fills its free slots front to back.)
  const auto& pings = History("Eve")->ping_samples;
  EXPECT_EQ((std::vector<int32_t>(pings.begin(), pings.begin() + 4)), (std::vector<int32_t>{40, 40, 333, 0}));
  EXPECT_EQ(History("Eve")->player.client_number, 0);
}

TEST_F(TrackerTest, ReturnsAreCheckedAgainstTheirAddressFilterAndAddress) {
  OpenTracker();
  PostList({Row(0, "Bob", "10.1.2.3"), Row(1, "Dora", "10.0.0.5")});
  PostList({});
  ASSERT_TRUE(tracker_->Settle(10000));
  History("Bob")->persistent.SetValue("User_IPFilter", "^10\\.");
  History("Dora")->persistent.SetValue("User_IPFilter", "^10\\.");
  // Bob returns from another net; Dora from the allowed one, but from the
  // address of Carl, who is online.
  PostList({Row(2, "Carl", "10.0.0.5", 9)});
  PostList({Row(2, "Carl", "10.0.0.5", 9), Row(0, "Bob", "192.168.0.4"), Row(1, "Dora", "10.0.0.5", 10)});
  ASSERT_TRUE(tracker_->Settle(10000));
  const auto kicks = Kicks();
  ASSERT_EQ(kicks.size(), 2u);
  EXPECT_EQ(std::make_tuple(kicks[0].client_number, kicks[0].delay_seconds, kicks[0].message),
            std::make_tuple(0, 60, std::string(kKickIpFilter)));
  EXPECT_EQ(std::make_tuple(kicks[1].client_number, kicks[1].delay_seconds, kicks[1].message),
            std::make_tuple(1, 0, std::string(kKickSameIp)));
}

TEST_F(TrackerTest, OnlyTheNicksOfTheStatisticsPatternKeepTheirHistory) {
  for (const char* pattern : {"^\\[KV\\]", ""}) {
    SCOPED_TRACE(pattern);
    TTrackerSettings s;
    s.stats_only_for_nick = pattern;
    OpenTracker(s);
    PostList({Row(0, "[KV]Otto", "10.0.0.2"), Row(1, "Bob", "10.0.0.3")});
    PostList({});
    ASSERT_TRUE(tracker_->Settle(10000));
    EXPECT_TRUE(History("[KV]Otto"));
    EXPECT_EQ(static_cast<bool>(History("Bob")), std::string(pattern).empty());
  }
}

TEST_F(TrackerTest, AVisitWhoseEndWasNotSeenCountsUntilThePlayerWasLastSeen) {
  OpenTracker();
  const double t0 = clock_.Now();
  PostList({Row(0, "Bob", "10.0.0.2")});
  ASSERT_TRUE(tracker_->Settle(10000));
  AdvanceMinutes(10);
  PostList({Row(0, "Bob", "10.0.0.2")});
  ASSERT_TRUE(tracker_->Settle(10000));
  // The service stops while Bob plays and starts again five hours later.
  tracker_->Close();
  store_->FlushUsers();
  AdvanceMinutes(300);
  OpenTracker();
  EXPECT_EQ(History("Bob")->player.client_number, kNoPlayer);  // stored offline
  PostList({Row(3, "Bob", "10.0.0.2")});
  ASSERT_TRUE(tracker_->Settle(10000));
  EXPECT_NEAR(Date(Var("Bob", "Timeplayed")), Minutes(10), 1e-9);
  EXPECT_EQ(Date(Var("Bob", "LASTENTER")), t0 + Minutes(310));
}

TEST_F(TrackerTest, GameTypeAndServerNameComeFromTheServerAndGoIntoTheLists) {
  OpenTracker();
  sim_.SetCvar("sv_hostname", "Fritz's Server");
  sim_.Join("Bob");
  Poll();  // map change: g_gametype; a list: sv_hostname
  ASSERT_TRUE(WaitFor([&] {
    tracker_->Settle(1000);
    return tracker_->GameType() == 2 && tracker_->ServerName() == "Fritz's Server";
  }));
  EXPECT_TRUE(tracker_->TeamGame());
  TEventRecorder lists({ekNewUserList});
  Poll();
  ASSERT_TRUE(lists.WaitCount(1));
  EXPECT_EQ(lists.At(0)->player_list->game_type, 2);
  EXPECT_EQ(lists.At(0)->player_list->server_name, "Fritz's Server");
}

TEST_F(TrackerTest, ASilentOrSlowServerDoesNotHoldTheEventsUp) {
  // g_gametype goes unanswered and sv_hostname hangs until released.
  TGate gate;
  OpenTracker({}, [&](const std::string& command) -> std::string {
    if (command == "sv_hostname") {
      gate.Pass();
      return "\"sv_hostname\" is:\"Slow\", the default\n";
    }
    return "Timeout - check your setup and connection";
  });
  TBusRecorder global({"GLOBAL"});
  PostEvent(std::make_shared<TMohaaEvent>(ekMapChange, "dm/mohdm6"));
  // Ten tries half a second apart on the clock, while lists keep coming.
  for (uint64_t tries = 1; tries <= 10; ++tries) {
    // The pause before each further try ends when the clock has moved on.
    ASSERT_TRUE(WaitFor([&] {
      if (tracker_->GameTypeQueries() >= tries) return true;
      clock_.Advance(THistoryUserList::kGameTypePauseMs);
      return false;
    })) << tries;
    EXPECT_EQ(tracker_->GameTypeQueries(), tries);
    PostList({Row(0, "P" + std::to_string(tries), "10.0.0." + std::to_string(tries))});
    ASSERT_TRUE(tracker_->Settle(10000));
    EXPECT_TRUE(History("P" + std::to_string(tries)));
  }
  ASSERT_TRUE(
      global.WaitForText("THistoryUserList: the game server did not tell its game type (g_gametype) in 10 "
                         "tries; keeping game type -1"));
  clock_.Advance(10'000);
  ASSERT_TRUE(tracker_->Settle(5000));
  EXPECT_EQ(tracker_->GameTypeQueries(), 10u);
  EXPECT_EQ(tracker_->GameType(), -1);
  gate.Open();
  ASSERT_TRUE(WaitFor([&] {
    tracker_->Settle(1000);
    return tracker_->ServerName() == "Slow";
  }));
}

TEST_F(TrackerTest, BadInputIsReportedAndNothingIsLost) {
  OpenTracker();
  TBusRecorder global({"GLOBAL"});
  TEventRecorder joins({ekNewUser});
  // 200 clients in one poll.
  std::vector<TUserListEntry> many;
  for (int i = 0; i < 200; ++i)
    many.push_back(Row(i, "Soldier" + std::to_string(i), "10.1.0." + std::to_string(i)));
  PostList(many);
  ASSERT_TRUE(tracker_->Settle(20000));
  ASSERT_TRUE(joins.WaitCount(200));
  EXPECT_EQ(store_->KnownCount(), 200u);
  // A poll that flips between two lists: departures and returns, the cache
  // does not grow.
  const std::vector<TUserListEntry> a = {Row(0, "Anna", "10.2.0.1"), Row(1, "Ben", "10.2.0.2")};
  const std::vector<TUserListEntry> b = {Row(0, "Cleo", "10.2.0.3"), Row(1, "Dan", "10.2.0.4")};
  for (int i = 0; i < 50; ++i) PostList(i % 2 ? b : a);
  ASSERT_TRUE(tracker_->Settle(20000));
  EXPECT_EQ(Var("Anna", "MapsPlayed").AsInteger(), 25);
  AdvanceMinutes(10);
  PostEvent(std::make_shared<TMohaaEvent>(ekMapChange, "dm/mohdm2"));  // purges the cache
  ASSERT_TRUE(tracker_->Settle(10000));
  EXPECT_LE(store_->CachedCount(), 2);
  // Events about players nobody tracks.
  auto ghost = std::make_shared<TMohaaEvent>(ekDelUserHistory);
  ghost->history_entry = std::make_unique<THistoryUserEntry>();
  ghost->history_entry->player.name = "Ghost";
  PostEvent(ghost);
  auto kill = std::make_shared<TMohaaEvent>(ekKill);
  PostEvent(kill);
  ASSERT_TRUE(tracker_->Settle(10000));
  EXPECT_TRUE(global.WaitForText("THistoryUserList: no history of [Ghost] in use to delete - left alone"));
  EXPECT_EQ(store_->KnownCount(), 204u);
}

TEST_F(TrackerTest, TheQueueStaysBoundedWhileTheTrackerIsHeldUp) {
  TGate gate;
  OpenTracker();
  tracker_->Close();
  std::atomic<int> calls{0};
  tracker_->AddEventHandler(ekNewRound, [&](const TMohaaEvent&) {
    if (calls++ == 0) gate.Pass();
  });
  // A second rule's handler of the same kind runs after the first.
  std::atomic<int> second{0};
  tracker_->AddEventHandler(ekNewRound, [&](const TMohaaEvent&) {
    if (second.fetch_add(1) >= calls.load()) second = -1000000;
  });
  tracker_->Open();
  constexpr int kEvents = static_cast<int>(THistoryUserList::kMaxQueued) * 2;
  std::thread producer([&] {
    for (int i = 0; i < kEvents; ++i) PostEvent(std::make_shared<TMohaaEvent>(ekNewRound));
  });
  ASSERT_TRUE(WaitFor([&] { return tracker_->Pending() >= THistoryUserList::kMaxQueued; }));
  producer.join();
  EXPECT_LE(tracker_->Pending(), THistoryUserList::kMaxQueued + 1);
  gate.Open();
  ASSERT_TRUE(tracker_->Settle(20000));
  EXPECT_EQ(calls.load(), kEvents);  // nothing dropped
  EXPECT_EQ(second.load(), kEvents);
}

TEST_F(TrackerTest, DeletingAHistoryForgetsTheNick) {
  OpenTracker();
  PostList({Row(0, "Bob", "10.0.0.2")});
  ASSERT_TRUE(tracker_->Settle(10000));
  auto del = std::make_shared<TMohaaEvent>(ekDelUserHistory);
  del->history_entry = ClonePlayer(History("Bob").get());
  PostEvent(del);
  ASSERT_TRUE(tracker_->Settle(10000));
  EXPECT_FALSE(store_->IsKnown("Bob"));
}

TEST_F(TrackerTest, OperatorCommandsListPlayersAndShowAHistory) {
  OpenTracker();
  tracker_->RegisterCommands(commands_);
  sim_.Join("Bob", "10.0.0.2", 40);
  sim_.Join("J\xF6rg", "10.0.0.3", 70);
  sim_.SetScore("Bob", 5);
  Poll();
  AdvanceMinutes(61);
  const auto players = commands_.RunLine({}, "players");
  ASSERT_TRUE(players.ok) << players.text;
  ASSERT_EQ(players.data["players"].size(), 2u);
  EXPECT_EQ(players.data["players"][1]["name"], "J\xC3\xB6rg");  // UTF-8 at the terminal
  EXPECT_EQ(players.data["players"][0]["score"], 5);
  EXPECT_EQ(players.data["players"][0]["seconds_on_server"], 61 * 60);
  EXPECT_NE(players.text.find("  0 Bob             10.0.0.2           40     5 unkown     1:01:00"),
            std::string::npos)
      << players.text;

  const auto history = commands_.RunLine({}, "history j\xC3\xB6rg");
  ASSERT_TRUE(history.ok) << history.text;
  EXPECT_EQ(history.data["nick"], "J\xC3\xB6rg");
  EXPECT_EQ(history.data["variables"]["WEAPON"], "unknown");
  EXPECT_NE(history.text.find("MapsPlayed = 1"), std::string::npos) << history.text;
  const auto missing = commands_.RunLine({}, "history Nobody");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.text, "no history for Nobody\n");
}

}  // namespace
}  // namespace kv::testing
