#include "enforcement/templates.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/regional.h"
#include "domain/traffic.h"
#include "domain/userlist.h"
#include "formats/config.h"
#include "gamelink/rcon.h"
#include "tests/support/bus_recorder.h"

namespace kv {
namespace {

using testing::TBusRecorder;

TUserListEntry Row(std::string name, std::string ip, int32_t score, int32_t ping, int32_t num) {
  TUserListEntry r;
  r.name = std::move(name);
  r.address = std::move(ip);
  r.score = score;
  r.ping = ping;
  r.client_number = num;
  return r;
}

// A history store of a few records, found by client number or exact nick.
class TFakeHistory : public THistoryLookup {
 public:
  std::shared_ptr<THistoryUserEntry> Add(const TUserListEntry& player) {
    auto e = std::make_shared<THistoryUserEntry>();
    e->player = player;
    entries_.push_back(e);
    return e;
  }
  int64_t UserCount() const override {
    ++lookups;
    return static_cast<int64_t>(entries_.size());
  }
  std::shared_ptr<const THistoryUserEntry> FindById(int32_t id) const override {
    ++lookups;
    for (const auto& e : entries_)
      if (e->player.client_number == id) return e;
    return nullptr;
  }
  std::shared_ptr<const THistoryUserEntry> FindByNick(const std::string& nick) const override {
    ++lookups;
    for (const auto& e : entries_)
      if (e->player.name == nick) return e;
    return nullptr;
  }
  mutable int lookups = 0;  // every call of the store

 private:
  std::vector<std::shared_ptr<THistoryUserEntry>> entries_;
};

class TemplatesTest : public ::testing::Test {
 protected:
  TemplatesTest() : config_(nullptr) {
    info_.UseConfig(&config_);
    SetClock(&clock_);
    clock_.SetNow(regional::EncodeDate(2026, 12, 10) + (13 * 3600 + 45 * 60 + 30) / kSecondsPerDay);
    config_.SetString("Servername", "Kelvan Test");
    info_.kicks.Publish({.kick_delay = 7, .kick_repeat = 2, .ban_kick_repeat = 3, .ban_kick_delay = -1});
    ResetRemoteTraffic();
  }
  ~TemplatesTest() override {
    SetHistoryLookup(info_, nullptr);
    SetScoreFunction(info_, nullptr);
    ResetRemoteTraffic();
    SetClock(nullptr);
  }

  // Three players on dm/mohdm6; Bob's nick holds a placeholder of step 7.
  void InstallList() {
    auto list = std::make_unique<TUserList>();
    list->server_name = "My MOH";
    list->map_name = "dm/mohdm6";
    list->avg_ping = 60;
    list->min_ping = 20;
    list->max_ping = 100;
    list->Add(Row("Alice", "10.0.0.1", 5, 20, 0));
    list->Add(Row("Bob%description%", "10.0.0.2", 3, 100, 1));
    list->Add(Row("Carl", "10.0.0.3", -2, 60, 2));
    info_.players.With([&](std::unique_ptr<TUserList>& current) { current = std::move(list); });
  }

  // Alice (by id) and Carl (by nick only: his record has another number)
  // have statistics; Dora is known only to the history store.
  void InstallHistory() {
    auto history = std::make_shared<TFakeHistory>();
    auto alice = history->Add(Row("Alice", "10.0.0.1", 0, 0, 0));
    alice->persistent.SetValue("MapsPlayed", TVariant(7));
    alice->persistent.SetValue("Ratio", TVariant(2.5));
    alice->persistent.SetValue("Flag", TVariant(true));
    alice->visit.SetValue("Kills", TVariant(3));
    auto carl = history->Add(Row("Carl", "10.0.0.3", 0, 0, 17));
    carl->persistent.SetValue("MapsPlayed", TVariant(11));
    auto dora = history->Add(Row("Dora", "10.0.0.4", 0, 0, 30));
    dora->persistent.SetValue("MapsPlayed", TVariant(1));
    SetHistoryLookup(info_, history);
    history_ = history.get();
    SetScoreFunction(info_, [](TMohaaServerInfo*, const std::string& nick) { return "S(" + nick + ")"; });
  }

