// A bus of its own for one scope (tests, benchmarks): a hub and, when none
// runs yet, a main loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/bus_hub.h"
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

}  // namespace kv
