// The chat watch: the comma text of the bad-word list, the reaction
// escapes, ChatTrigger.dat byte for byte and when damaged, the trigger list,
// and the watch itself against mohsim over loopback UDP on a manual clock:
// the commands with their switches and throttle, the statistics answers,
// the triggers' timeout and lines, bad words, a 100 KB chat line.
#include "automation/chat_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "automation/chat_text.h"
#include "automation/chat_trigger_file.h"
#include "core/regional.h"
#include "core/stream.h"
#include "domain/settings.h"
#include "enforcement/kicks.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "tests/players/tracker_fixture.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"
#include "tests/support/wait.h"

namespace kv::testing {
namespace {

TEST(ChatText, CommaTextSplitsAndJoinsAsTheSettingStoresIt) {
  const struct {
    std::string text;
    std::vector<std::string> items;
  } cases[] = {
      {"fuck,shit idiot", {"fuck", "shit", "idiot"}},
      {"  a , b ,, c  ", {"a", "b", "c"}},  // an empty item would match every line
      {"\"(a|b), c\",\"say \"\"hi\"\"\",x", {"(a|b), c", "say \"hi\"", "x"}},
      {"\"unclosed, rest", {"unclosed, rest"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitChatCommaText(c.text), c.items) << c.text;
  const std::vector<std::string> items = {"idiot", "(a|b), c", "say \"hi\"", "tab\there"};
  EXPECT_EQ(JoinChatCommaText(items), "idiot,\"(a|b), c\",\"say \"\"hi\"\"\",\"tab\there\"");
  EXPECT_EQ(SplitChatCommaText(JoinChatCommaText(items)), items);
}

TEST(ChatText, ReactionEscapesAndLines) {
  const struct {
    std::string in, out;
  } cases[] = {
      {R"(a\nb\rc\td)", "a\nb\rc\td"},
      {R"(\v\f\a\b)", "\v\f\a\b"},
      {R"(\\ \" \' \?)", "\\ \" ' ?"},
      {R"(\x41\x4a!)", "AJ!"},
      {R"(\101\60\0x)", std::string("A0\0x", 4)},
      {R"(\q and end\)", R"(\q and end\)"},
      {R"(\1234)", "S4"},  // at most three octal digits
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeReactionEscapes(c.in), c.out) << c.in;
  for (const char* broken : {R"(bad \x)", R"(\xg)", R"(\x100)", R"(\400)"})
    EXPECT_THROW(DecodeReactionEscapes(broken), EEscapeError) << broken;
  EXPECT_EQ(SplitReactionLines("one\r\ntwo\nthree\r\rfour\n"),
            (std::vector<std::string>{"one", "two", "three", "four"}));
}

TVarList Trigger(const std::string& pattern, const std::string& reaction, int32_t timeout = -1) {
  TVarList t;
  t.SetValue("Trigger", pattern);
  t.SetValue("Reaction", reaction);
  if (timeout >= 0) t.SetValue("timeout", timeout);
  return t;
}

std::string FileBytes(const std::vector<TVarList>& triggers) {
  TMemoryStream out;
  WriteChatTriggerFile(out, triggers);
  return out.Str();
}

TEST(ChatTriggerFile, RoundTripByteForByteAndDamage) {
  TVarList fired = Trigger("^hello", "Hi %playernick%", 30);
  fired.SetValue("LastExec", TVariant::Date(46000.5));
  const std::string bytes = FileBytes({Trigger("(?i)rules", "No camping\\nNo spawn killing"), fired});
  // The count, then each list behind its length.
  ASSERT_GE(bytes.size(), 12u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x02\x00\x00\x00", 4));
  int32_t first = 0;
  std::memcpy(&first, bytes.data() + 4, 4);
  ASSERT_LT(8u + first, bytes.size());

  TMemoryStream in(bytes);
  TChatTriggerList list;
  EXPECT_TRUE(list.Load(in).empty());
  EXPECT_EQ(list.Names(), (std::vector<std::string>{"(?i)rules", "^hello"}));
  TMemoryStream again;
  list.Save(again);
  EXPECT_EQ(again.Str(), bytes);

  // Damage: what was read before stays, with a clear message.
  std::string negative = bytes;
  negative[3] = '\x80';
  std::string huge_count = bytes;
  huge_count[2] = '\x7f';
  std::string huge_length = bytes;
  huge_length[7] = '\x7f';
  std::string broken_list = bytes;
  broken_list[8 + 3] = 'X';  // the second list's header of the first record
  const struct {
    std::string name, bytes;
    size_t kept;
  } damaged[] = {
      {"cut count", bytes.substr(0, 2), 0},
      {"negative count", negative, 0},
      {"absurd count", huge_count, 2},
      {"absurd length", huge_length, 0},
      {"cut second record", bytes.substr(0, bytes.size() - 3), 1},
      {"damaged list", broken_list, 0},
  };
  for (const auto& d : damaged) {
    TChatTriggerList l;
    l.Add(Trigger("old", "gone after a load"));
    TMemoryStream s(d.bytes);
    try {
      l.Load(s);
      ADD_FAILURE() << d.name << ": no error";
    } catch (const EStreamError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(kChatTriggerLoadError, 0), 0u) << d.name << ": " << e.what();
    }
    EXPECT_EQ(l.Count(), d.kept) << d.name;
  }
  // An empty file (a fresh home) holds no triggers.
  TMemoryStream empty;
  TChatTriggerList l;
  EXPECT_TRUE(l.Load(empty).empty());
  EXPECT_EQ(l.Count(), 0u);
}

TEST(ChatTriggerList, OperationsAndTheirErrors) {
  TChatTriggerList list;
  list.Add(Trigger("^hi", "Hello"));
  list.Add(Trigger("^hi", "a second one with the same text is not taken"));
  list.Add(Trigger("^HI", "letter case counts"));
  EXPECT_EQ(list.Names(), (std::vector<std::string>{"^hi", "^HI"}));
  EXPECT_EQ(list.Find("^hi")->GetValue("Reaction").AsString(), "Hello");
  EXPECT_FALSE(list.Find("^Hi"));

  try {
    list.Add(Trigger("(unclosed", "x"));
    ADD_FAILURE() << "a broken expression was taken";
  } catch (const EChatTriggerError& e) {
    EXPECT_EQ(std::string(e.what()), "can not add trigger: missing closing parenthesis at offset 9");
  }
  try {
    list.Update("^hi", Trigger("[", "x"));
    ADD_FAILURE() << "a broken expression was taken";
  } catch (const EChatTriggerError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("can not update trigger: ", 0), 0u) << e.what();
  }
  list.Update("^hi", Trigger("^hello", "Hello again", 30));
  list.Update("^nothing", Trigger("^x", "no such trigger: no change"));
  EXPECT_EQ(list.Names(), (std::vector<std::string>{"^hello", "^HI"}));
  EXPECT_EQ(list.Triggers()[0].timeout, 30);
  EXPECT_EQ(list.Triggers()[1].timeout, kDefaultTriggerTimeout);
  EXPECT_TRUE(list.Delete("^HI"));
  EXPECT_FALSE(list.Delete("^HI"));
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);

  // A file may hold an expression that does not compile: it is kept (and
  // saved again) but never fires.
  const std::string bytes = FileBytes({Trigger("(", "never"), Trigger("x", "yes", 0)});
  TMemoryStream in(bytes);
  const auto broken = list.Load(in);
  ASSERT_EQ(broken.size(), 1u);
  EXPECT_NE(broken[0].find("Chat Trigger [(]"), std::string::npos) << broken[0];
  const auto fired = list.Fire("x(", 46000.0);
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0].trigger, "x");
  EXPECT_EQ(list.Count(), 2u);
}

