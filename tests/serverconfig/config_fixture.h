// Shared rig of the configuration-set tests: the game-link fixture (bus,
// settings store, mohsim on loopback) with a runtime on a manual clock and
// one configuration list, and helpers to build sets and drive the worker's
// waits on the clock.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "core/mainloop.h"
#include "domain/runtime.h"
#include "serverconfig/configlist.h"
#include "tests/gamelink/gamelink_fixture.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv::testing {

using TSetValues = std::vector<std::pair<std::string, TVariant>>;

inline TVarList MakeSet(const TSetValues& values) {
  TVarList set;
  for (const auto& [name, value] : values) set.SetValue(name, value);
  return set;
}

class ConfigRig : public GameLinkTest {
 protected:
  ConfigRig() {
    SetClock(&clock_);
    config_.SetInteger("UDPTimeOut", 1);
    list_.RegisterDataFiles(registry_);
    list_.RegisterCommands(commands_);
  }
  ~ConfigRig() override {
    list_.Close();  // before the simulator and the clock go
    SetClock(nullptr);
  }

  // The commands the server received that start with `prefix`.
  std::vector<std::string> Received(const std::string& prefix = {}) const {
    std::vector<std::string> out;
    for (const auto& c : sim_.Commands())
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }

  // Moves the clock in steps whenever the worker waits on it, until the
  // activation has ended; false when it is still busy after `limit_ms` of
  // clock time or 20 s of real time.
  bool Drive(int64_t step_ms = 500, int64_t limit_ms = 600'000) {
    int64_t moved = 0;
    for (;;) {
      if (!WaitFor([&] { return !list_.Busy() || list_.WorkerWaiting(); }, 20'000)) return false;
      if (!list_.Busy()) return true;
      if (moved >= limit_ms) return false;
      Advance(step_ms);
      moved += step_ms;
    }
  }
  // Moves the clock and waits until the worker has looked at it.
  void Advance(int64_t ms) {
    const uint64_t seen = list_.WorkerWakeups();
    clock_.Advance(ms);
    EXPECT_TRUE(WaitFor([&] { return list_.WorkerWakeups() > seen || !list_.WorkerWaiting(); }));
  }

  TManualClock clock_;
  TTempHome home_;
  TMainLoop loop_;
  TDataFileRegistry registry_;
  TCommandTable commands_{loop_};
  TRuntime runtime_{home_.Path(), clock_, loop_, config_, registry_, info_, commands_};
  TBusRecorder global_{{"GLOBAL"}};
  int reapplied_ = 0;
  TMohaaConfigList list_{runtime_, [this] { ++reapplied_; }};
};

}  // namespace kv::testing
