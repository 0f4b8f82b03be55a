// The weapon watch: WeaponsBan.dat byte for byte and when damaged, and a
// scripted match against mohsim over loopback UDP — a forbidden weapon
// warned about, the killer kicked on the third kill and again on the fourth,
// banned (literally, brackets and all) on his second kick; the switch.
#include "automation/weapon_watch.h"

#include <gtest/gtest.h>

#include "core/counters.h"
#include "core/stream.h"
#include "enforcement/banwatch.h"
#include "enforcement/kicks.h"
#include "enforcement/pattern.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "gamelink/rcon_budget.h"
#include "tests/players/tracker_fixture.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/wait.h"

namespace kv::testing {
namespace {

TWeaponWatchDef Watch(uint8_t cls) {
  TWeaponWatchDef w;
  w.weapon_class = cls;
  w.kick_delay = -1;  // kick first, then announce
  return w;
}

TEST(WeaponWatchFile, RoundTripAndDamage) {
  TWeaponWatchDef sniper = Watch(wcSniper);
  sniper.ban_address = true;
  sniper.ban_message = "no \xE4";
  TMemoryStream out;
  WriteWeaponWatchFile(out, {Watch(wcRifle), sniper});
  const std::string bytes = out.Str();
  // count, then class, four limits, warn, minutes, address, three texts
  ASSERT_EQ(bytes.size(), 4u + 2 * (1 + 16 + 1 + 4 + 1 + 12) + 2 * Watch(1).warning_message.size() +
                              2 * Watch(1).kick_message.size() + Watch(1).ban_message.size() +
                              sniper.ban_message.size());
  EXPECT_EQ(bytes.substr(0, 9), std::string("\x02\x00\x00\x00\x01\x03\x00\x00\x00", 9));
  TMemoryStream in(bytes);
  std::vector<TWeaponWatchDef> read;
  ReadWeaponWatchFile(in, read);
  EXPECT_EQ(read, (std::vector<TWeaponWatchDef>{Watch(wcRifle), sniper}));

  for (const size_t cut : {size_t{2}, bytes.size() - 1, bytes.size() / 2}) {
    TMemoryStream damaged(bytes.substr(0, cut));
    std::vector<TWeaponWatchDef> some;
    try {
      ReadWeaponWatchFile(damaged, some);
      ADD_FAILURE() << "no error at " << cut;
    } catch (const EStreamError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(kWeaponWatchLoadError, 0), 0u) << e.what();
    }
    EXPECT_LE(some.size(), 1u);
  }
}

class WeaponWatchTest : public TrackerTest {
 protected:
  WeaponWatchTest() : recorder_({"GLOBAL"}) {
    CreateLastConsoleMsgs(info_);
    InstallPlaceholderExpander(info_);
    config_.SetInteger("UDPTimeOut", 1);
    kicks_.Open();
    bans_.SetSettings(TBanWatch::MakeSettings("", "", 1, -1));
    bans_.Open();
    kick_through_ = KickThrough(kicks_);
    OpenTracker();
    tracker_->Close();  // the watch joins before the tracker opens
    watches_ = std::make_unique<TWeaponWatchList>(runtime_, *tracker_, kicks_, &bans_.List());
    tracker_->Open();
  }
  ~WeaponWatchTest() override {
    if (tracker_) tracker_->Close();
    bans_.Close();
    kicks_.Close();
    DestroyLastConsoleMsgs(info_);
    SetMessageExpander(info_, nullptr);
  }
  std::vector<std::string> Received(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& c : sim_.Commands())
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }
  void Kill(int32_t victim, const std::string& victim_name, int32_t killer, const std::string& killer_name,
            int weapon_class) {
    auto e = std::make_shared<TMohaaEvent>(ekKill, "killed");
    e->time = clock_.Now();
    e->log_entry = std::make_unique<TLogEntry>();
    e->log_entry->first_player = Row(victim, victim_name, "10.0.0.1");
    e->log_entry->second_player = Row(killer, killer_name, "10.0.0.2");
    e->variables.SetValue("Weapon", TVariant(int32_t{weapon_class}));
    PostEvent(std::move(e));
    ASSERT_TRUE(tracker_->Settle(10000));
  }
  // Lets the kick worker finish what is due and the main loop add the ban.
  void Settle() {
    clock_.Advance(1);
    ASSERT_TRUE(WaitFor([&] { return kicks_.WorkerIdle(); }));
    ASSERT_TRUE(scope_.Loop().Invoke([] {}));
  }

  TBusRecorder recorder_;
  TKickThreadList kicks_{runtime_};
  TBanWatch bans_{runtime_, kicks_};
  std::unique_ptr<TWeaponWatchList> watches_;
};