// The chat rows keep their place and their defaults in a fresh INI.
TEST(ChatWatchSettings, TheRowsKeepTheirPlaceAndDefaults) {
  const std::vector<std::string> expected = {
      "StopEventMessage=0",  // the event messages' switch stays before them
      "ChatCommandTimeout=5",
      "ChatCommandEnableHelp=1",
      "ChatCommandEnableKick=1",
      "ChatCommandEnableConsoleCommand=1",
      "ChatCommandEnableConsoleChatCommand=1",
      "ChatCommandEnableSkills=1",
      "ChatCommandEnableNick=1",
      "ChatCommandEnableStats=1",
      "ChatCommandEnableIP=1",
      "UserStatsTimeOut=60",
      "ChatCommandEnableStatshasKilled=1",
      "ChatCommandEnableStatsOther=1",
      "ChatCommandEnableStatsSpree=1",
      "ChatCommandEnableStatsSpecialLine=",
      "ChatCommandEnableACUser=1",
      "ChatCommandEnableACConnect=1",
      "ChatCommandEnableACKick=1",
      "BadWords=",
      "BadWordKickCount=3",  // the bad-word punishment follows
  };
  std::vector<std::string> rows;
  for (const TSettingDef& d : SettingsCatalogue())
    rows.push_back(std::string(d.key) + "=" + std::string(d.def));
  const auto first = std::find(rows.begin(), rows.end(), expected[0]);
  ASSERT_NE(first, rows.end());
  ASSERT_GE(rows.end() - first, static_cast<std::ptrdiff_t>(expected.size()));
  EXPECT_EQ(std::vector<std::string>(first, first + static_cast<std::ptrdiff_t>(expected.size())), expected);
}