  // A chat event by Carl (first) about Alice (second), or with Carl only.
  static std::unique_ptr<TMohaaEvent> Event(bool second) {
    auto e = std::make_unique<TMohaaEvent>(ekChatMessage, "hi %map%");
    e->log_entry = std::make_unique<TLogEntry>();
    e->log_entry->first_player = Row("Carl", "10.0.0.3", -2, 60, 2);
    e->log_entry->second_player =
        second ? Row("Alice", "10.0.0.1", 5, 20, 0) : Row("", "", 0, 0, kClientNotSet);
    return e;
  }

  TManualClock clock_;
  const TFakeHistory* history_ = nullptr;  // installed by InstallHistory
  TDynamicConfigData config_;
  TMohaaServerInfo info_;
};

TEST_F(TemplatesTest, TableOfPlaceholdersInOrder) {
  InstallList();
  InstallHistory();
  auto event2 = Event(true);
  auto event1 = Event(false);
  THistoryUserEntry dora;
  dora.player = Row("Dora", "10.0.0.4", 9, 44, 30);
  enum Ctx { kNone, kEvent2, kEvent1 };
  struct Case {
    std::string tmpl;
    int32_t id;
    Ctx ctx;
    bool history;
    std::string expected;
  };
  const Case cases[] = {
      {"no percent here", 0, kEvent2, true, "no percent here"},
      {"%VERSION% %Date% %time% %datetime% %servername%", -1, kNone, false,
       "0.8.10 BETA 10.12.2026 13:45:30 10.12.2026 13:45:30 Kelvan Test"},
      {"%usercount% %kickdelay% %KickRepeat% %KickBanRepeat% %KickBanDelay%", -1, kNone, false, "3 7 2 3 -1"},
      {"%clientcount% %averageping% %minping% %maxping% %map% %serveringamename%", -1, kNone, false,
       "3 60 20 100 dm/mohdm6 My MOH"},
      {"%PlayerNick% %playerip% %playerscore% %PLAYERPING% %Skills%", 0, kNone, false,
       "Alice 10.0.0.1 5 20 S(Alice)"},
      {"%playernick%", -1, kNone, false, "%playernick%"},
      {"%playernick%", kNoPlayer, kNone, false, "%playernick%"},
      {"%playernick%", 42, kNone, false, "%playernick%"},
      {"%DATAMapsPlayed% %dataratio% %DATAFlag% %TEMPDATAKills% %DATAMissing%", 0, kNone, false,
       "7 2,5 -1 3 %DATAMissing%"},
      // Carl's record has another number: found by his nick.
      {"%DATAMapsPlayed%", 2, kNone, false, "11"},
      // The id's player wins over the event's; the event fills its own set.
      {"%playernick% %playernick1% %playernick2% %description%", 0, kEvent2, false,
       "Alice Carl Alice hi %map%"},
      {"%playernick% %playerip1% %playerscore% %skills1% %skills2% %DATA[2]MapsPlayed% %DATA[1]MapsPlayed% "
       "%DATAMapsPlayed%",
       -1, kEvent2, false, "Carl 10.0.0.3 -2 S(Carl) S(Alice) 7 11 11"},
      {"%DATA[2]MapsPlayed% %playernick2%", -1, kEvent1, false, "%DATA[2]MapsPlayed% %playernick2%"},
      // An inserted nick meets later steps, not earlier ones.
      {"%playernick%", 1, kEvent2, false, "Bobhi %map%"},
      {"%playernick% %playerping% %DATAMapsPlayed%", -1, kNone, true, "Dora 44 1"},
      {"%playernick%", 0, kNone, true, "Alice"},
  };
  for (const auto& c : cases) {
    const TMohaaEvent* ev = c.ctx == kEvent2 ? event2.get() : c.ctx == kEvent1 ? event1.get() : nullptr;
    EXPECT_EQ(ExpandPlaceholders(&info_, c.tmpl, {}, c.id, ev, c.history ? &dora : nullptr), c.expected)
        << c.tmpl << " id " << c.id;
  }
}

TEST_F(TemplatesTest, ExtraSubstitutionsComeLastInArrayOrder) {
  InstallList();
  const TReplaceArray extra = {{"%WEAPON%", "Kar98"}, {"%playernick%", "X"}, {"%a%", "%b%"}, {"%b%", "B"}};
  EXPECT_EQ(ExpandPlaceholders(&info_, "%weapon% %PlayerNick% %a%", extra, 0), "Kar98 Alice B");
  EXPECT_EQ(ExpandPlaceholders(&info_, "plain %a%", extra), "plain B");
}

TEST_F(TemplatesTest, WithoutServerStateListOrHooksSourcesStay) {
  const std::string t = "%usercount% %clientcount% %playernick% %skills% %DATAMapsPlayed%";
  EXPECT_EQ(ExpandPlaceholders(nullptr, t, {}, 0), t);
  InstallList();
  // No history store and no score function yet: counted as empty / left alone.
  EXPECT_EQ(ExpandPlaceholders(&info_, t, {}, 0), "0 3 Alice %skills% %DATAMapsPlayed%");
}

TEST_F(TemplatesTest, ScoreIsEvaluatedOnlyWhenAskedFor) {
  InstallList();
  int calls = 0;
  SetScoreFunction(info_, [&](TMohaaServerInfo*, const std::string&) {
    ++calls;
    return std::string("1");
  });
  ExpandPlaceholders(&info_, "%playernick% %playerscore%", {}, 0, Event(true).get());
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(ExpandPlaceholders(&info_, "%SKILLS2%", {}, 0, Event(true).get()), "1");
  EXPECT_EQ(calls, 1);
}

// The store is locked by the tracker for every event: an expansion asks it
// only for a placeholder that reads it.
TEST_F(TemplatesTest, HistoryStoreIsAskedOnlyForItsPlaceholders) {
  InstallList();
  InstallHistory();
  const auto event = Event(true);
  EXPECT_EQ(ExpandPlaceholders(&info_, "%playernick1% took out %playernick2% on %map% at %time%", {}, 0,
                               event.get()),
            "Carl took out Alice on dm/mohdm6 at 13:45:30");
  EXPECT_EQ(history_->lookups, 0);
  EXPECT_EQ(ExpandPlaceholders(&info_, "%DATA[2]MapsPlayed% of %usercount%", {}, -1, event.get()), "7 of 3");
  EXPECT_GT(history_->lookups, 0);
}

TEST_F(TemplatesTest, RemoteTrafficPlaceholders) {
  const std::string t =
      "%KelvandromeClientSend%|%KelvandromeClientCompressedSend%|%KelvandromeClientSendCompressionRate%|"
      "%KelvandromeClientReceived%|%KelvandromeClientCompressedReceived%|"
      "%KelvandromeClientReceivedCompressionRate%";
  EXPECT_EQ(ExpandPlaceholders(&info_, t),
            "0 kb|0 kb|%KelvandromeClientSendCompressionRate%|0 kb|0 kb|"
            "%KelvandromeClientReceivedCompressionRate%");
  RemoteTraffic().sent_raw = 10 * 1024 + 5;
  RemoteTraffic().sent_compressed = 4 * 1024;
  RemoteTraffic().received_raw = 2047;
  RemoteTraffic().received_compressed = 3000;  // grew: a negative rate
  EXPECT_EQ(ExpandPlaceholders(&info_, t), "10 kb|4 kb|61%|1 kb|2 kb|-46%");
  // The product part*100 would overflow 64 bits.
  EXPECT_EQ(CompressionRatePercent(UINT64_MAX / 2, UINT64_MAX), 51);  // 49,99..% kept: 100 - 49
  EXPECT_EQ(CompressionRatePercent(UINT64_MAX, UINT64_MAX), 0);
}

TEST(TemplateValues, StoredValueConversions) {
  const std::pair<TVariant, std::string> cases[] = {
      {TVariant::Smallint(7), "7"},
      {TVariant(-3), "-3"},
      {TVariant(true), "-1"},
      {TVariant(false), "0"},
      {TVariant::Single(2.5f), "2"},
      {TVariant::Single(3.5f), "4"},
      {TVariant::Single(-0.6f), "-1"},
      {TVariant(2.5), "2,5"},
      {TVariant::CurrencyFromDouble(1.25), "1,25"},
      {TVariant::Date(regional::EncodeDate(2026, 12, 10) + 0.5), "10.12.2026 12:00:00"},
      {TVariant(std::string("ab%c")), "ab%c"},
      {TVariant::Byte(200), "200"},
      {TVariant::Int64(5000000000), "5000000000"},
      {TVariant(), ""},
      {TVariant::Null(), ""},
      {TVariant::Bytes({1, 2}), ""},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(VariantToPlaceholderText(v), text) << VarTypeName(v.Type());
}

TEST(TemplateValues, ReplaceIgnoresCaseAndDoesNotRescan) {
  struct Case {
    std::string text, placeholder, value, expected;
  };
  const Case cases[] = {
      {"a %X% b %x% c", "%x%", "1", "a 1 b 1 c"},
      {"%a%%a%", "%A%", "%a%x", "%a%x%a%x"},
      {"%GR\xDCN% %gr\xFCn%", "%gr\xFCn%", "ok", "ok ok"},  // Windows-1252 umlauts fold too
      {"%%a%", "%a%", "1", "%1"},
      {"nothing", "%a%", "1", "nothing"},
      {"%a", "%a%", "1", "%a"},
  };
  for (const auto& c : cases) {
    std::string t = c.text;
    ReplaceIgnoreCase(t, c.placeholder, c.value);
    EXPECT_EQ(t, c.expected) << c.text;
  }
  EXPECT_TRUE(ContainsIgnoreCase("x %SkIlLs% y", "%skills%"));
  EXPECT_FALSE(ContainsIgnoreCase("x %skill% y", "%skills%"));
}

TEST_F(TemplatesTest, ShuttingDownReturnsTheTemplate) {
  SetRconTerminating(info_, true);
  EXPECT_EQ(ExpandPlaceholders(&info_, "%version%"), "%version%");
  SetRconTerminating(info_, false);
  EXPECT_EQ(ExpandPlaceholders(&info_, "%version%"), "0.8.10 BETA");
}

TEST_F(TemplatesTest, FailureIsPostedAndThePartialTextReturned) {
  TBusScope bus;
  TBusRecorder recorder({"GLOBAL"});
  InstallList();
  SetScoreFunction(
      info_, [](TMohaaServerInfo*, const std::string&) -> std::string { throw std::runtime_error("boom"); });
  EXPECT_EQ(
      ExpandPlaceholders(&info_, "%version% %playernick% %skills% %description%", {}, 0, Event(true).get()),
      "0.8.10 BETA Alice %skills% %description%");
  ASSERT_TRUE(recorder.WaitForText("TLogEventChecker error on parsing Error:boom", 5000));
  EXPECT_EQ(recorder.Messages().back().level, mlCritical);
}

TEST_F(TemplatesTest, InstalledExpanderServesConsoleMessages) {
  InstallList();
  EXPECT_EQ(ExpandMessage(&info_, "%playernick%", {}, 0, nullptr), "%playernick%");
  InstallPlaceholderExpander(info_);
  EXPECT_EQ(ExpandMessage(&info_, "%playernick% %x%", {{"%x%", "y"}}, 0, nullptr), "Alice y");
  SetMessageExpander(info_, nullptr);
}

}  // namespace
}  // namespace kv
