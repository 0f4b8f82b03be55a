// A tracker on a real history store in a temporary home, fed by real status
// polls of an in-process mohsim over loopback UDP, on a manual clock; kicks
// are recorded.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "domain/userlist.h"
#include "formats/config.h"
#include "gamelink/rcon.h"
#include "gamelink/userinfo.h"
#include "players/history_store.h"
#include "players/tracker.h"
#include "tests/support/event_recorder.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"

namespace kv::testing {

class TrackerTest : public ::testing::Test {
 protected:
  TrackerTest()
      : scope_({{"GLOBAL", kDataPointer}}),
        config_(nullptr),
        sim_(sim_home_.Sim()),
        commands_(scope_.Loop()),
        runtime_{home_.Path(), clock_, scope_.Loop(), config_, registry_, info_, commands_} {
    SetClock(&clock_);
    RegisterSystemCategories();
    info_.UseConfig(&config_);
    if (!sim_home_.Started()) ADD_FAILURE() << sim_home_.Error();
    info_.SetServerHost("127.0.0.1");
    info_.rcon.Update([&](TRconSettings& r) {
      r.port = std::to_string(sim_.Port());
      r.password = "secret";
    });
  }
  ~TrackerTest() override {
    if (tracker_) tracker_->Close();
    tracker_.reset();
    store_.reset();
    sim_.Stop();
    info_.players.With([](std::unique_ptr<TUserList>& current) { current.reset(); });
    info_.UseConfig(nullptr);
    SetClock(nullptr);
  }

  // A store and tracker (again: as after a restart) with these settings.
  void OpenTracker(TTrackerSettings settings = {}, TRconQueryFn query = {}) {
    if (tracker_) tracker_->Close();
    tracker_.reset();
    store_.reset();
    store_ = std::make_unique<THUserList>(home_ / "Data" / "History", clock_);
    store_->RefreshKnownUsers();
    tracker_ = std::make_unique<THistoryUserList>(
        runtime_, *store_,
        [this](const TKickRequest& k) {
          {
            std::lock_guard lock(kicks_mutex_);
            kicks_.push_back(k);
          }
          return !kick_through_ || kick_through_(k);
        },
        std::move(query));
    tracker_->ApplySettings(settings);
    tracker_->Open();
  }
  // One real status poll, handled to the end.
  void Poll() {
    std::string problem;
    ASSERT_TRUE(GetNewUserList(info_, &problem)) << problem;
    ASSERT_TRUE(tracker_->Settle(10000));
  }
  // A list the status poll would publish, posted directly (rows the sim
  // cannot produce: equal names, hundreds of clients).
  void PostList(const std::vector<TUserListEntry>& rows, const std::string& map = "dm/mohdm6") {
    auto event = std::make_shared<TMohaaEvent>(ekNewUserList);
    event->player_list = std::make_unique<TUserList>();
    event->player_list->map_name = map;
    for (auto row : rows) {
      row.map = map;
      event->player_list->Add(row);
    }
    PostEvent(std::move(event));
  }
  static TUserListEntry Row(int32_t client, const std::string& name, const std::string& address,
                            int32_t qport = 1000, int32_t ping = 50) {
    TUserListEntry r;
    r.client_number = client;
    r.name = name;
    r.address = address;
    r.qport = qport;
    r.ping = ping;
    r.rate = 25000;
    return r;
  }
  THUserList::THistoryPtr History(const std::string& nick) { return store_->GetUserEntry(nick); }
  TVariant Var(const std::string& nick, const std::string& name) {
    auto h = History(nick);
    return h ? h->persistent.GetValue(name) : TVariant();
  }
  std::vector<TKickRequest> Kicks() {
    std::lock_guard lock(kicks_mutex_);
    return kicks_;
  }
  void AdvanceMinutes(int minutes) { clock_.Advance(int64_t{minutes} * 60'000); }

  TManualClock clock_;
  TBusScope scope_;
  TDynamicConfigData config_;
  TTempHome home_{"tracker"};
  TSimHome sim_home_{"secret"};
  mohsim::TMohSim& sim_;
  TMohaaServerInfo info_;
  TDataFileRegistry registry_;
  TCommandTable commands_;
  TRuntime runtime_;
  std::unique_ptr<THUserList> store_;
  std::unique_ptr<THistoryUserList> tracker_;
  std::mutex kicks_mutex_;
  std::vector<TKickRequest> kicks_;
  TKickFn kick_through_;  // where recorded kicks go on to, when set
};

inline double Minutes(int m) { return m / (24.0 * 60.0); }

}  // namespace kv::testing
