// The player checks on a real tracker and history store, fed by status polls
// of an in-process mohsim over loopback UDP (or lists posted directly), on
// a manual clock. Kicks go to a recording kicker unless a test asks for the
// real kick workers.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "enforcement/banlist.h"
#include "enforcement/kicks.h"
#include "rules/checks.h"
#include "tests/players/tracker_fixture.h"
#include "tests/support/wait.h"

namespace kv::testing {

// Records kicks; refuses a client whose kick is "under way" (recorded and
// not yet released), as the kick registry does.
class TRecordingKicker : public TKicker {
 public:
  struct TKick {
    int32_t client = 0, repetitions = 0, delay = 0;
    TReplaceArray extra;
    std::string message;
  };
  bool AddKickThread(int32_t client, int32_t repetitions, int32_t delay, const TReplaceArray& extra,
                     const std::string& message) override {
    std::lock_guard lock(mutex_);
    if (!pending_.insert(client).second) return false;
    kicks_.push_back({client, repetitions, delay, extra, message});
    return true;
  }
  bool IsKickPending(int32_t client) const override {
    std::lock_guard lock(mutex_);
    return pending_.count(client) > 0;
  }
  std::vector<TKick> Kicks() const {
    std::lock_guard lock(mutex_);
    return kicks_;
  }
  void Release() {  // every kick done
    std::lock_guard lock(mutex_);
    pending_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<TKick> kicks_;
  std::set<int32_t> pending_;
};

inline std::string Extra(const TReplaceArray& extra, const std::string& placeholder) {
  for (const auto& r : extra)
    if (r.placeholder == placeholder) return r.value;
  return "<none>";
}

class ChecksTest : public TrackerTest {
 protected:
  ~ChecksTest() override { CloseChecks(); }

  // The catalogue's defaults (the INI of the test), changed by `change`.
  TChecksSettings Defaults() {
    TSettings s(config_, home_.Path());
    return ReadChecksSettings(s, nullptr);
  }
  // A store, tracker and checks (again: as after a restart). The checks
  // plug into the tracker before it opens.
  void OpenChecks(TChecksSettings settings, TKicker* kicker = nullptr, TRconQueryFn query = {},
                  TTrackerSettings tracker_settings = {}) {
    CloseChecks();
    if (tracker_) tracker_->Close();
    tracker_.reset();
    store_.reset();
    store_ = std::make_unique<THUserList>(home_ / "Data" / "History", clock_);
    store_->RefreshKnownUsers();
    tracker_ = std::make_unique<THistoryUserList>(runtime_, *store_, KickThrough(kicker ? *kicker : kicker_));
    tracker_settings.ping_measure_count = settings.ping.measure_count;
    tracker_settings.use_team_messages = settings.use_team_messages;
    checks_ = std::make_unique<TPlayerChecks>(runtime_, *tracker_, kicker ? *kicker : kicker_, &bans_,
                                              std::move(query));
    checks_->ApplySettings(std::move(settings));
    tracker_->ApplySettings(tracker_settings);
    tracker_->Open();
    checks_->Open();
  }
  void CloseChecks() {
    if (checks_) checks_->Close();
    if (tracker_) tracker_->Close();
    checks_.reset();
  }
  // Posts a list and waits until the tracker, the checks' worker and the
  // answers it sent back are all done.
  void List(const std::vector<TUserListEntry>& rows) {
    PostList(rows);
    Settle();
  }
  void Settle() {
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(tracker_->Settle(10000));
      ASSERT_TRUE(checks_->WaitWorkerIdle(10000));
    }
    ASSERT_TRUE(tracker_->WaitIdle(10000));
  }
  // A log event naming one player, at `when` (days).
  void PostPlayerEvent(uint8_t kind, const TUserListEntry& who, double when, int team = -1) {
    auto e = std::make_shared<TMohaaEvent>(kind);
    e->time = when;
    e->log_entry = std::make_unique<TLogEntry>();
    e->log_entry->first_player = who;
    if (team >= 0) e->variables.SetValue("Team", TVariant(int32_t{team}));
    PostEvent(std::move(e));
  }
  // A variable of the visit / the persistent ones; empty when missing.
  TVariant Visit(const std::string& nick, const std::string& name) {
    TVariant v;
    if (auto h = History(nick)) h->visit.TryGetValue(name, v);
    return v;
  }
  TVariant Stored(const std::string& nick, const std::string& name) {
    TVariant v;
    if (auto h = History(nick)) h->persistent.TryGetValue(name, v);
    return v;
  }

  TRecordingKicker kicker_;
  TBanList bans_{clock_};
  std::unique_ptr<TPlayerChecks> checks_;
};

}  // namespace kv::testing
