#include "domain/domain.h"

#include <gtest/gtest.h>

#include <atomic>

#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/counters.h"
#include "domain/events.h"
#include "domain/serverinfo.h"
#include "domain/userlist.h"
#include "tests/support/bus_recorder.h"

namespace kv {
namespace {

using testing::TBusRecorder;

TEST(Domain, FixedTables) {
  EXPECT_STREQ(EventKindName(0), "unknown");
  EXPECT_STREQ(EventKindName(ekMapChange), "Map Change/Restart");
  EXPECT_STREQ(EventKindName(49), "ACClient Kick");
  EXPECT_STREQ(EventKindName(50), "unknown");
  EXPECT_EQ(EventCategory(ekKill), "EVENTkill");
  EXPECT_STREQ(kTeamNames[tmUnknown], "unkown");
  EXPECT_STREQ(kTeamLogNames[tmUnknown], "_________");
  EXPECT_STREQ(kWeaponClassNames[wcSMG], "Sub Machinegun");
  EXPECT_TRUE(IsNonPrimaryWeapon(wcPistol));
  EXPECT_FALSE(IsNonPrimaryWeapon(wcRifle));
  EXPECT_EQ(GetMapDisplayName("dm/mohdm6"), "Stalingrad");
  EXPECT_EQ(GetMapDisplayName("DM/mohdm6"), "DM/mohdm6");
  EXPECT_EQ(GetMapDisplayName("obj/obj_team5"), "obj/obj_team5");
}

TUserListEntry Row(const std::string& name, int32_t client) {
  TUserListEntry r;
  r.name = name;
  r.client_number = client;
  return r;
}

TEST(Domain, CloneEventCopiesEveryPartAndOnlyThose) {
  TMohaaEvent bare(ekChatMessage, "hello");
  auto copy = CloneEvent(&bare);
  EXPECT_EQ(copy->kind, ekChatMessage);
  EXPECT_EQ(copy->text, "hello");
  EXPECT_FALSE(copy->log_entry);
  EXPECT_FALSE(copy->player_list);
  EXPECT_FALSE(copy->history_entry);
  EXPECT_EQ(CloneEvent(nullptr), nullptr);

  TMohaaEvent full(ekKill, "kill");
  full.variables.SetValue("Weapon", 2);
  full.log_entry = std::make_unique<TLogEntry>();
  full.log_entry->line = "Alice was sniped by Bob";
  full.log_entry->first_player = Row("Alice", 1);
  full.log_entry->variables.SetValue("x", "y");
  full.player_list = std::make_unique<TUserList>();
  full.player_list->Add(Row("Alice", 1));
  full.player_list->map_name = "dm/mohdm1";
  full.history_entry = std::make_unique<THistoryUserEntry>();
  full.history_entry->persistent.SetValue("haskilled", 3);
  full.history_entry->visit.SetValue("kills", 1);
  full.history_entry->player = Row("Alice", 1);
  auto deep = CloneEvent(&full);
  full.log_entry->line.clear();
  full.player_list->Clear();
  EXPECT_EQ(deep->log_entry->line, "Alice was sniped by Bob");
  EXPECT_EQ(deep->log_entry->first_player.name, "Alice");
  EXPECT_EQ(deep->log_entry->variables.GetValue("x").AsString(), "y");
  EXPECT_EQ(deep->player_list->Count(), 1);
  EXPECT_EQ(deep->player_list->map_name, "dm/mohdm1");
  EXPECT_EQ(deep->history_entry->persistent.GetValue("haskilled").AsInteger(), 3);
  EXPECT_EQ(deep->history_entry->visit.Count(), 0);  // visit values are not copied
  EXPECT_EQ(deep->history_entry->player.name, "Alice");
  EXPECT_EQ(deep->variables.GetValue("weapon").AsInteger(), 2);
}

TEST(Domain, LiveObjectCounters) {
  const int64_t events = CounterValue(TCounter::Events);
  const int64_t lists = CounterValue(TCounter::UserLists);
  {
    TMohaaEvent e;
    e.player_list = std::make_unique<TUserList>();
    auto c = CloneEvent(&e);
    EXPECT_EQ(CounterValue(TCounter::Events), events + 2);
    EXPECT_EQ(CounterValue(TCounter::UserLists), lists + 2);
  }
  EXPECT_EQ(CounterValue(TCounter::Events), events);
  EXPECT_EQ(CounterValue(TCounter::UserLists), lists);
  EXPECT_STREQ(CounterLabel(TCounter::VarListCount), "VarListCount: ");
}

TEST(CurrentPlayerList, SettersTouchEveryRowOfTheClientNumber) {
  TBusScope bus;
  TCurrentPlayerList players;
  EXPECT_EQ(players.Snapshot(), nullptr);
  players.SetTeamOnPlayerOnActualList(1, "axis");  // no list yet: nothing happens
  players.With([](std::unique_ptr<TUserList>& slot) {
    slot = std::make_unique<TUserList>();
    slot->Add(Row("Alice", 1));
    slot->Add(Row("Alice2", 1));
    slot->Add(Row("Bob", 2));
  });
  players.SetTeamOnPlayerOnActualList(1, "axis");
  players.SetTeamOnPlayerOnActualList(7, "allies");
  players.SetModelsOnPlayerOnActualList(2, "american_army", "german_officer");
  players.SetWeaponOnPlayerOnActualList(2, "Sniper");
  auto snap = players.Snapshot();
  ASSERT_TRUE(snap);
  EXPECT_EQ(snap->Row(0).team_name, "axis");
  EXPECT_EQ(snap->Row(1).team_name, "axis");
  EXPECT_EQ(snap->Row(2).team_name, "unknown");
  EXPECT_EQ(snap->Row(2).allied_model, "american_army");
  EXPECT_EQ(snap->Row(2).german_model, "german_officer");
  EXPECT_EQ(snap->Row(2).weapon, "Sniper");
  EXPECT_EQ(FindListEntry(*snap, 2).name, "Bob");
  EXPECT_EQ(FindListEntry(*snap, 9).name, "");
  EXPECT_EQ(FindListEntry(*snap, 9).client_number, -1);
}

TEST(UserList, WireFormat) {
  TUserList list;
  list.game_type = 3;
  list.min_ping = 50;
  list.max_ping = 150;
  list.avg_ping = 67;
  list.connecting = 1;
  list.map_name = "dm/mohdm6";
  list.server_name = "srv";
  TUserListEntry r = Row("Al", 4);
  r.address = "1.2.3.4";
  r.score = -1;
  r.ping = 50;
  list.Add(r);
  TMemoryStream s;
  WriteUserList(list, &s);
  WriteUserList(list, nullptr);  // no stream: nothing happens
  TMemoryStream in(s.Bytes());
  EXPECT_EQ(in.ReadInt32(), 3);
  EXPECT_EQ(in.ReadInt32(), 50);
  EXPECT_EQ(in.ReadInt32(), 150);
  EXPECT_EQ(in.ReadInt32(), 67);
  EXPECT_EQ(in.ReadInt32(), 1);
  EXPECT_EQ(in.ReadLString(), "dm/mohdm6");
  EXPECT_EQ(in.ReadLString(), "srv");
  EXPECT_EQ(in.ReadInt32(), 1);
  for (const char* s6 : {"Al", "1.2.3.4", "unknown", "unknown", "unknown", "unknown"})
    EXPECT_EQ(in.ReadLString(), s6);
  for (int32_t v : {-1, 50, 4, 0, 0, 0}) EXPECT_EQ(in.ReadInt32(), v);
  EXPECT_TRUE(in.AtEnd());
}

std::atomic<int> g_resolves{0};
bool FailingResolver(const std::string&, std::string&, std::string& error) {
  ++g_resolves;
  error = "Name or service not known";
  return false;
}
bool FixedResolver(const std::string&, std::string& address, std::string&) {
  ++g_resolves;
  address = "127.0.0.2";
  return true;
}

TEST(ServerInfo, AddressCacheRenewsAfter240Seconds) {
  TManualClock clock;
  SetClock(&clock);
  TBusScope bus;
  TBusRecorder recorder({"GLOBAL"});
  {
    TMohaaServerInfo info;
    EXPECT_EQ(info.rcon.Get()->port, "12203");
    EXPECT_EQ(info.kicks.Get()->kick_delay, 5);
    info.SetResolver(&FixedResolver);
    g_resolves = 0;
    info.SetServerHost("game.example");
    EXPECT_EQ(info.GetServerIP(), "127.0.0.2");
    clock.Advance(239'000);
    EXPECT_EQ(info.GetServerIP(), "127.0.0.2");
    EXPECT_EQ(g_resolves, 1);
    clock.Advance(2'000);
    info.GetServerIP();
    EXPECT_EQ(g_resolves, 2);

    info.SetResolver(&FailingResolver);
    clock.Advance(241'000);
    EXPECT_EQ(info.GetServerIP(), "game.example");  // kept as written
    EXPECT_EQ(info.GetServerIP(), "game.example");
    clock.Advance(100'000);
    info.GetServerIP();
  }
  const std::string text =
      "Error on resolving host game.example to regenerate IP Cache Name or service not known";
  ASSERT_TRUE(recorder.WaitForText(text));
  EXPECT_EQ(recorder.CountText(text), 1u);  // once per 240 seconds
  EXPECT_EQ(recorder.Messages().front().level, mlCritical);
  SetClock(nullptr);
}

TEST(ServerInfo, ResolvesLoopback) {
  std::string address, error;
  ASSERT_TRUE(ResolveHostIPv4("127.0.0.1", address, error)) << error;
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_TRUE(ResolveHostIPv4("localhost", address, error)) << error;
}

TEST(Events, PostedEventReachesItsCategory) {
  TBusScope bus(TBusScope::TCategories{});
  RegisterSystemCategories();
  TBusRecorder recorder({"EventMap Change/Restart"});
  auto e = std::make_shared<TMohaaEvent>(ekMapChange, "dm/mohdm6");
  EXPECT_TRUE(PostEvent(e));
  ASSERT_TRUE(recorder.WaitForText("Map Change/Restart"));
  EXPECT_EQ(recorder.Messages()[0].category, "EventMap Change/Restart");
  EXPECT_EQ(recorder.Messages()[0].level, mlInformation);
}

}  // namespace
}  // namespace kv
