#include "enforcement/banwatch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "core/stream.h"
#include "domain/events.h"
#include "domain/settings.h"
#include "enforcement/pattern.h"
#include "tests/enforcement/kick_fixture.h"
#include "tests/support/event_recorder.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

using testing::TEventRecorder;
using testing::WaitFor;

// Records the kicks it is asked for; a recorded kick stays pending.
class TRecordingKicker : public TKicker {
 public:
  struct TCall {
    int32_t client, repetitions, delay;
    std::string message;
  };
  bool AddKickThread(int32_t client, int32_t repetitions, int32_t delay, const TReplaceArray&,
                     const std::string& message) override {
    std::lock_guard lock(mutex_);
    if (!pending_.insert(client).second) return false;
    calls_.push_back({client, repetitions, delay, message});
    return true;
  }
  bool IsKickPending(int32_t client) const override {
    std::lock_guard lock(mutex_);
    return pending_.count(client) > 0;
  }
  std::vector<TCall> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
    pending_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<TCall> calls_;
  std::set<int32_t> pending_;
};

TUserListEntry Player(const std::string& name, const std::string& address, int32_t num) {
  TUserListEntry r;
  r.name = name;
  r.address = address;
  r.client_number = num;
  return r;
}

// A status poll's event listing these players, at the clock's time.
std::shared_ptr<TMohaaEvent> ListEvent(const std::vector<TUserListEntry>& rows) {
  auto event = std::make_shared<TMohaaEvent>(ekNewUserList);
  event->player_list = std::make_unique<TUserList>();
  for (const auto& r : rows) event->player_list->Add(r);
  return event;
}

std::shared_ptr<TMohaaEvent> LogEvent(uint8_t kind, const TUserListEntry& first,
                                      const TUserListEntry& second = {}) {
  auto event = std::make_shared<TMohaaEvent>(kind);
  event->log_entry = std::make_unique<TLogEntry>();
  event->log_entry->first_player = first;
  event->log_entry->second_player = second;
  return event;
}

class BanWatchTest : public testing::KickRig {
 protected:
  BanWatchTest() { watch_.SetSettings(TBanWatch::MakeSettings("\\[Z\\.A\\.Q\\]", "", 2, -1)); }
  void ClearBans() {
    while (watch_.List().RemoveAt(0)) {
    }
    kicker_.Clear();
  }

  TRecordingKicker kicker_;
  TBanWatch watch_{runtime_, kicker_};
};

