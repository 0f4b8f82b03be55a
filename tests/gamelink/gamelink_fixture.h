// Shared test support for the game link: a bus with the system categories,
// a settings store without a file, an in-process mohsim on a free loopback
// port, and a subscriber that keeps copies of the events it receives.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/bus_scope.h"
#include "domain/events.h"
#include "domain/serverinfo.h"
#include "domain/userlist.h"
#include "formats/config.h"
#include "gamelink/rcon.h"
#include "gamelink/userinfo.h"
#include "tools/mohsim/mohsim.h"

namespace kv::testing {

// Keeps a clone of every event of the given kinds, in arrival order.
class TEventCapture {
 public:
  explicit TEventCapture(std::initializer_list<int> kinds) : monitor_(MakeThread<TMsgMonitor>(false)) {
    for (int k : kinds) monitor_->AddCategory(EventCategory(k));
    monitor_->SetLevelHandler(
        mlInformation, [this](const std::string&, const std::string&, TMsgData& data, uint8_t) {
          const auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data);
          const auto* event = object ? dynamic_cast<const TMohaaEvent*>(object->get()) : nullptr;
          if (!event) return;
          std::lock_guard lock(mutex_);
          events_.push_back(CloneEvent(event));
          cv_.notify_all();
        });
    GetMonitorInterface()->AddMonitor(monitor_.get());
  }
  ~TEventCapture() { monitor_->Stop(); }

  // Waits until at least n events arrived; false after timeout_ms.
  bool WaitCount(size_t n, int64_t timeout_ms = 5000) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return events_.size() >= n; });
  }
  size_t Count() {
    std::lock_guard lock(mutex_);
    return events_.size();
  }
  // A copy of event i (kind and text; the player list when it had one).
  std::unique_ptr<TMohaaEvent> At(size_t i) {
    std::lock_guard lock(mutex_);
    return CloneEvent(events_.at(i).get());
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<TMohaaEvent>> events_;
  TThreadPtr<TMsgMonitor> monitor_;
};

// A bus with the system categories, a file-less settings store, and a
// simulated game server with the password "secret".
class GameLinkTest : public ::testing::Test {
 protected:
  GameLinkTest() : scope_({{"GLOBAL", kDataPointer}}), config_(nullptr), sim_("secret") {
    RegisterSystemCategories();
    SetConfig(&config_);
    std::string error;
    if (!sim_.Listen(0, error)) ADD_FAILURE() << error;
    info_.SetServerHost("127.0.0.1");
    info_.rcon.Update([&](TRconSettings& r) { r.port = std::to_string(sim_.Port()); });
    info_.rcon.Update([&](TRconSettings& r) { r.password = "secret"; });
  }
  ~GameLinkTest() override {
    sim_.Stop();
    SetRconReplySink(nullptr);
    SetServerIdentitySource(nullptr);
    SetRconTerminating(false);
    WithCurrentList([](std::unique_ptr<TUserList>& current) { current.reset(); });
    SetConfig(nullptr);
  }

  TBusScope scope_;
  TDynamicConfigData config_;
  mohsim::TMohSim sim_;
  TMohaaServerInfo info_;
};

}  // namespace kv::testing