// --- the watch against mohsim --------------------------------------------------

class ChatWatchTest : public TrackerTest {
 protected:
  ChatWatchTest() : globals_({"GLOBAL"}) {
    CreateLastConsoleMsgs(info_);
    InstallPlaceholderExpander(info_);
    SetHistoryLookup(info_, TrackerHistoryLookup(*tracker()));
    config_.SetInteger("UDPTimeOut", 1);
    config_.SetBool("FilterMessagesSend", false);  // what is said is the watch's doing alone
    TSettings(config_, home_.Path()).SetEnc("RCONHost", "127.0.0.1");
    config_.SetString("RCONPORT", std::to_string(sim_.Port()));
    kicks_.Open();
    kick_through_ = KickThrough(kicks_);
    watch_ = std::make_unique<TChatWatch>(runtime_, *tracker_, kicks_);
    Apply();
    bob_ = sim_.Join("Bob", "10.0.0.2");
    Poll();
  }
  ~ChatWatchTest() override {
    watch_.reset();
    ConsoleMessageThreads(info_).Clear();
    if (tracker_) tracker_->Close();
    kicks_.Close();
    SetHistoryLookup(info_, nullptr);
    SetScoreFunction(info_, nullptr);
    DestroyLastConsoleMsgs(info_);
    SetMessageExpander(info_, nullptr);
  }
  THistoryUserList* tracker() {
    if (!tracker_) OpenTracker();
    return tracker_.get();
  }
  void Apply() {
    TSettings settings(config_, home_.Path());
    watch_->ReadSettings(settings);
  }
  std::shared_ptr<TMohaaEvent> ChatEvent(const std::string& text, int32_t client, const std::string& nick) {
    auto e = std::make_shared<TMohaaEvent>(ekChatMessage, text);
    e->time = clock_.Now();
    e->log_entry = std::make_unique<TLogEntry>();
    e->log_entry->first_player.client_number = client;
    e->log_entry->first_player.name = nick;
    return e;
  }
  // One chat line at the clock's time; what the server was told to say.
  std::vector<std::string> Chat(const std::string& text, const std::string& nick = "Bob") {
    const size_t before = sim_.Commands().size();
    watch_->HandleChat(*ChatEvent(text, nick == "Bob" ? bob_ : 7, nick));
    EXPECT_TRUE(WaitFor([&] { return ConsoleMessageThreads(info_).Reap() == 0; }));
    std::vector<std::string> says;
    const auto all = sim_.Commands();
    for (size_t i = before; i < all.size(); ++i)
      if (all[i].rfind("Say ", 0) == 0) says.push_back(all[i].substr(5, all[i].size() - 6));
    return says;
  }
  void Seconds(int64_t s) { clock_.Advance(s * 1000); }
  void SetVars(const std::vector<std::pair<std::string, TVariant>>& vars) {
    auto h = History("Bob");
    ASSERT_TRUE(h);
    for (const auto& v : vars) h->persistent.SetValue(v.first, v.second);
  }

