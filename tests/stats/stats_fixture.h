// A player history store in a temporary home with a bus of its own, and the
// server state's history look-up over it, as the tracker installs it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "core/bus_scope.h"
#include "core/clock.h"
#include "domain/events.h"
#include "domain/serverinfo.h"
#include "enforcement/templates.h"
#include "players/history_record.h"
#include "players/history_store.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/temp_home.h"

namespace kv::testing {

class TStoreLookup : public THistoryLookup {
 public:
  explicit TStoreLookup(THUserList& store) : store_(store) {}
  int64_t UserCount() const override { return static_cast<int64_t>(store_.KnownCount()); }
  std::shared_ptr<const THistoryUserEntry> FindById(int32_t) const override { return nullptr; }
  std::shared_ptr<const THistoryUserEntry> FindByNick(const std::string& nick) const override {
    return store_.GetUserEntry(nick);
  }

 private:
  THUserList& store_;
};

using TValues = std::initializer_list<std::pair<const char*, TVariant>>;

// A hub of its own with the categories every run has.
struct TSystemBus {
  TBusScope scope{TBusScope::TCategories{}};
  TSystemBus() { RegisterSystemCategories(); }
};

class StatsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { SetHistoryLookup(info_, std::make_shared<TStoreLookup>(store_)); }
  void TearDown() override { SetHistoryLookup(info_, nullptr); }

  // A player as the tracker leaves him in his file.
  void AddPlayer(const std::string& nick, TValues values) {
    auto h = std::make_shared<THistoryUserEntry>();
    h->player.name = nick;
    for (const auto& v : values) h->persistent.SetValue(v.first, v.second);
    store_.AddUser(h);
    store_.FlushUsers();
  }

  TSystemBus bus_;
  TTempHome home_{"stats"};
  TManualClock clock_;
  THUserList store_{home_ / "Data" / "History", clock_};
  TMohaaServerInfo info_;
  TBusRecorder global_{{"GLOBAL"}};
};

}  // namespace kv::testing
