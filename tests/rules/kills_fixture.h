// The kill rules on a tracker with a real history store, real kick workers
// and a real ban watch, fed by real status polls of an in-process mohsim
// over loopback UDP and by the game's own kill lines (mohsim's log, read
// by the real log parser), all on a manual clock.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "enforcement/banwatch.h"
#include "enforcement/kicks.h"
#include "enforcement/templates.h"
#include "enforcement/weapon_classes.h"
#include "gamelink/console.h"
#include "gamelink/logparser.h"
#include "rules/kills.h"
#include "tests/players/tracker_fixture.h"
#include "tests/support/wait.h"

namespace kv::testing {

class KillsTest : public TrackerTest {
 protected:
  KillsTest() {
    CreateLastConsoleMsgs(info_);
    InstallPlaceholderExpander(info_);
    config_.SetInteger("UDPTimeOut", 1);
    kick_workers_.Open();
    bans_.SetSettings(TBanWatch::MakeSettings("", "", 1, -1));
    bans_.Open();
    sim_.SetCvar("g_gametype", "2");
  }
  ~KillsTest() override {
    if (tracker_) tracker_->Close();
    if (rules_) rules_->Close();
    rules_.reset();
    bans_.Close();
    kick_workers_.Close();
    DestroyLastConsoleMsgs(info_);
    SetMessageExpander(info_, nullptr);
  }

  // A store, tracker and kill rules (again: as after a restart).
  void OpenRules(TKillRuleSettings settings = {}, TTrackerSettings tracker_settings = {}) {
    if (tracker_) tracker_->Close();
    tracker_.reset();
    if (rules_) rules_->Close();
    rules_.reset();
    store_.reset();
    store_ = std::make_unique<THUserList>(home_ / "Data" / "History", clock_);
    store_->RefreshKnownUsers();
    tracker_ = std::make_unique<THistoryUserList>(runtime_, *store_, KickThrough(kick_workers_));
    rules_ = std::make_unique<TKillRules>(runtime_, *tracker_, kick_workers_, &bans_.List());
    rules_->ApplySettings(settings);
    rules_->SetSpreeLists(sprees_);
    rules_->Open();
    tracker_->ApplySettings(tracker_settings);
    tracker_->Open();
  }
  // A poll that also lets the tracker learn the game type (a map change
  // makes it ask).
  void PollUntilTeamGame() {
    Poll();
    ASSERT_TRUE(WaitFor([&] {
      tracker_->Settle(1000);
      return tracker_->TeamGame();
    }));
  }
  // The lines mohsim wrote since the last call, through the real parser,
  // handled to the end. With `times`, the events of the lines carry these
  // times (a burst the tracker handles later than it happened).
  void FeedLog(const std::vector<double>& times = {}) {
    std::ifstream in(sim_home_.Log(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(log_offset_));
    std::string line;
    size_t n = 0;
    while (std::getline(in, line)) {
      if (in.eof()) break;  // an unfinished line waits for its end
      log_offset_ += line.size() + 1;
      if (times.empty()) {
        parser_.CheckLogForEvents(&info_, line);
      } else if (auto event = parser_.Recognise(&info_, line)) {
        if (n < times.size()) event->time = times[n++];
        PostEvent(std::move(event));
      }
    }
    ASSERT_TRUE(tracker_->Settle(10000));
  }
  void Kill(const std::string& killer, const std::string& victim, mohsim::TSimWeapon weapon) {
    ASSERT_TRUE(sim_.Kill(killer, victim, weapon));
    FeedLog();
  }
  std::vector<std::string> Received(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& c : sim_.Commands())
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }
  bool WaitSaid(const std::string& text, size_t times = 1) {
    return WaitFor([&] { return Received("Say \"" + text + "\"").size() >= times; });
  }
  // Moves the clock and lets the kick worker run what became due.
  void Advance(int64_t ms) {
    clock_.Advance(ms);
    EXPECT_TRUE(WaitFor([&] { return kick_workers_.WorkerIdle(); }));
  }
  // Moves the clock half a second at a time, each time until the kick
  // worker has woken and run what became due, until mohsim has received
  // `kicks` kicks in all (at most 20 s on the clock: a kick waits its delay).
  bool KicksArrive(size_t kicks) {
    for (int step = 0; step < 40 && Received("clientkick ").size() < kicks; ++step) {
      const uint64_t before = kick_workers_.WorkerWakeups();
      clock_.Advance(500);
      if (!WaitFor([&] { return kick_workers_.WorkerWakeups() > before && kick_workers_.WorkerIdle(); }))
        return false;
    }
    return Received("clientkick ").size() == kicks;
  }
  int32_t Int(const std::string& nick, const std::string& name, bool visit = false) {
    auto h = History(nick);
    if (!h) return -12345;
    TVariant v;
    if (!(visit ? h->visit : h->persistent).TryGetValue(name, v) || v.IsEmptyOrNull()) return -12345;
    return v.AsInteger();
  }

  TWeaponClassifier classifier_;
  TServerLogEventChecker parser_{[this](std::string_view w) { return classifier_.Classify(w); },
                                 info_.Settings()};
  uint64_t log_offset_ = 0;
  TKickThreadList kick_workers_{runtime_};
  TBanWatch bans_{runtime_, kick_workers_};
  TSpreeLists sprees_;
  std::unique_ptr<TKillRules> rules_;
};

}  // namespace kv::testing