  TBusRecorder globals_;
  TKickThreadList kicks_{runtime_};
  std::unique_ptr<TChatWatch> watch_;
  int bob_ = -1;
};

const std::string kVersionAnswer =
    "hi i`m ZAQ Kelvandrome  - Version: 0.8.10 BETA running - http://localhost/kelvandrome "
    "kelvandrome@localhost use !help to get a command listing";

TEST_F(ChatWatchTest, CommandsTheirSwitchesAndWhereTheyStand) {
  ASSERT_TRUE(WaitFor([&] { return tracker_->ServerName() != "unkown"; }));
  using V = std::vector<std::string>;
  const struct {
    std::string chat;
    std::string setting;  // "Key=0" switched off for this case
    V said;
  } cases[] = {
      {"!about", "", {"ZAQ Kelvandrome is coded by kelvandrome@localhost"}},
      {"!HELP",
       "",
       {"Command: !VERSION or !CONSOLE  Info: show Version Information",
        "Command: !ABOUT - Info: Informations",
        "Command: !NICK <nick> Info: show Informations about that Player",
        "Command: !STATS Info: show youre own stats",
        "Command: !SKILLS (<nick>) Info: Get youre own Score or Score from Nick",
        "Command: !KICK  Info: Kick me from the Server", "Command: !IP  Info: Show the Mohaa Ip and Port"}},
      {"!help",
       "ChatCommandEnableKick",
       {"Command: !VERSION or !CONSOLE  Info: show Version Information",
        "Command: !ABOUT - Info: Informations",
        "Command: !NICK <nick> Info: show Informations about that Player",
        "Command: !STATS Info: show youre own stats",
        "Command: !SKILLS (<nick>) Info: Get youre own Score or Score from Nick",
        "Command: !IP  Info: Show the Mohaa Ip and Port"}},
      {"!help", "ChatCommandEnableHelp", {}},
      {"!NICK   ", "", {"Command: !NICK <nick> Info: show Informations about that Player"}},
      {"!nick Nobody", "", {"User not Found"}},
      {"!skills", "", {"User: [Bob] MapsPlayed: [1] Skills: [none]"}},  // no score function installed
      {"!skills Nobody", "", {"User not Found"}},
      {"where is the CoNsOlE?", "", {kVersionAnswer}},
      {"!version", "", {kVersionAnswer}},
      {"console", "ChatCommandEnableConsoleChatCommand", {}},
      {"!version", "ChatCommandEnableConsoleCommand", {}},
      {"!ip", "", {"@ip"}},
      {"!ip", "ChatCommandEnableIP", {}},
      {"please !about", "", {}},  // not at the start: no command
  };
  for (const auto& c : cases) {
    if (!c.setting.empty()) config_.SetBool(c.setting, false);
    Apply();
    V said = c.said;
    // The server's name as the tracker learned it from the game.
    for (auto& line : said)
      if (line == "@ip")
        line = "ServerIP: 127.0.0.1 ServerPort: " + std::to_string(sim_.Port()) +
               " ServerName: " + tracker_->ServerName();
    EXPECT_EQ(Chat(c.chat), said) << c.chat << " " << c.setting;
    if (!c.setting.empty()) config_.SetBool(c.setting, true);
    Seconds(6);  // past ChatCommandTimeout
  }
  EXPECT_EQ(Chat("!stats", "Zed"), V{"HMM - User [Zed] not Found"});
  Seconds(6);
  EXPECT_EQ(Chat("!skills", "Zed"), V{"HMM - User [Zed] not Found"});
}

