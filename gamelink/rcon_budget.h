// The rcon budget: the game server answers a burst of requests from one
// address and then about one per second, and drops the rest without a word.
// Every rcon request of one service takes a token from one shared bucket,
// kicks and operator commands before messages, messages before polls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <utility>

#include "core/clock.h"
#include "core/shutdown_flag.h"
#include "core/thread_annotations.h"

namespace kv {

// Who waits first when tokens are short. Lower values go first.
enum TRconPriority : int {
  rpCommand = 0,  // kicks, bans, operator and remote-administrator commands
  rpMessage = 1,  // console messages to the players
  rpPoll = 2,     // status polls and skin scans: the next one comes anyway
};

// Defaults a little under the server's own limit (10, then 1 per second),
// so the requests of other tools on the same address and network jitter
// do not push ours over it.
inline constexpr int32_t kRconBurstDefault = 8;
inline constexpr int32_t kRconRatePerMinuteDefault = 60;
// The longest a request waits for its turn before it is given up.
inline constexpr int64_t kRconBudgetMaxWaitMs = 30'000;
inline constexpr const char* kRconBudgetText =
    "Rcon request not sent: no turn within the server's rate limit";

// A token bucket with a queue ordered by priority, then by arrival. Time is
// read from the injectable clock. Thread-safe; its lock is a leaf.
class TRconBudget {
 public:
  // burst <= 0 or per_minute <= 0: no limit at all. A set `shutdown` (the
  // server state's rcon_terminating; it outlives the budget) ends every wait.
  TRconBudget(int32_t burst = kRconBurstDefault, int32_t per_minute = kRconRatePerMinuteDefault,
              const TShutdownFlag* shutdown = nullptr);
  TRconBudget(const TRconBudget&) = delete;
  TRconBudget& operator=(const TRconBudget&) = delete;

  // Takes new limits (a changed setting applies from the next request); the
  // tokens left are kept, but never more than the new burst. Any thread.
  void Configure(int32_t burst, int32_t per_minute);
  // Waits until no request of a higher priority (or an earlier one of the
  // same) is waiting and a token is free, and takes it. False when max_wait_ms
  // passed first, at the service's shutdown, or after Cancel. Any thread.
  bool Acquire(TRconPriority priority, int64_t max_wait_ms = kRconBudgetMaxWaitMs);
  // Ends every wait with false and refuses all later requests. Any thread.
  void Cancel();
  // Whole tokens free now, and requests waiting (for the debug view and tests).
  int32_t Available();
  size_t Waiting();
  // How many times a waiter has looked again after sleeping (tests and
  // diagnostics).
  uint64_t Wakeups();

 private:
  bool Unlimited() const REQUIRES(mutex_) { return burst_ <= 0 || per_minute_ <= 0; }
  bool Terminating() const { return shutdown_ && shutdown_->IsSet(); }

  const TShutdownFlag* const shutdown_;
  void Refill(int64_t now_ms) REQUIRES(mutex_);

  TMutex mutex_;  // guards everything below
  // Waiters sleep until their token is due on the injectable clock, until
  // the queue or the limits change (changes_), Cancel, or shutdown.
  TClockCondition cv_;
  uint64_t changes_ GUARDED_BY(mutex_) = 0;
  uint64_t wakeups_ GUARDED_BY(mutex_) = 0;
  int32_t burst_ GUARDED_BY(mutex_);
  int32_t per_minute_ GUARDED_BY(mutex_);
  double tokens_ GUARDED_BY(mutex_);
  int64_t refilled_at_ GUARDED_BY(mutex_);
  bool cancelled_ GUARDED_BY(mutex_) = false;
  uint64_t next_ticket_ GUARDED_BY(mutex_) = 0;
  // (priority, ticket): the first one goes next
  std::set<std::pair<int, uint64_t>> waiting_ GUARDED_BY(mutex_);
};

}  // namespace kv