TEST_F(WeaponWatchTest, WarnedThenKickedThenBannedOnTheSecondKick) {
  ASSERT_EQ(watches_->Add(Watch(wcSniper)), 0);
  EXPECT_EQ(watches_->Add(Watch(wcSniper)), -1);  // one watch per class
  EXPECT_EQ(watches_->Watches().size(), 1u);
  const int vic = sim_.Join("Vic", "10.0.0.1");
  const int sam = sim_.Join("[TAG]Sam.", "10.0.0.2");
  Poll();

  Kill(vic, "Vic", sam, "[TAG]Sam.", wcRifle);  // not forbidden
  Kill(vic, "Vic", sam, "[TAG]Sam.", wcSniper);
  Kill(vic, "Vic", sam, "[TAG]Sam.", wcSniper);
  ASSERT_TRUE(WaitFor([&] { return Received("Say ").size() == 2; }));
  EXPECT_EQ(Received("Say ")[0], "Say \"[TAG]Sam. do NOT USE Sniper or get KICKED\"");
  EXPECT_TRUE(Received("clientkick").empty());

  Kill(vic, "Vic", sam, "[TAG]Sam.", wcSniper);  // the third: kicked
  Settle();
  ASSERT_TRUE(WaitFor([&] { return Received("clientkick ").size() == 1; }));
  EXPECT_EQ(Received("clientkick ")[0], "clientkick " + std::to_string(sam));
  EXPECT_TRUE(bans_.List().Entries().empty());

  // Back on the server: a new visit counts from zero again, and his second
  // kick in his lifetime bans him.
  Poll();  // gone
  const int sam2 = sim_.Join("[TAG]Sam.", "10.0.0.2");
  Poll();
  for (int i = 0; i < 3; ++i) Kill(vic, "Vic", sam2, "[TAG]Sam.", wcSniper);
  Settle();
  ASSERT_TRUE(WaitFor([&] { return Received("clientkick ").size() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return bans_.List().Entries().size() == 1; }));
  const auto ban = bans_.List().Entries()[0];
  EXPECT_EQ(ban.nick_filter, QuotePattern("[TAG]Sam."));
  EXPECT_TRUE(ban.address_filter.empty());
  EXPECT_EQ(ban.message, "%playernick% is banned because of Weaponabuse [Sniper]");
  EXPECT_NEAR(ban.end, clock_.Now() + 5 / 1440.0, 1e-6);
}

TEST_F(WeaponWatchTest, TheSwitchAndAFailedLookUp) {
  watches_->Add(Watch(wcRifle));
  const int vic = sim_.Join("Vic", "10.0.0.1");
  const int sam = sim_.Join("Sam", "10.0.0.2");
  Poll();
  config_.SetBool("EnableWeaponDetect", false);
  Kill(vic, "Vic", sam, "Sam", wcRifle);
  config_.SetBool("EnableWeaponDetect", true);
  Kill(vic, "Vic", 17, "Nobody", wcRifle);
  ASSERT_TRUE(recorder_.WaitForText("User not Found on WeaponWatch Exec"));
  ASSERT_TRUE(recorder_.Flush());
  EXPECT_TRUE(Received("Say ").empty());
  TVariant count;
  EXPECT_FALSE(History("Sam")->visit.TryGetValue("KilledWithUnwantedWeaponRifle", count));
}

// A match whose forbidden kills come faster than the rcon budget lets
// messages through: the warnings wait in order on the watch's one sender
// instead of a waiting thread each, and all go out as the budget refills.
TEST_F(WeaponWatchTest, WarningsWaitForTheBudgetOnOneSender) {
  config_.SetBool("FilterMessagesSend", false);
  TWeaponWatchDef w = Watch(wcRifle);
  w.kills_before_kick = 1000;
  w.warning_message = "%playernick% no %weapon% (%playerscore%)";
  watches_->Add(w);
  const int vic = sim_.Join("Vic", "10.0.0.1");
  const int sam = sim_.Join("Sam", "10.0.0.2");
  Poll();
  info_.rcon_budget = std::make_shared<TRconBudget>(2, 60, &info_.rcon_terminating);
  const int64_t senders_before = CounterValue(TCounter::ConsoleMessageThreads);
  constexpr size_t kKills = 12;
  for (size_t i = 0; i < kKills; ++i) Kill(vic, "Vic", sam, "Sam", wcRifle);
  // The burst goes out; the rest waits for tokens (the clock stands still).
  ASSERT_TRUE(WaitFor([&] { return !Received("Say ").empty(); }));
  EXPECT_LT(Received("Say ").size(), kKills);
  EXPECT_EQ(CounterValue(TCounter::ConsoleMessageThreads), senders_before);
  for (size_t i = 0; i < 3 * kKills && Received("Say ").size() < kKills; ++i) {
    clock_.Advance(1000);
    WaitFor([&] { return info_.rcon_budget->Available() == 0; }, 200);
  }
  ASSERT_TRUE(WaitFor([&] { return Received("Say ").size() == kKills; })) << Received("Say ").size();
  EXPECT_TRUE(watches_->Flush(5000));
  EXPECT_EQ(Received("Say ").back(), "Say \"Sam no Rifle (0)\"");
  SetRconTerminating(info_, true);
  watches_->Close();
  info_.rcon_budget.reset();
}

}  // namespace
}  // namespace kv::testing
