// Test support for every folder: a bus of its own per test (TBusScope) and a
// subscriber that records what was posted (TBusRecorder).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/bus_hub.h"
#include "core/bus_monitor.h"
#include "core/mainloop.h"

namespace kv {

// Creates and publishes a hub with the given categories, and — when no main
// loop is installed — a main loop on a thread of its own, installed for the
// scope's lifetime. The destructor stops the hub, then the loop.
class TBusScope {
 public:
  using TCategories = std::vector<std::pair<std::string, int32_t>>;
  explicit TBusScope(const TCategories& categories = {{"GLOBAL", kDataPointer}});
  ~TBusScope();
  TBusScope(const TBusScope&) = delete;
  TBusScope& operator=(const TBusScope&) = delete;

  TMsgMonitorInterface& Hub() { return *hub_; }
  TMainLoop& Loop() { return *loop_; }

 private:
  std::unique_ptr<TMainLoop> own_loop_;
  TMainLoop* loop_ = nullptr;
  std::shared_ptr<TMsgMonitorInterface> hub_;
};

struct TRecordedMessage {
  std::string category;  // as the recorder spells it
  std::string text;      // unformatted
  uint8_t level = 0;
};

// A subscriber of the published hub that keeps every message of the given
// categories (all categories when none are given), at every level.
class TBusRecorder {
 public:
  explicit TBusRecorder(const std::vector<std::string>& categories = {});
  ~TBusRecorder();

  std::vector<TRecordedMessage> Messages() const;
  // Waits until a recorded message satisfies `match`, at most timeout_ms.
  bool WaitFor(const std::function<bool(const TRecordedMessage&)>& match, int64_t timeout_ms = 5000);
  bool WaitForText(const std::string& text, int64_t timeout_ms = 5000);
  size_t CountText(const std::string& text) const;
  TMsgMonitor& Monitor() { return *monitor_; }

 private:
  mutable std::mutex mutex_;  // guards messages_
  std::condition_variable cv_;
  std::vector<TRecordedMessage> messages_;
  TThreadPtr<TMsgMonitor> monitor_;
};

}  // namespace kv
