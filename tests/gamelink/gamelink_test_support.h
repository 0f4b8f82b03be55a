// Shared fixtures of the game-link tests: a bus with every event category,
// a subscriber that keeps the events it receives, and the current player
// list set from names.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/bus_monitor.h"
#include "core/bus_scope.h"
#include "domain/domain.h"
#include "domain/events.h"
#include "domain/userlist.h"

namespace kv::test {

inline TBusScope::TCategories AllEventCategories() {
  TBusScope::TCategories c{{"GLOBAL", kDataPointer}};
  for (int k = 0; k < kEventKindCount; ++k) c.emplace_back(EventCategory(k), kDataObject);
  return c;
}

// Keeps every event posted under the given categories, in delivery order.
class TEventSink {
 public:
  explicit TEventSink(const std::vector<std::string>& categories) : monitor_(MakeThread<TMsgMonitor>(false)) {
    for (const auto& c : categories) monitor_->AddCategory(c);
    monitor_->SetLevelHandler(mlInformation,
                              [this](const std::string&, const std::string&, TMsgData& data, uint8_t) {
                                auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data);
                                if (!object) return;
                                auto event = std::dynamic_pointer_cast<TMohaaEvent>(*object);
                                if (!event) return;
                                std::lock_guard lock(mutex_);
                                events_.push_back(std::move(event));
                                cv_.notify_all();
                              });
    GetMonitorInterface()->AddMonitor(monitor_.get());
  }
  ~TEventSink() { monitor_->Stop(); }

  bool WaitCount(size_t n, int64_t timeout_ms = 5000) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return events_.size() >= n; });
  }
  // Waits until the events received so far satisfy `done`.
  template <typename Pred>
  bool WaitUntil(Pred done, int64_t timeout_ms = 5000) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done(events_); });
  }
  std::vector<std::shared_ptr<TMohaaEvent>> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  size_t Count() {
    std::lock_guard lock(mutex_);
    return events_.size();
  }
  // Waits until everything posted so far has reached the sink.
  bool Flush(int64_t timeout_ms = 5000) {
    return GetMonitorInterface()->Flush(timeout_ms) && monitor_->Flush(timeout_ms);
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::shared_ptr<TMohaaEvent>> events_;
  TThreadPtr<TMsgMonitor> monitor_;
};

// Installs a current player list (name, client number) for the scope and
// removes it afterwards.
class TCurrentPlayers {
 public:
  explicit TCurrentPlayers(const std::vector<std::pair<std::string, int>>& players) { Set(players); }
  ~TCurrentPlayers() {
    WithCurrentList([](std::unique_ptr<TUserList>& slot) { slot.reset(); });
  }
  static void Set(const std::vector<std::pair<std::string, int>>& players) {
    auto list = std::make_unique<TUserList>();
    for (const auto& [name, number] : players) {
      TUserListEntry row;
      row.name = name;
      row.client_number = number;
      row.address = "10.0.0." + std::to_string(number);
      list->Add(row);
    }
    WithCurrentList([&](std::unique_ptr<TUserList>& slot) { slot = std::move(list); });
  }
};

}  // namespace kv::test