TEST_F(ChatWatchTest, AnAnswerSilencesCommandsAndTriggersForTheTimeout) {
  watch_->Triggers().Add(Trigger("hello", "Hi there", 0));
  EXPECT_EQ(Chat("hello").size(), 1u);
  Seconds(1);
  EXPECT_EQ(Chat("!about").size(), 1u);
  Seconds(4);
  EXPECT_TRUE(Chat("!about").empty());  // 4 s after an answer
  EXPECT_TRUE(Chat("hello").empty());
  Seconds(2);
  EXPECT_EQ(Chat("hello"), std::vector<std::string>{"Hi there"});
  // A command that says nothing (Bob's statistics just said) still counts.
  Seconds(1);
  config_.SetBool("ChatCommandEnableStatsOther", false);
  Apply();
  EXPECT_FALSE(Chat("!stats").empty());
  Seconds(6);
  EXPECT_TRUE(Chat("!STATS").empty());  // within UserStatsTimeOut
  Seconds(2);
  EXPECT_TRUE(Chat("hello").empty());  // ... but it set the command time
}

TEST_F(ChatWatchTest, StatisticsAndScoreAnswersFollowTheRecordAndLastStatsDump) {
  SetVars({{"haskilled", 12},
           {"waskilled", TVariant(7.0)},
           {"MapsPlayed", 3},
           {"hasKilledwith [Rifle]", 5},
           {"hasKilledwith [unknown]", 1},
           {"hasKilledwith [Pistol]", 2},
           {"Reload", 9},
           {"TeamKills", 1},
           {"LastTeamKill", TVariant::Date(0)},
           {"killingsprings", 4},
           {"maxkillingspring", 6}});
  const std::string seen =
      regional::DateTimeToStr(History("Bob")->persistent.GetValue("LastSeen").AsDouble());
  config_.SetString("ChatCommandEnableStatsSpecialLine", "%DATAhaskilled% * 2 + %DATAnothing%");
  Apply();
  SetScoreFunction(info_, [](TMohaaServerInfo*, const std::string& nick) { return nick + " scores 42"; });
  EXPECT_EQ(Chat("!stats"),
            (std::vector<std::string>{
                "User: [Bob]   Last Seen: [" + seen +
                    "] Has Killed: [12] Was Killed: [7] MapsPlayed: [3] Skills: [Bob scores 42]",
                "User: [Bob]  Kills with  unknown: [1] Rifle: [5] Pistol: [2]",
                "User: [Bob] Reloads: [9] Teamkills: [1] LastTeamKill: []",
                "User: [Bob] Killing Runs: [4] Max Killing Run: [6]", "User: [Bob] 25"}));
  const double dumped = History("Bob")->persistent.GetValue("LastStatsDump").AsDouble();
  EXPECT_NEAR(dumped, clock_.Now(), 1e-9);
  // Asked about by someone else within UserStatsTimeOut: nothing.
  Seconds(30);
  EXPECT_TRUE(Chat("!nick Bob", "Zed").empty());
  Seconds(31);
  SetScoreFunction(info_, nullptr);
  EXPECT_EQ(Chat("!skills bob", "Zed"),
            std::vector<std::string>{"User: [Bob] MapsPlayed: [3] Skills: [none]"});

  // A formula that does not parse: reported, no line.
  config_.SetString("ChatCommandEnableStatsSpecialLine", "((1");
  config_.SetBool("ChatCommandEnableStatshasKilled", false);
  config_.SetBool("ChatCommandEnableStatsOther", false);
  config_.SetBool("ChatCommandEnableStatsSpree", false);
  Apply();
  Seconds(61);
  EXPECT_EQ(Chat("!stats").size(), 1u);
  EXPECT_TRUE(globals_.WaitFor([](const TRecordedMessage& m) {
    return m.text.rfind("TChatWatch.DumpUser please check the formula [((1] Parse Error:", 0) == 0 &&
           m.level == 4;
  }));
}

