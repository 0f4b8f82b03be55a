#include "gamelink/logparser.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "formats/config.h"
#include "gamelink_test_support.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"

namespace kv {
namespace {

using test::TCurrentPlayers;
using testing::TBusRecorder;
using testing::TRecordedMessage;

// A stand-in classifier: sniping is class 2, everything else class 1.
int FakeClassify(std::string_view text) { return text.find("sniped") != std::string_view::npos ? 2 : 1; }

struct TCase {
  const char* line;
  int kind;  // -1: no event
  const char* first;
  int first_number;
  const char* second;
  int second_number;
  const char* text;
  const char* variable = nullptr;
  int value = 0;
};

class LogParserTest : public ::testing::Test {
 protected:
  // Deliberately not ordered by length: the parser must not rely on it.
  TMohaaServerInfo server_;
  TCurrentPlayers players_{server_, {{"Bob", 2}, {"Alice", 3}, {"Bobby", 1}, {"Zed", 4}}};
  TServerLogEventChecker parser_{FakeClassify};

  void Expect(const TCase& c) {
    SCOPED_TRACE(c.line);
    auto event = parser_.Recognise(&server_, c.line);
    if (c.kind < 0) {
      EXPECT_EQ(event, nullptr) << "kind " << (event ? int(event->kind) : -1) << " text "
                                << (event ? event->text : "");
      return;
    }
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->kind, c.kind);
    EXPECT_EQ(event->text, c.text);
    ASSERT_NE(event->log_entry, nullptr);
    EXPECT_EQ(event->log_entry->line, c.line);
    EXPECT_EQ(event->log_entry->first_player.name, c.first);
    EXPECT_EQ(event->log_entry->first_player.client_number, c.first_number);
    EXPECT_EQ(event->log_entry->second_player.name, c.second);
    EXPECT_EQ(event->log_entry->second_player.client_number, c.second_number);
    if (c.variable) {
      ASSERT_TRUE(event->variables.Exists(c.variable));
      EXPECT_EQ(event->variables.GetValue(c.variable).AsInteger(), c.value);
      EXPECT_EQ(event->variables.Count(), 1);
    } else {
      EXPECT_EQ(event->variables.Count(), 0);
    }
  }
};

TEST_F(LogParserTest, RuleTableInOrder) {
  const TCase cases[] = {
      // Kills: the actor begins the line, the second player is named further on.
      {"Alice was sniped by Bob", ekKill, "Alice", 3, "Bob", 2, " was sniped by ", "Weapon", 2},
      {"Bobby was gunned down by Alice", ekKill, "Bobby", 1, "Alice", 3, " was gunned down by ", "Weapon", 1},
      {"Bob was gunned down by Bobby", ekKill, "Bob", 2, "Bobby", 1, " was gunned down by ", "Weapon", 1},
      {"Zed was blown up by bob's grenade and Bob", ekKill, "Zed", 4, "Bob", 2,
       " was blown up by bob's grenade and ", "Weapon", 1},
      // One player only and no rule: nothing.
      {"Bob blew himself up", -1, "", 0, "", 0, ""},
      {"Nobody was sniped by Somebody", -1, "", 0, "", 0, ""},
      // Chat (normal dialect): the speaker moves to the first slot.
      {"CHAT: Alice: hello all", ekChatMessage, "Alice", 3, "", kNoPlayer, "hello all"},
      {"CHAT: Alice:", -1, "", 0, "", 0, ""},
      // The speaker is the first name; names in the message stay whole.
      {"CHAT: Bob: Bobby, ask Zed or bob", ekChatMessage, "Bob", 2, "", kNoPlayer, "Bobby, ask Zed or bob"},
      // Team rule.
      {"clientCommand: Alice : join_team axis", ekTeamChange, "Alice", 3, "", kNoPlayer, "axis", "Team", 1},
      {"clientCommand: Bob : join_team allies ", ekTeamChange, "Bob", 2, "", kNoPlayer, "allies", "Team", 2},
      {"clientCommand: Bob : join_team Axis", ekTeamChange, "Bob", 2, "", kNoPlayer, "Axis"},
      {"clientCommand: Zed : spectator", ekTeamChange, "Zed", 4, "", kNoPlayer, "spectator", "Team", 0},
      // New round needs no player.
      {"Adding script: global/dmprecache.scr", ekNewRound, "", -1, "", -1, ""},
      // Automatic team join is off unless team messages are used.
      {"clientCommand: Alice : auto_join_team", -1, "", 0, "", 0, ""},
      // Weapon choice.
      {"clientCommand: Alice : primarydmweapon sniper", ekWeaponChange, "Alice", 3, "", kNoPlayer, "Sniper",
       "weapon", 2},
      {"clientCommand: Alice : primarydmweapon smg", ekWeaponChange, "Alice", 3, "", kNoPlayer,
       "Sub Machinegun", "weapon", 3},
      {"clientCommand: Alice : primarydmweapon shotgun", ekWeaponChange, "Alice", 3, "", kNoPlayer, "Shotgun",
       "weapon", 6},
      {"clientCommand: Alice : primarydmweapon pistol", -1, "", 0, "", 0, ""},
      // Reload and score.
      {"clientCommand: Bobby : reload", ekWeaponReload, "Bobby", 1, "", kNoPlayer, ""},
      {"clientCommand: Bobby : score", ekShowScore, "Bobby", 1, "", kNoPlayer, ""},
      {"CLIENTCOMMAND: Bobby : Score", ekShowScore, "Bobby", 1, "", kNoPlayer, ""},
      // A chat line that also looks like a team command is chat: order decides.
      {"CHAT: Alice: clientCommand: x : join_team axis", ekChatMessage, "Alice", 3, "", kNoPlayer,
       "clientCommand: x : join_team axis"},
  };
  for (const auto& c : cases) Expect(c);
}

TEST_F(LogParserTest, PrefixesOfNewerServersAreStripped) {
  Expect({"[2026-12-10 02:20:01 UTC+0.000] {#1 | 10.0.0.7:12203} Alice was sniped by Bob", ekKill, "Alice", 3,
          "Bob", 2, " was sniped by ", "Weapon", 2});
  Expect({"[2026-12-10 02:20:01 UTC+0.000] clientCommand: Alice : reload", ekWeaponReload, "Alice", 3, "",
          kNoPlayer, ""});
  // The raw line keeps its colour byte; recognition starts after it.
  Expect(
      {"\x04"
       "Alice was sniped by Bob in the head",
       ekKill, "Alice", 3, "Bob", 2, " was sniped by  in the head", "Weapon", 2});

  const std::pair<const char*, const char*> strip[] = {
      {"[2026-12-10 02:20:01 UTC+0.000] {#1 | 10.0.0.7:12203} Alice", "Alice"},
      {"{#12 | 10.0.0.7:12203} Alice", "Alice"},
      {"[2026-12-10 02:20:01 UTC+0.000] Adding script: a", "Adding script: a"},
      {"[1v1] Bob was sniped by Alice", "[1v1] Bob was sniped by Alice"},  // a clan tag, not a stamp
      {"[2026-12-10 02:20:01 UTC+0.000]Alice", "[2026-12-10 02:20:01 UTC+0.000]Alice"},
      {"{#1 | 10.0.0.7:12203}Alice", "{#1 | 10.0.0.7:12203}Alice"},
      {"{#x | 1} Alice", "{#x | 1} Alice"},
      {"[2026-12-10", "[2026-12-10"},
      {"", ""},
      // The game's HUD colour byte, also behind the prefixes.
      {"\x04"
       "Alice was sniped by Bob",
       "Alice was sniped by Bob"},
      {"[2026-12-10 02:20:01 UTC+0.000] \x02\x03{#1 | 10.0.0.7:12203} \x04"
       "Alice",
       "Alice"},
      {"\x04\x04", ""},
  };
  for (const auto& [in, out] : strip) EXPECT_EQ(StripLinePrefixes(in), out) << in;
}

TEST_F(LogParserTest, LongestNameWinsAndListChangesAreSeen) {
  Expect({"Bobby was gunned down by Zed", ekKill, "Bobby", 1, "Zed", 4, " was gunned down by ", "Weapon", 1});
  // A new poll renames players: the parser follows without being told.
  TCurrentPlayers::Set(server_, {{"Bo", 7}, {"Bobby", 8}});
  Expect({"Bobby was gunned down by Bo", ekKill, "Bobby", 8, "Bo", 7, " was gunned down by ", "Weapon", 1});
  // No list yet: nothing is recognised.
  server_.players.With([](std::unique_ptr<TUserList>& slot) { slot.reset(); });
  Expect({"Adding script: global/dmprecache.scr", -1, "", 0, "", 0, ""});
}

TEST_F(LogParserTest, NamesAreRemovedIgnoringCase) {
  // The actor's name goes in any letter case; the second player is found
  // by its exact spelling.
  Expect({"Alice killed ALICE and Zed", ekKill, "Alice", 3, "Zed", 4, " killed  and ", "Weapon", 1});
}

TEST_F(LogParserTest, AutoJoinTeamOnlyWithTeamMessages) {
  server_.dialect.Update([](TLogDialectSettings& d) { d.team_messages = true; });
  Expect({"clientCommand: Alice : auto_join_team", ekAutoJoinTeam, "Alice", 3, "", kNoPlayer, ""});
}

TEST_F(LogParserTest, WindowsChatDialect) {
  server_.dialect.Update([](TLogDialectSettings& d) { d.windows_version = true; });
  Expect({"clientCommand: Alice : dmmessage 0 hello there ", ekChatMessage, "Alice", 3, "", kNoPlayer,
          "hello there"});
  Expect({"clientCommand: Alice : dmmessage 0 *12", -1, "", 0, "", 0, ""});  // a sound code
  Expect({"clientCommand: Alice : dmmessage 0 *1x", ekChatMessage, "Alice", 3, "", kNoPlayer, "*1x"});
  // The normal dialect's form is not chat here.
  Expect({"CHAT: Alice: hello", -1, "", 0, "", 0, ""});
}

TEST_F(LogParserTest, QuakeDialectReadFromSettings) {
  TDynamicConfigData config(nullptr);
  config.SetBool("QuakeRCON", true);
  TServerLogEventChecker quake(FakeClassify, TSettingsReader(&config));
  ASSERT_TRUE(quake.QuakeDialect());
  auto chat = quake.Recognise(&server_, "ClientCommand: Alice: say 0 \"hi all\"");
  ASSERT_NE(chat, nullptr);
  EXPECT_EQ(chat->kind, ekChatMessage);
  EXPECT_EQ(chat->text, "hi all");
  EXPECT_EQ(chat->log_entry->first_player.name, "Alice");
  EXPECT_EQ(quake.Recognise(&server_, "ClientCommand: Alice: say 0 \"\""), nullptr) << "empty once unquoted";
  auto quote = quake.Recognise(&server_, "ClientCommand: Alice: say 0 '");
  ASSERT_NE(quote, nullptr);
  EXPECT_EQ(quote->text, "'") << "a lone quote is text";
  // The killer follows the header; the kill is journaled as the game's own
  // death lines are, the victim first and the killer second.
  for (const char* line : {"Kill: 3 2 7: Alice killed Bob by MOD_RIFLE",
                           "\x04Kill: 4 1 3: Alice killed Bob by "
                           "MOD_SNIPER"}) {
    SCOPED_TRACE(line);
    auto kill = quake.Recognise(&server_, line);
    ASSERT_NE(kill, nullptr);
    EXPECT_EQ(kill->kind, ekKill);
    EXPECT_EQ(kill->log_entry->first_player.name, "Bob");
    EXPECT_EQ(kill->log_entry->second_player.name, "Alice");
  }
  // Suicides and the world name one player only.
  EXPECT_EQ(quake.Recognise(&server_, "Kill: 3 3 7: Alice killed Alice by MOD_ROCKET_SPLASH"), nullptr);
  EXPECT_EQ(quake.Recognise(&server_, "Kill: 1022 3 22: <world> killed Alice by MOD_FALLING"), nullptr);
  // A line beginning with a name is no kill in this dialect.
  EXPECT_EQ(quake.Recognise(&server_, "Alice was sniped by Bob"), nullptr);
}

// Names stand only where the line form puts them: at the start, after the
// death phrase, before "'s", right after "clientCommand:". Short names that
// are parts of the game's words, and names that are parts of each other,
// must not capture a line.
TEST_F(LogParserTest, NamesMatchOnlyWhereANameStands) {
  TCurrentPlayers::Set(server_, {{"ed", 10},
                                 {"man", 11},
                                 {"by", 12},
                                 {"Bob", 2},
                                 {"Alice", 3},
                                 {"Bobby", 1},
                                 {"Major Tom", 13},
                                 {"Tom", 14},
                                 {"himself", 15},
                                 {"head", 16}});
  const TCase cases[] = {
      {"Alice was sniped by Bob", ekKill, "Alice", 3, "Bob", 2, " was sniped by ", "Weapon", 2},
      {"Alice was gunned down by ed", ekKill, "Alice", 3, "ed", 10, " was gunned down by ", "Weapon", 1},
      {"ed was rifled by Alice", ekKill, "ed", 10, "Alice", 3, " was rifled by ", "Weapon", 1},
      {"ed was sniped by by", ekKill, "ed", 10, "by", 12, " was sniped by ", "Weapon", 2},
      {"by was sniped by ed in the head", ekKill, "by", 12, "ed", 10, " was sniped by  in the head", "Weapon",
       2},
      {"man was machine-gunned by Tom", ekKill, "man", 11, "Tom", 14, " was machine-gunned by ", "Weapon", 1},
      {"Bobby took Bob's rocket right in the kisser", ekKill, "Bobby", 1, "Bob", 2,
       " took 's rocket right in the kisser", "Weapon", 1},
      {"Bob tripped on Bobby's grenade", ekKill, "Bob", 2, "Bobby", 1, " tripped on 's grenade", "Weapon", 1},
      {"Major Tom was perforated by Bob's' SMG", ekKill, "Major Tom", 13, "Bob", 2,
       " was perforated by 's' SMG", "Weapon", 1},
      {"Tom is picking Major Tom's shrapnel out of his teeth", ekKill, "Tom", 14, "Major Tom", 13,
       " is picking 's shrapnel out of his teeth", "Weapon", 1},
      {"Alice was shot by Major Tom in the upper right arm", ekKill, "Alice", 3, "Major Tom", 13,
       " was shot by  in the upper right arm", "Weapon", 1},
      // A wording the game does not use: the longest name found anywhere.
      {"Tom fragged man and Bobby", ekKill, "Tom", 14, "Bobby", 1, " fragged man and ", "Weapon", 1},
      // Deaths without a killer name one player, whatever else the words are.
      {"Bob shot himself in the head", -1, "", 0, "", 0, ""},
      {"Bob took himself out of commision", -1, "", 0, "", 0, ""},
      {"Bob was shot in the head", -1, "", 0, "", 0, ""},
      {"Bob tripped on his own grenade", -1, "", 0, "", 0, ""},
      {"head has left the battle", -1, "", 0, "", 0, ""},
      // A kill phrase without a known player after it is no kill.
      {"Alice was sniped by Edward", -1, "", 0, "", 0, ""},
      // Client commands name their player after "clientCommand:".
      {"clientCommand: Bob : reload", ekWeaponReload, "Bob", 2, "", kNoPlayer, ""},
      {"clientCommand: man : join_team allies", ekTeamChange, "man", 11, "", kNoPlayer, "allies", "Team", 2},
      {"clientCommand: Major Tom : primarydmweapon mg", ekWeaponChange, "Major Tom", 13, "", kNoPlayer,
       "Machine Gun", "weapon", 4},
      {"clientCommand: Bobby : spectator", ekTeamChange, "Bobby", 1, "", kNoPlayer, "spectator", "Team", 0},
      // Chat: the speaker is the earliest name.
      {"CHAT: man: ed and Bobby by the head", ekChatMessage, "man", 11, "", kNoPlayer,
       "ed and Bobby by the head"},
  };
  for (const auto& c : cases) Expect(c);
}

TEST_F(LogParserTest, OpenSourceServerChat) {
  const TCase cases[] = {
      {"[2026-12-10 02:20:01 UTC+0.000] {#3 | 127.0.0.1:27974} Alice says @all: hello", ekChatMessage,
       "Alice", 3, "", kNoPlayer, "hello"},
      {"Bobby says @team: Bob was sniped by Alice", ekChatMessage, "Bobby", 1, "", kNoPlayer,
       "Bob was sniped by Alice"},
      {"Zed says @Bob: alice, ALICE", ekChatMessage, "Zed", 4, "", kNoPlayer, "alice, ALICE"},
      {"Alice says @all: ", -1, "", 0, "", 0, ""},
      {"Nobody says @all: hello", -1, "", 0, "", 0, ""},
  };
  for (const auto& c : cases) Expect(c);
  server_.dialect.Update([](TLogDialectSettings& d) { d.windows_version = true; });
  for (const auto& c : cases) Expect(c);
}

TEST(LogParserBusTest, PostsTypedEventsAndReportsErrors) {
  TBusScope bus(test::AllEventCategories());
  testing::TEventRecorder kills({"EVENTkill"});
  TBusRecorder global({"GLOBAL"});
  TMohaaServerInfo server;
  TCurrentPlayers players(server, {{"Alice", 3}, {"Bob", 2}});
  TServerLogEventChecker parser(FakeClassify);
  parser.CheckLogForEvents(&server, "Alice was sniped by Bob");
  ASSERT_TRUE(kills.WaitCount(1));
  EXPECT_EQ(kills.Events()[0]->kind, ekKill);

  TServerLogEventChecker failing([](std::string_view) -> int { throw std::runtime_error("boom"); });
  failing.CheckLogForEvents(&server, "Alice was sniped by Bob");
  EXPECT_TRUE(global.WaitFor([](const TRecordedMessage& m) {
    return m.text ==
               "TAntiCheatLogEventChecker error on CheckLogForEvents:boom LogEntry:Alice was sniped by Bob" &&
           m.level == mlDebug;
  }));
}

}  // namespace
}  // namespace kv
