#include "serverconfig/config_plan.h"

#include <gtest/gtest.h>

#include "tests/serverconfig/config_fixture.h"

namespace kv::testing {
namespace {

TVariant S(const char* s) { return TVariant(std::string(s)); }
TVariant I(int32_t i) { return TVariant(i); }

std::vector<std::string> Commands(const TConfigPlan& plan) {
  std::vector<std::string> out;
  for (const auto& c : plan.commands) out.push_back(c.command);
  return out;
}

// A set with every variable: each command in its place and form.
TEST(ConfigPlan, FullSetInOrder) {
  const TConfigPlan plan = BuildConfigPlan(MakeSet({
      {"Name", S("War")},
      {"announcemessage", S("Clan war starts; \"now\"")},
      {"configdelay", I(30)},
      {"TeamKillerCheck", TVariant(true)},
      {"EnableMessageEvents", TVariant(true)},
      {"PingCheck", TVariant(false)},
      {"maprotation", S("dm/mohdm1 dm/mohdm2")},
      {"ServerName", S("War Server")},
      {"ServerAdmin", S("Admin")},
      {"ServerWWW", S("www.example.org")},
      {"passwd", S("join")},
      {"privpass", S("priv")},
      {"inactivespec", I(60)},
      {"inactivekick", I(-1)},
      {"jointime", I(20)},
      {"roundlimit", I(5)},
      {"fraglimit", I(0)},
      {"timelimit", I(15)},
      {"gametype", I(4)},
      {"privateslots", I(2)},
      {"ff", TVariant(true)},
      {"maxping", I(0)},
      {"maxclients", I(24)},
      {"map", S("obj/obj_team1")},
      {"commands", S("restart=30, \"say \"\"hello all\"\"\" g_motd")},
  }));
  EXPECT_EQ(plan.announcement, "say \"Clan war starts, 'now'\"");
  EXPECT_EQ(plan.delay_seconds, 30);
  EXPECT_EQ(plan.switches,
            (std::vector<TConfigSwitch>{
                {"EnableTKDetect", true}, {"StopEventMessage", false}, {"PingCheckEnabled", false}}));
  EXPECT_EQ(Commands(plan), (std::vector<std::string>{
                                "sv_maplist \"dm/mohdm1 dm/mohdm2\"",
                                "sv_hostname \"War Server\"",
                                "admin \"Admin\"",
                                "Sets URL \"www.example.org\"",
                                "password  \"join\"",
                                "sv_privatepassword  \"priv\"",
                                "g_inactiveSpectate 60",
                                "g_allowjointime 20",
                                "roundlimit 5",
                                "fraglimit 0",
                                "timelimit 15",
                                "g_gametype 4",
                                "sv_privateClients 2",
                                "g_teamdamage 1",
                                "set sv_maxping  0",
                                "set sv_maxclients 24",
                                "map obj/obj_team1",
                                "restart",
                                "say \"hello all\"",
                                "g_motd",
                            }));
  // Pauses and time-outs: half a second before each server setting, a
  // second before the map and each further command; the map has a minute,
  // "restart=30" its own 30 s, the others 10 s.
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(plan.commands[i].pause_ms, 500) << i;
  EXPECT_EQ(plan.commands[0].timeout_seconds, -1);
  EXPECT_EQ(plan.commands[16], (TConfigCommand{1000, "map obj/obj_team1", 60}));
  EXPECT_EQ(plan.commands[17], (TConfigCommand{1000, "restart", 30}));
  EXPECT_EQ(plan.commands[18], (TConfigCommand{1000, "say \"hello all\"", 10}));
  EXPECT_EQ(plan.commands[19], (TConfigCommand{1000, "g_motd", 10}));
}

// A set with only a name clears both passwords and touches nothing else;
// without a map the first further command waits the map's second too.
TEST(ConfigPlan, BareSetClearsThePasswords) {
  const TConfigPlan plan =
      BuildConfigPlan(MakeSet({{"Name", S("Bare")}, {"maxping", I(-1)}, {"commands", S("a")}}));
  EXPECT_TRUE(plan.announcement.empty());
  EXPECT_EQ(plan.delay_seconds, 0);
  EXPECT_TRUE(plan.switches.empty());
  EXPECT_EQ(Commands(plan), (std::vector<std::string>{"password  \"\"", "sv_privatepassword  \"\"", "a"}));
  EXPECT_EQ(plan.commands[2].pause_ms, 2000);
  const TConfigPlan no_ff = BuildConfigPlan(MakeSet({{"Name", S("x")}, {"ff", TVariant(false)}}));
  EXPECT_EQ(Commands(no_ff).back(), "g_teamdamage 0");
}

TEST(ConfigPlan, CommaTextAndTimeouts) {
  const struct {
    const char* text;
    std::vector<std::string> items;
  } split[] = {
      {"", {}},
      {"a,b c", {"a", "b", "c"}},
      {"  a , ,b,", {"a", "b"}},
      {"\"kick all\",x", {"kick all", "x"}},
      {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
      {"\"open", {"open"}},
  };
  for (const auto& c : split) EXPECT_EQ(SplitCommaText(c.text), c.items) << c.text;

  const struct {
    const char* item;
    TConfigCommand command;
  } items[] = {
      {"restart=30", {2000, "restart", 30}},     {"restart=abc", {2000, "restart", 10}},
      {"restart=", {2000, "restart=", 10}},      {"restart=0", {2000, "restart", 1}},
      {"restart=99999", {2000, "restart", 300}},
  };
  for (const auto& c : items) {
    const auto plan = BuildConfigPlan(
        MakeSet({{"Name", S("x")}, {"commands", TVariant(std::string("\"") + c.item + "\"")}}));
    EXPECT_EQ(plan.commands.back(), c.command) << c.item;
  }
}

// A quoted value that would end its quotes or the console line is refused
// before anything is sent; a value of the wrong kind fails the same way.
TEST(ConfigPlan, UnsendableValuesRefuseTheSet) {
  EXPECT_THROW(BuildConfigPlan(MakeSet({{"Name", S("x")}, {"passwd", S("a\"; quit")}})), EConfigPlanError);
  EXPECT_THROW(BuildConfigPlan(MakeSet({{"Name", S("x")}, {"ServerName", S("a\nb")}})), EConfigPlanError);
  EXPECT_THROW(BuildConfigPlan(MakeSet({{"Name", S("x")}, {"maxping", S("fast")}})), std::exception);
}

}  // namespace
}  // namespace kv::testing