TEST_F(ChatWatchTest, TriggersFireOncePerTimeoutWithEscapesAndTheSpeakersNick) {
  watch_->Triggers().Add(Trigger("(?i)^hello", "Welcome\\n%playernick%!", 30));
  watch_->Triggers().Add(Trigger("bye", "Cya\\x", 0));  // a broken escape
  EXPECT_EQ(Chat("Hello all"), (std::vector<std::string>{"Welcome", "Bob!"}));
  EXPECT_TRUE(globals_.WaitForText("Chat Trigger [(?i)^hello] matching sending message"));
  for (int i = 0; i < 5; ++i) {
    Seconds(5);
    EXPECT_TRUE(Chat("hello again").empty()) << i;  // 5..25 s later
  }
  Seconds(4);
  EXPECT_TRUE(Chat("hello?").empty());  // 29 s
  Seconds(2);
  EXPECT_EQ(Chat("hello?").size(), 2u);  // 31 s
  const double last = watch_->Triggers().Triggers()[0].last_exec;
  EXPECT_NEAR(last, clock_.Now(), 1e-9);
  EXPECT_NEAR(watch_->Triggers().Find("(?i)^hello")->GetValue("LastExec").AsDouble(), last, 1e-9);

  EXPECT_TRUE(Chat("bye").empty());
  EXPECT_TRUE(globals_.WaitFor([](const TRecordedMessage& m) {
    return m.text.rfind("Error checking Chat Trigger bye please check the Trigger Setup  Error: ", 0) == 0 &&
           m.level == 1;
  }));
  // A command line runs no trigger; the same words later in a line do.
  watch_->Triggers().Add(Trigger("!about", "about what?", 0));
  Seconds(10);
  EXPECT_EQ(Chat("!about").size(), 1u);
  Seconds(10);
  EXPECT_EQ(Chat("what is !about"), std::vector<std::string>{"about what?"});
}

TEST_F(ChatWatchTest, BadWordsRaiseEventsAndABrokenFilterIsRemovedOnce) {
  TEventRecorder bad({ekBadWord});
  config_.SetString("BadWords", "\"(unclosed\",idiot,\"n(o)ob\",\"two words\"");
  Apply();
  clock_.Advance(1);
  watch_->HandleChat(*ChatEvent("you idiot noob", bob_, "Bob"));
  ASSERT_TRUE(bad.WaitCount(2));
  ASSERT_TRUE(bad.Flush());
  const auto events = bad.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->text, "Match: idiot  Chat: you idiot noob");
  EXPECT_EQ(events[1]->text, "Match: noob  Chat: you idiot noob");
  ASSERT_TRUE(events[0]->log_entry);
  EXPECT_EQ(events[0]->log_entry->first_player.name, "Bob");
  EXPECT_EQ(events[0]->log_entry->first_player.client_number, bob_);
  EXPECT_NEAR(events[0]->time, clock_.Now(), 1e-9);
  EXPECT_TRUE(globals_.WaitForText(
      "Bad Words: filter [(unclosed] deleted Error on parsing : missing closing parenthesis at offset 9"));
  EXPECT_EQ(config_.GetString("BadWords"), "idiot,n(o)ob,\"two words\"");
  watch_->HandleChat(*ChatEvent("two words", bob_, "Bob"));
  ASSERT_TRUE(bad.WaitCount(3));
  ASSERT_TRUE(globals_.Flush());
  EXPECT_EQ(
      globals_.CountText(
          "Bad Words: filter [(unclosed] deleted Error on parsing : missing closing parenthesis at offset 9"),
      1u);
}