TEST_F(BanWatchTest, WhoIsStruck) {
  const struct {
    const char* what;
    std::string nick_filter, address_filter, ac_id;
    TUserListEntry player;
    bool struck;
  } cases[] = {
      {"plain word anywhere", "cat", "", "", Player("bobcat99", "1.2.3.4", 3), true},
      {"letter case counts", "cat", "", "", Player("BobCat", "1.2.3.4", 3), false},
      {"unless the pattern says", "(?i)cat", "", "", Player("BOBCAT", "1.2.3.4", 3), true},
      {"invalid nick pattern: plain text", "[Z.A", "", "", Player("x[Z.Ay", "1.2.3.4", 3), true},
      {"invalid nick pattern, text absent", "[Z.A", "", "", Player("ZA", "1.2.3.4", 3), false},
      {"quoted nick: literally", QuotePattern("a.b[1]"), "", "", Player("<a.b[1]>", "1.2.3.4", 3), true},
      {"quoted nick: no wildcard", QuotePattern("a.b[1]"), "", "", Player("axb1", "1.2.3.4", 3), false},
      {"address", "", "^10\\.0\\.", "", Player("Anyone", "10.0.3.4", 3), true},
      {"address elsewhere", "", "^10\\.0\\.", "", Player("Anyone", "110.0.0.1", 3), false},
      {"immune nick", "Boss", "", "", Player("[Z.A.Q]Boss", "1.2.3.4", 3), false},
      {"anti-cheat id ban", "", "", "Boss", Player("Boss", "1.2.3.4", 3), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ClearBans();
    if (c.ac_id.empty())
      watch_.List().AddBan(c.nick_filter, c.address_filter, "%playernick% is out", 0);
    else
      watch_.List().AddIdBan(c.ac_id, 0, "");
    watch_.Scan(*ListEvent({c.player}));
    const auto calls = kicker_.Calls();
    ASSERT_EQ(calls.size(), c.struck ? 1u : 0u);
    if (c.struck) {
      EXPECT_EQ(calls[0].client, 3);
      EXPECT_EQ(calls[0].repetitions, 2);  // BKickRepeat
      EXPECT_EQ(calls[0].delay, -1);       // BKickDelay
      EXPECT_EQ(calls[0].message, "%playernick% is out");
    }
  }
}

// Expiry is judged at the event's own time; a player named by a kill line
// and listed by a poll in the same second is kicked once, announced once.
TEST_F(BanWatchTest, ExpiryAtTheEventsTimeAndOneKickPerPlayer) {
  TEventRecorder banned({ekUserBanned, ekUseripBanned});
  TEventRecorder over({ekBanOver});
  const TUserListEntry cheater = Player("Cheater", "10.9.9.9", 5);
  List(cheater);
  watch_.List().AddBan("Cheat", "^10\\.9\\.", "", 10);
  auto early = ListEvent({cheater});  // made while the ban holds...
  auto kill = LogEvent(ekKill, Player("Victim", "1.1.1.1", 2), cheater);
  clock_.Advance(11 * 60 * 1000);  // ...scanned after its end
  watch_.Scan(*early);
  watch_.Scan(*kill);
  ASSERT_EQ(kicker_.Calls().size(), 1u);
  EXPECT_EQ(kicker_.Calls()[0].client, 5);
  ASSERT_TRUE(banned.WaitCount(1));
  ASSERT_TRUE(banned.Flush());
  ASSERT_EQ(banned.Count(), 1u);
  EXPECT_EQ(banned.At(0)->kind, ekUseripBanned);
  EXPECT_EQ(banned.At(0)->text, "Cheater is banned");
  ASSERT_TRUE(banned.At(0)->log_entry);
  EXPECT_EQ(banned.At(0)->log_entry->first_player.name, "Cheater");
  EXPECT_EQ(watch_.List().Count(), 1u);

  // Any event made after the end removes it, one naming nobody too.
  watch_.Scan(TMohaaEvent(ekNewLogFileEntry));
  EXPECT_EQ(watch_.List().Count(), 0u);
  ASSERT_TRUE(over.WaitCount(1));
  EXPECT_EQ(over.At(0)->text, "User: [Cheat] Ip: [^10\\.9\\.] Message: %playernick% is banned");
}

// Reports of enforcement itself and players without a client number strike
// nobody; a bad address pattern spoils only its own filter and is reported
// once; a bad immunity pattern strikes nobody until it is mended.
TEST_F(BanWatchTest, NoStrikeWithoutAPlayerAndBadPatterns) {
  watch_.List().AddBan("Cheat", "", "", 0);
  watch_.Scan(*LogEvent(ekUserKicked, Player("Cheater", "1.1.1.1", 5)));
  watch_.Scan(*LogEvent(ekUserBanned, Player("Cheater", "1.1.1.1", 5)));
  watch_.Scan(*LogEvent(ekKill, Player("Cheater", "1.1.1.1", kClientNotSet)));
  watch_.Scan(*LogEvent(ekKill, Player("Cheater", "1.1.1.1", kNoPlayer)));
  EXPECT_TRUE(kicker_.Calls().empty());

  ClearBans();
  watch_.List().AddBan("", "(", "", 0);
  watch_.List().AddBan("Cheat", "", "", 0);
  watch_.Scan(*ListEvent({Player("Cheater", "1.1.1.1", 5)}));
  watch_.Scan(*ListEvent({Player("Cheater2", "1.1.1.1", 6)}));
  EXPECT_EQ(kicker_.Calls().size(), 2u);
  const std::string prefix = "TBanWatch failed with: address filter [(] is no valid expression: ";
  ASSERT_TRUE(global_.Flush());
  size_t reported = 0;
  for (const auto& m : global_.Messages()) reported += m.text.rfind(prefix, 0) == 0 && m.level == mlCritical;
  EXPECT_EQ(reported, 1u);

  ClearBans();
  config_.SetString("BanimmuneNicks", "[Z.A.Q");
  TSettings settings(config_, home_.Path());
  watch_.ApplySettings(settings);
  ASSERT_TRUE(global_.WaitFor([](const testing::TRecordedMessage& m) {
    return m.text.rfind("TBanWatch failed with: BanimmuneNicks [[Z.A.Q] is no valid expression: ", 0) == 0;
  }));
  watch_.List().AddBan("Cheat", "", "", 0);
  watch_.Scan(*ListEvent({Player("Cheater", "1.1.1.1", 5)}));
  EXPECT_TRUE(kicker_.Calls().empty());
}

// The whole road: events on the bus, the watch's own thread, a real kick
// against the simulated server, the announcement after it.
TEST_F(BanWatchTest, BannedPlayerIsKickedThroughTheBus) {
  TKickThreadList kicks(runtime_);
  TBanWatch watch(runtime_, kicks);
  kicks.Open();
  watch.Open();
  TEventRecorder banned({ekUserBanned, ekUseripBanned});
  TEventRecorder kicked({ekUserKicked});
  const int32_t num = Join("Cheater");
  watch.List().AddBan("Cheat", "", "", 0);
  PostEvent(ListEvent({Player("Cheater", "127.0.0.1", num)}));
  PostEvent(LogEvent(ekKill, Player("Cheater", "127.0.0.1", num), Player("Victim", "127.0.0.1", 9)));
  ASSERT_TRUE(kicked.WaitCount(1));
  ASSERT_TRUE(watch.Flush(5000));
  ASSERT_TRUE(banned.Flush());
  EXPECT_EQ(banned.Count(), 1u);
  EXPECT_EQ(Received("clientkick "), std::vector<std::string>{"clientkick " + std::to_string(num)});
  EXPECT_EQ(Received("Say "), std::vector<std::string>{"Say \"Cheater is banned\""});
  watch.Close();
  kicks.Close();
}

TEST_F(BanWatchTest, CommandsAndDataFile) {
  watch_.RegisterCommands(commands_);
  watch_.RegisterDataFiles(registry_);
  const TCommandContext terminal;
  EXPECT_TRUE(commands_.Run(terminal, "ban", "add nick \"Bad Guy\" 30 %playernick% go").ok);
  EXPECT_TRUE(commands_.Run(terminal, "ban", "add ip ^10\\.1\\.").ok);
  const auto bad = commands_.Run(terminal, "ban", "add ip (");
  EXPECT_FALSE(bad.ok);
  EXPECT_NE(bad.text.find("not a valid address pattern"), std::string::npos);
  EXPECT_FALSE(commands_.Run(terminal, "ban", "add who x").ok);
  const auto list = commands_.Run(terminal, "ban", "list");
  ASSERT_TRUE(list.ok);
  ASSERT_EQ(list.data["bans"].size(), 2u);
  EXPECT_EQ(list.data["bans"][0]["nick_filter"], "Bad Guy");
  EXPECT_EQ(list.data["bans"][0]["message"], "%playernick% go");
  EXPECT_EQ(list.data["bans"][1]["address_filter"], "^10\\.1\\.");
  EXPECT_EQ(list.data["bans"][1]["end_text"], "never");

  // Saved byte for byte as the file form of the list.
  TDataFileRegistry::EnsureDataDir(home_.Path());
  registry_.Save(TDataFileId::BanList, home_.Path());
  TMemoryStream expected;
  WriteBanListFile(expected, watch_.List().Entries());
  const auto path = (TDataFileRegistry::DataDir(home_.Path()) / "BanList.dat").string();
  EXPECT_EQ(LoadFileBytes(path), expected.Bytes());

  EXPECT_TRUE(commands_.Run(terminal, "ban", "del 1").ok);
  EXPECT_FALSE(commands_.Run(terminal, "ban", "del 2").ok);
  EXPECT_EQ(watch_.List().Count(), 1u);
  registry_.Load(TDataFileId::BanList, home_.Path());  // the file still holds two
  EXPECT_EQ(watch_.List().Count(), 2u);
  // A damaged file: the loader's error, the bans before the damage kept.
  const auto bytes = LoadFileBytes(path);
  SaveFileAtomic(path, bytes.data(), bytes.size() - 2);
  try {
    registry_.Load(TDataFileId::BanList, home_.Path());
    ADD_FAILURE() << "loaded";
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "Stream-Lesefehler");
  }
  EXPECT_EQ(watch_.List().Count(), 1u);
}

}  // namespace
}  // namespace kv
