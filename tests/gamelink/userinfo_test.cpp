#include "gamelink/userinfo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>

#include "core/clock.h"
#include "domain/settings.h"
#include "tests/gamelink/gamelink_fixture.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/counted_worker.h"
#include "tests/support/event_recorder.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

using testing::GameLinkTest;
using testing::TBusRecorder;
using testing::TEventRecorder;

const std::string kHeader = "\xFF\xFF\xFF\xFF\x01print\n";

TEST(StatusRows, FixedColumnsFromBothEnds) {
  struct Case {
    std::string line;
    bool valid;
    std::string name, address;
    int32_t client, score, ping, last_message, qport, rate;
  };
  const Case cases[] = {
      {"  3    12   48 Bob                  20 10.0.0.2:12203         1000 25000", true, "Bob", "10.0.0.2", 3,
       12, 48, 20, 1000, 25000},
      // A name longer than its column pushes the right-hand columns along.
      {" 11    -4  999 A_Name_Longer_Than_15      50 192.168.100.200:12204  1397  5000", true,
       "A_Name_Longer_Than_15", "192.168.100.200", 11, -4, 999, 50, 1397, 5000},
      // lastmsg keeps only its last five digits.
      {"  0     0   50 Moe             1234567 10.0.0.9               1000 25000", true, "Moe", "10.0.0.9", 0,
       0, 50, 34567, 1000, 25000},
      {"  2     0 CNCT Carl                100 127.0.0.1:12205        1794 25000", false, "", "", 0, 0, 0, 0,
       0, 0},
      {"  2     0 ZMBI Carl                100 127.0.0.1:12205        1794 25000", false, "", "", 0, 0, 0, 0,
       0, 0},
      {"  x     0   50 Carl                100 127.0.0.1:12205        1794 25000", false, "", "", 0, 0, 0, 0,
       0, 0},
      {"garbage", false, "", "", 0, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    TUserListEntry row;
    ASSERT_EQ(ParseStatusRow(c.line, "dm/mohdm6", row), c.valid) << c.line;
    if (!c.valid) continue;
    EXPECT_EQ(row.name, c.name);
    EXPECT_EQ(row.address, c.address);
    EXPECT_EQ(row.client_number, c.client);
    EXPECT_EQ(row.score, c.score);
    EXPECT_EQ(row.ping, c.ping);
    EXPECT_EQ(row.last_message, c.last_message);
    EXPECT_EQ(row.qport, c.qport);
    EXPECT_EQ(row.rate, c.rate);
    EXPECT_EQ(row.map, "dm/mohdm6");
    EXPECT_EQ(row.allied_model, "unknown");
    EXPECT_EQ(row.team_name, "unknown");
  }
}

TEST(StatusReply, ColumnsComeFromTheReplyItself) {
  const auto pad = [](std::string text, size_t width) {
    text.resize(std::max(width, text.size()), ' ');
    return text;
  };
  // With an IPv6 client the server widens the address column to 38 for
  // every row, the header and the dashed line.
  const std::string header = "num score ping name            lastmsg " + pad("address", 39) + "qport rate  ";
  const std::string dashes =
      "--- ----- ---- --------------- ------- " + std::string(38, '-') + " ----- ----- ";
  const std::string rows =
      "  0     0   50 Alice                50 " + pad("127.0.0.1:12203", 39) + " 1000 25000\n" +
      "  1     7   80 Bob Six              20 " + pad("[2001:db8::7]:12204", 39) + " 1397 25000\n" +
      "  2     1   90 A_Name_Longer_Than_15      10 " + pad("2001:db8::8", 39) + " 1794 20000\n";
  struct Case {
    const char* what;
    std::string reply;
  };
  const Case cases[] = {
      {"dashed line", kHeader + "map: dm/mohdm6\n" + header + "\n" + dashes + "\n" + rows + "\n"},
      {"header only", kHeader + "map: dm/mohdm6\n" + header + "\n" + rows + "\n"},
  };
  for (const auto& c : cases) {
    const auto list = ParseStatusReply(c.reply);
    ASSERT_TRUE(list) << c.what;
    ASSERT_EQ(list->Count(), 3) << c.what;
    const std::tuple<std::string, std::string, int32_t, int32_t, int32_t> expected[] = {
        {"Alice", "127.0.0.1", 50, 1000, 25000},
        {"Bob Six", "2001:db8::7", 20, 1397, 25000},
        {"A_Name_Longer_Than_15", "2001:db8::8", 10, 1794, 20000}};
    for (int i = 0; i < 3; ++i) {
      const auto row = list->Row(i);
      EXPECT_EQ(std::make_tuple(row.name, row.address, row.last_message, row.qport, row.rate), expected[i])
          << c.what << " row " << i;
      EXPECT_EQ(row.client_number, i);
    }
  }
  // Without a dashed line and with the usual header: the usual widths.
  const auto usual = ParseStatusReply(
      kHeader + "map: x\nnum score ping name            lastmsg address  " + "             qport rate  \n" +
      "  3    12   48 Bob                  20 10.0.0.2:12203         1000 25000\n");
  ASSERT_TRUE(usual);
  ASSERT_EQ(usual->Count(), 1);
  EXPECT_EQ(usual->Row(0).name, "Bob");
  EXPECT_EQ(usual->Row(0).address, "10.0.0.2");

  const std::pair<std::string, std::string> addresses[] = {
      {"10.0.0.2:12203", "10.0.0.2"},
      {"10.0.0.2", "10.0.0.2"},
      {"[2001:db8::1]:27960", "2001:db8::1"},
      {"2001:db8::1", "2001:db8::1"},
      {"[::1]", "::1"},
      {"loopback", "loopback"},
      {"[bad", "bad"},
      {"[a:b]:1", "a"},
  };
  for (const auto& [in, out] : addresses) EXPECT_EQ(AddressWithoutPort(in), out) << in;
}

TEST(StatusReply, AcceptanceTest) {
  const std::string good = kHeader +
                           "map: dm/mohdm2\r\n"
                           "num score ping name            lastmsg address               qport rate  \r\n"
                           "--- ----- ---- --------------- ------- --------------------- ----- ----- \r\n";
  const std::pair<std::string, bool> cases[] = {
      {good, true},
      {good + "\r\n", true},
      {kRconTimeoutText, false},
      {"Connection refused", false},
      {"", false},
      {kHeader + "Bad rconpassword.\n", false},
      {kHeader + "map: dm/mohdm2\n", false},  // two lines only
      {kHeader + "mop: dm/mohdm2\nnum score ping name\n", false},
      {kHeader + "map: dm/mohdm2\nnum ping name\n", false},
  };
  for (const auto& [reply, accepted] : cases)
    EXPECT_EQ(ParseStatusReply(reply) != nullptr, accepted) << reply;
  const auto list = ParseStatusReply(good);
  EXPECT_EQ(list->map_name, "dm/mohdm2");
  EXPECT_EQ(list->Count(), 0);
}

TEST(StatusStatistics, PingsOfConnectingClientsCountOnlyWhereTheyShould) {
  struct Case {
    std::vector<int32_t> pings;
    int32_t min, max, connecting, avg;
  };
  const Case cases[] = {
      {{50, 150, 999}, 50, 150, 1, 67},  // 200 / 3
      {{}, 0, 0, 0, 0},
      {{999}, 999, 0, 1, 0},
      {{1, 2}, 1, 2, 0, 2},  // 1.5 rounds to even
      {{1, 4}, 1, 4, 0, 2},  // 2.5 rounds to even
  };
  for (const auto& c : cases) {
    TUserList list;
    for (int32_t p : c.pings) {
      TUserListEntry r;
      r.ping = p;
      list.Add(r);
    }
    ComputePingStatistics(list);
    EXPECT_EQ(list.min_ping, c.min);
    EXPECT_EQ(list.max_ping, c.max);
    EXPECT_EQ(list.connecting, c.connecting);
    EXPECT_EQ(list.avg_ping, c.avg);
  }
}

TEST_F(GameLinkTest, PollMakesTheCurrentListAndPublishesMapChangeFirst) {
  TEventRecorder events({ekMapChange, ekNewUserList});
  sim_.Join("Bob", "10.0.0.2", 50);
  sim_.Join("Twenty_Char_Name_xyz", "10.0.0.3", 150);
  sim_.Join("Carl", "10.0.0.4", 999, true);  // CNCT: dropped
  sim_.Join("Moe", "10.0.0.5", 999);
  SetServerIdentitySource(info_, [](int32_t& game_type, std::string& name) {
    game_type = 4;
    name = "Test Box";
  });

  ASSERT_TRUE(GetNewUserList(info_));
  auto list = info_.players.Snapshot();
  ASSERT_TRUE(list);
  std::vector<std::string> names;
  for (const auto& r : list->Rows()) names.push_back(r.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Twenty_Char_Name_xyz", "Bob", "Moe"}));
  EXPECT_EQ(list->Row(0).address, "10.0.0.3");
  EXPECT_EQ(list->Row(0).client_number, 1);
  EXPECT_EQ(list->map_name, "dm/mohdm6");
  EXPECT_EQ(list->game_type, 4);
  EXPECT_EQ(list->server_name, "Test Box");
  EXPECT_EQ(std::make_tuple(list->min_ping, list->max_ping, list->connecting, list->avg_ping),
            std::make_tuple(50, 150, 1, 67));

  ASSERT_TRUE(GetNewUserList(info_));  // same map: no map change
  sim_.SetMap("dm/mohdm1");
  ASSERT_TRUE(GetNewUserList(info_));
  ASSERT_TRUE(events.WaitCount(5));
  const std::vector<std::pair<int, std::string>> expected = {{ekMapChange, "dm/mohdm6"},
                                                             {ekNewUserList, "NewUserList"},
                                                             {ekNewUserList, "NewUserList"},
                                                             {ekMapChange, "dm/mohdm1"},
                                                             {ekNewUserList, "NewUserList"}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto e = events.At(i);
    EXPECT_EQ(e->kind, expected[i].first) << i;
    if (e->kind == ekMapChange) {
      EXPECT_EQ(e->text, expected[i].second);
    }
    if (e->kind == ekNewUserList) {
      ASSERT_TRUE(e->player_list);
      EXPECT_EQ(e->player_list->Count(), 3);
    }
  }
  EXPECT_EQ(events.At(4)->player_list->map_name, "dm/mohdm1");
}

TEST_F(GameLinkTest, SkinsTeamAndWeaponSurviveLaterPolls) {
  sim_.Join("Bob");
  sim_.Join("Alice");
  ASSERT_TRUE(GetNewUserList(info_));
  info_.players.SetModelsOnPlayerOnActualList(0, "allied_airborne", "german_panzer");
  info_.players.SetTeamOnPlayerOnActualList(0, "allies");
  info_.players.SetWeaponOnPlayerOnActualList(1, "Sniper");
  ASSERT_TRUE(GetNewUserList(info_));
  ASSERT_TRUE(GetNewUserList(info_));
  const auto list = info_.players.Snapshot();
  const auto bob = FindListEntry(*list, 0);
  EXPECT_EQ(bob.name, "Bob");
  EXPECT_EQ(bob.allied_model, "allied_airborne");
  EXPECT_EQ(bob.german_model, "german_panzer");
  EXPECT_EQ(bob.team_name, "allies");
  EXPECT_EQ(bob.weapon, "unknown");
  const auto alice = FindListEntry(*list, 1);
  EXPECT_EQ(alice.weapon, "Sniper");
  EXPECT_EQ(alice.allied_model, "unknown");
}

TEST_F(GameLinkTest, RejectedReplyChangesNothing) {
  sim_.Join("Bob");
  ASSERT_TRUE(GetNewUserList(info_));
  // The first poll's events are dispatched before the capture listens.
  ASSERT_TRUE(GetMonitorInterface()->Flush(5000));
  TEventRecorder events({ekMapChange, ekNewUserList});
  sim_.Join("Alice");
  info_.rcon.Update([&](TRconSettings& r) { r.password = "wrong"; });
  EXPECT_FALSE(GetNewUserList(info_));
  info_.rcon.Update([&](TRconSettings& r) { r.password = "secret"; });
  config_.SetInteger("UDPTimeOut", 0);
  sim_.SetMuted(true);
  EXPECT_FALSE(GetNewUserList(info_));
  EXPECT_EQ(info_.players.Snapshot()->Count(), 1);
  ASSERT_TRUE(events.Flush());  // whatever the polls posted has arrived
  EXPECT_EQ(events.Count(), 0u);
}

TEST_F(GameLinkTest, FullServerIsReadFromEverySplitDatagram) {
  for (int i = 0; i < 40; ++i)
    sim_.Join("Soldier" + std::to_string(i), "10.0.1." + std::to_string(i + 1), 30 + i);
  // A small buffer splits the reply at print calls, in the middle of rows.
  sim_.SetReplyBuffer(100);
  ASSERT_GT(mohsim::TMohSim::ReplyDatagrams(sim_.Prints("status", false), false, 100).size(), 30u);
  ASSERT_TRUE(GetNewUserList(info_));
  const auto list = info_.players.Snapshot();
  EXPECT_EQ(list->Count(), 40);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(FindListEntry(*list, i).name, "Soldier" + std::to_string(i));
}

// "load" while polls run: the loader builds the connection settings aside
// and publishes them whole, each request takes one value, so nothing a poll
// reads is written meanwhile (the thread sanitizer pass checks this test).
TEST_F(GameLinkTest, SettingsLoadWhilePollsRun) {
  const std::filesystem::path home =
      std::filesystem::temp_directory_path() / ("kvload-" + std::to_string(::getpid()));
  config_.SetString("RCONHost", EncipherSetting("127.0.0.1"));
  config_.SetString("RCONPORT", std::to_string(sim_.Port()));
  config_.SetString("RCONPASSWORD", EncipherSetting("secret"));
  sim_.Join("Bob");
  std::atomic<bool> polling{true};
  int polled = 0;
  std::thread poller([&] {
    for (int i = 0; i < 30; ++i) polled += GetNewUserList(info_) ? 1 : 0;
    polling = false;
  });
  int loads = 0;
  while (polling || loads == 0) {
    LoadAllSettings(home, config_, info_, TDataFileRegistry());
    ++loads;
  }
  poller.join();
  std::filesystem::remove_all(home);
  EXPECT_EQ(polled, 30);
  EXPECT_EQ(info_.rcon.Get()->port, std::to_string(sim_.Port()));
  EXPECT_EQ(info_.rcon.Get()->password, "secret");
}

class UserInfoThreadTest : public GameLinkTest {
 protected:
  UserInfoThreadTest() { SetClock(&clock_); }
  ~UserInfoThreadTest() override { SetClock(nullptr); }
  using TThread = TUserInfoThread;
  // Runs what should move the thread (the clock, its switch) and waits until
  // the thread has looked at it, so that a check of what did not happen
  // rests on the thread's own look, not on a sleep.
  static void Looked(TThread& thread, const std::function<void()>& action) {
    const uint64_t before = thread.Wakeups();
    action();
    ASSERT_TRUE(testing::WaitFor([&] { return thread.Wakeups() > before; }));
  }
  // Real time passing: a thread asleep until its poll is due gives nothing
  // to count while it (rightly) does nothing.
  static void IdleWhile() { std::this_thread::sleep_for(std::chrono::milliseconds(350)); }

  TManualClock clock_;
};

TEST_F(UserInfoThreadTest, PollsOnlyWhenEnabledAndDue) {
  TBusRecorder global({"GLOBAL"});
  sim_.Join("Bob");
  {
    auto thread = MakeThread<TThread>(info_);
    EXPECT_EQ(sim_.RequestCount(), 0u);  // created disabled
    thread->Enable(true);
    ASSERT_TRUE(testing::WaitFor([&] { return sim_.RequestCount() == 1; }));
    ASSERT_TRUE(testing::WaitFor([&] { return thread->LastListRefresh() == clock_.Now(); }));
    // Exactly the interval is not yet later than it.
    clock_.Advance(3000);
    IdleWhile();
    EXPECT_EQ(sim_.RequestCount(), 1u);
    clock_.Advance(1);
    ASSERT_TRUE(testing::WaitFor([&] { return sim_.RequestCount() == 2; }));
    // The interval is read again when the running one ends.
    config_.SetInteger("UserRefrestTimer", 10);
    clock_.Advance(5000);
    IdleWhile();
    EXPECT_EQ(sim_.RequestCount(), 2u);
    Looked(*thread, [&] { thread->Enable(false); });
    clock_.Advance(60000);
    IdleWhile();
    EXPECT_EQ(sim_.RequestCount(), 2u);
    thread->Enable(true);
    ASSERT_TRUE(testing::WaitFor([&] { return sim_.RequestCount() == 3; }));
  }
  EXPECT_TRUE(global.WaitForText("TUserInfoThread Stopped"));
  EXPECT_EQ(global.CountText("TUserInfoThread Started"), 1u);
}

// Disabled or between two polls the thread sleeps: it comes back only when
// it is enabled or the clock reaches the next poll.
TEST_F(UserInfoThreadTest, SleepsUntilEnabledOrDue) {
  sim_.Join("Bob");
  auto thread = MakeThread<TThread>(info_);
  IdleWhile();
  EXPECT_EQ(thread->Wakeups(), 0u);
  thread->Enable(true);
  ASSERT_TRUE(testing::WaitFor([&] { return thread->LastListRefresh() == clock_.Now(); }));
  EXPECT_EQ(sim_.RequestCount(), 1u);
  const uint64_t asleep = thread->Wakeups();
  IdleWhile();
  EXPECT_EQ(thread->Wakeups(), asleep);
  clock_.Advance(3001);
  ASSERT_TRUE(testing::WaitFor([&] { return sim_.RequestCount() == 2; }));
  EXPECT_EQ(thread->Wakeups(), asleep + 1);
}

TEST_F(UserInfoThreadTest, FailingPollsAreReportedOnceAndTheirRecoveryOnce) {
  TBusRecorder global({"GLOBAL"});
  sim_.Join("Bob");
  info_.rcon.Update([&](TRconSettings& r) { r.password = "wrong"; });
  auto thread = MakeThread<TThread>(info_);
  thread->Enable(true);
  const auto polls = [&](size_t n) {
    for (size_t i = 0; i < n; ++i) {
      // The previous poll has ended (its time is taken) before time moves on.
      ASSERT_TRUE(testing::WaitFor([&] { return thread->LastListRefresh() == clock_.Now(); }));
      const size_t before = sim_.RequestCount();
      clock_.Advance(3001);
      ASSERT_TRUE(testing::WaitFor([&] { return sim_.RequestCount() > before; }));
    }
  };
  ASSERT_TRUE(testing::WaitFor([&] { return sim_.RequestCount() == 1; }));
  polls(3);
  ASSERT_TRUE(global.WaitForText("Status poll failed: Bad rconpassword."));
  EXPECT_EQ(global.Messages().back().level, mlCritical);
  info_.rcon.Update([&](TRconSettings& r) { r.password = "secret"; });
  polls(3);
  ASSERT_TRUE(global.WaitForText("Status poll works again"));
  // Failing again after the recovery: one line again.
  sim_.SetMuted(true);
  config_.SetInteger("UDPTimeOut", 0);
  polls(2);
  ASSERT_TRUE(global.WaitForText(std::string("Status poll failed: ") + kRconTimeoutText));
  thread.reset();
  EXPECT_EQ(global.CountText("Status poll failed: Bad rconpassword."), 1u);
  EXPECT_EQ(global.CountText("Status poll works again"), 1u);
  size_t failures = 0;
  for (const auto& m : global.Messages()) failures += m.text.rfind("Status poll failed: ", 0) == 0;
  EXPECT_EQ(failures, 2u);
}

TEST_F(UserInfoThreadTest, FailedPollIsReportedAndRetriedOnTheNextTick) {
  TBusRecorder global({"GLOBAL"});
  SetServerIdentitySource(info_, [](int32_t&, std::string&) { throw std::runtime_error("tracker gone"); });
  auto thread = MakeThread<TThread>(info_);
  thread->Enable(true);
  // The clock stands still, yet the poll is repeated: the refresh time did not advance.
  ASSERT_TRUE(testing::WaitFor([&] { return sim_.RequestCount() >= 3; }));
  EXPECT_EQ(thread->LastListRefresh(), 0.0);
  ASSERT_TRUE(global.WaitForText("GetNewUserList failed with: tracker gone"));
  EXPECT_EQ(global.Messages().back().level, mlCritical);
}

}  // namespace
}  // namespace kv