TEST_F(ChatWatchTest, AHundredKilobyteLineIsHandledInBoundedTime) {
  config_.SetString("BadWords", "idiot,(a+)+b");
  Apply();
  watch_->Triggers().Add(Trigger("(x+x+)+y", "never", 0));
  watch_->Triggers().Add(Trigger("console", "too long to say: " + std::string(300, 'r'), 0));
  TEventRecorder bad({ekBadWord});
  std::string line(100 * 1024, 'a');
  line += " idiot";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Chat(line).empty());
  const std::string lx = std::string(100 * 1024, 'x') + "zy";  // a "y", but not after the x
  EXPECT_TRUE(Chat(lx).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ASSERT_TRUE(bad.WaitCount(1));
  // The trigger whose test ran out of work is reported, and the watch goes on.
  EXPECT_TRUE(globals_.WaitFor([](const TRecordedMessage& m) {
    return m.text.rfind("Error checking Chat Trigger (x+x+)+y please check the Trigger Setup  Error: ", 0) ==
               0 &&
           m.level == 1;
  }));
  // A version answer longer than a console line is refused by the console's
  // rule, with its message, and the watch goes on.
  Seconds(6);
  EXPECT_EQ(Chat("console " + std::string(100 * 1024, 'c')), std::vector<std::string>{kVersionAnswer});
  Seconds(6);
  config_.SetBool("ChatCommandEnableConsoleChatCommand", false);
  Apply();
  EXPECT_TRUE(Chat("console").empty());
  EXPECT_TRUE(globals_.WaitFor([](const TRecordedMessage& m) {
    return m.text.rfind("SendConsoleMessage Ignoring Message: too long to say", 0) == 0;
  }));
}

TEST_F(ChatWatchTest, SelfKickGoesThroughTheKickWorkers) {
  config_.SetBool("ChatCommandEnableKick", false);
  Apply();
  Chat("!kick");
  EXPECT_TRUE(Kicks().empty());
  EXPECT_EQ(kicks_.Count(), 0u);
  config_.SetBool("ChatCommandEnableKick", true);
  Apply();
  Seconds(6);
  Chat("!KICK me");
  ASSERT_TRUE(WaitFor([&] { return kicks_.Count() == 1; }));
  EXPECT_TRUE(kicks_.IsKickPending(bob_));
}

TEST_F(ChatWatchTest, TheQueueTakesChatFromTheBusOnly) {
  watch_->Triggers().Add(Trigger("hello", "Hi", 0));
  watch_->Open();
  auto kill = ChatEvent("hello", bob_, "Bob");
  kill->kind = ekKill;
  PostEvent(kill);
  PostEvent(ChatEvent("hello", bob_, "Bob"));
  ASSERT_TRUE(watch_->Flush(10000));
  EXPECT_EQ(watch_->Handled(), 1u);
  EXPECT_TRUE(WaitFor([&] { return ConsoleMessageThreads(info_).Reap() == 0; }));
  EXPECT_TRUE(WaitFor([&] {
    const auto all = sim_.Commands();
    return std::count(all.begin(), all.end(), "Say \"Hi\"") == 1;
  }));
  watch_->Close();
  EXPECT_TRUE(globals_.WaitForText("TChatWatch Started"));
  EXPECT_TRUE(globals_.WaitForText("TChatWatch Stopped"));
}

// A kicker that holds the watch's thread inside "!kick" until released.
class TBlockingKicker : public TKicker {
 public:
  bool AddKickThread(int32_t, int32_t, int32_t, const TReplaceArray&, const std::string&) override {
    std::unique_lock lock(mutex_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return released_; });
    return true;
  }
  bool IsKickPending(int32_t) const override { return false; }
  bool WaitEntered() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool entered_ = false, released_ = false;
};

TEST_F(ChatWatchTest, AFullQueueDropsChatAndSaysSoOnce) {
  TBlockingKicker kicker;
  TChatWatch watch(runtime_, *tracker_, kicker);
  TSettings settings(config_, home_.Path());
  watch.ReadSettings(settings);
  watch.SetQueueLimit(10);
  watch.Open();
  PostEvent(ChatEvent("!kick", bob_, "Bob"));
  ASSERT_TRUE(kicker.WaitEntered());  // the watch's thread is held
  for (int i = 0; i < 300; ++i) PostEvent(ChatEvent("line " + std::to_string(i), bob_, "Bob"));
  EXPECT_TRUE(WaitFor([&] { return watch.Dropped() == 290; }));  // ten wait, the rest is dropped
  kicker.Release();
  ASSERT_TRUE(watch.Flush(10000));
  EXPECT_EQ(watch.Handled(), 11u);
  EXPECT_EQ(watch.Dropped(), 290u);
  ASSERT_TRUE(globals_.Flush());
  EXPECT_EQ(globals_.CountText(
                "TChatWatch: more than 10 chat lines wait - new ones are dropped until the queue drains"),
            1u);
  watch.Close();
}

TEST_F(ChatWatchTest, TriggerFileThroughTheRegistryAndTheOperatorsList) {
  watch_->RegisterDataFiles(registry_);
  watch_->RegisterCommands(commands_);
  std::filesystem::create_directories(home_ / "Data");
  const std::string bytes = FileBytes({Trigger("(?i)^hello", "Welcome", 30), Trigger("[", "broken")});
  SaveFileAtomic((home_ / "Data" / "ChatTrigger.dat").string(), bytes.data(), bytes.size());
  registry_.Load(TDataFileId::ChatTrigger, home_.Path());
  EXPECT_TRUE(globals_.WaitFor([](const TRecordedMessage& m) {
    return m.text.rfind("Chat Trigger [[] is no valid expression and never fires: ", 0) == 0;
  }));
  EXPECT_EQ(Chat("hello"), std::vector<std::string>{"Welcome"});

  const auto listed = commands_.RunLine({}, "triggers");
  ASSERT_TRUE(listed.ok) << listed.text;
  ASSERT_EQ(listed.data["triggers"].size(), 2u);
  EXPECT_EQ(listed.data["triggers"][0]["trigger"], "(?i)^hello");
  EXPECT_EQ(listed.data["triggers"][0]["timeout"], 30);
  EXPECT_EQ(listed.data["triggers"][0]["last_exec"], regional::DateTimeToStr(clock_.Now()));
  EXPECT_EQ(listed.data["triggers"][1]["last_exec"], "");
  EXPECT_NE(listed.text.find("1. [(?i)^hello] every 30 s, last fired " +
                             regional::DateTimeToStr(clock_.Now()) + ": Welcome"),
            std::string::npos)
      << listed.text;
  EXPECT_NE(listed.text.find("2. [[] every 10 s, last fired never: broken (never fires: "), std::string::npos)
      << listed.text;

  // Saved: the file as loaded, with the firing's LastExec added.
  registry_.Save(TDataFileId::ChatTrigger, home_.Path());
  TMemoryStream saved(ReadFileText(home_ / "Data" / "ChatTrigger.dat"));
  std::vector<TVarList> back;
  ReadChatTriggerFile(saved, back);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_NEAR(back[0].GetValue("LastExec").AsDouble(), clock_.Now(), 1e-9);
  EXPECT_FALSE(back[1].Exists("LastExec"));
  back[0].Remove("LastExec");
  EXPECT_EQ(FileBytes(back), bytes);
}

}  // namespace
}  // namespace kv::testing
