#include "core/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "tests/support/wait.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using TRealClock = std::chrono::steady_clock;

// Installs a manual clock for one test, whatever way the test ends.
struct TClockScope {
  TManualClock clock;
  TClockScope() { SetClock(&clock); }
  ~TClockScope() { SetClock(nullptr); }
};

// A thread that waits on a condition until a deadline for a predicate that
// holds only once the waiter is released; it counts its looks. Released at
// destruction, so a failing check never leaves the test blocked.
class TWaiter {
 public:
  explicit TWaiter(int64_t deadline_ms)
      : result_(std::async(std::launch::async, [this, deadline_ms] {
          std::unique_lock lock(mutex_);
          const bool met = cond_.WaitUntil(lock, deadline_ms, [this] {
            ++checks_;
            return released_.load();
          });
          return std::make_pair(met, SteadyMs());
        })) {}
  ~TWaiter() {
    released_ = true;
    cond_.NotifyAll();
  }
  int Checks() const { return checks_; }
  bool Ended(std::chrono::milliseconds within) {
    return result_.wait_for(within) == std::future_status::ready;
  }
  // {predicate held, clock time when the wait ended}
  std::pair<bool, int64_t> Result() { return result_.get(); }

 private:
  std::mutex mutex_;
  TClockCondition cond_;
  std::atomic<int> checks_{0};
  std::atomic<bool> released_{false};
  std::future<std::pair<bool, int64_t>> result_;
};

TEST(ClockCondition, AWaiterOnTheManualClockLooksOnlyWhenTheClockMoves) {
  TClockScope scope;
  const int64_t deadline = SteadyMs() + 1000;
  TWaiter waiter(deadline);
  ASSERT_TRUE(testing::WaitFor([&] { return waiter.Checks() >= 1; }));
  scope.clock.Advance(999);
  // The move woke it; it looked once and went back to sleep without a
  // time-out of its own.
  ASSERT_TRUE(testing::WaitFor([&] { return waiter.Checks() >= 2; }));
  EXPECT_FALSE(waiter.Ended(50ms));
  EXPECT_EQ(waiter.Checks(), 2);
  scope.clock.Advance(1);
  ASSERT_TRUE(waiter.Ended(5s));
  const auto result = waiter.Result();
  EXPECT_FALSE(result.first);
  EXPECT_EQ(result.second, deadline);  // it ended at the deadline, not before
}

TEST(ClockCondition, NotifyAllEndsAWaitWhosePredicateHolds) {
  for (const bool manual : {false, true}) {
    SCOPED_TRACE(manual ? "manual clock" : "system clock");
    TManualClock clock;
    if (manual) SetClock(&clock);
    TClockCondition cond;
    std::mutex mutex;
    bool ready = false;
    auto waiter = std::async(std::launch::async, [&] {
      std::unique_lock lock(mutex);
      return cond.WaitFor(lock, 60'000, [&] { return ready; });
    });
    {
      std::lock_guard lock(mutex);
      ready = true;
    }
    cond.NotifyAll();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    SetClock(nullptr);
  }
}

TEST(ClockCondition, DeadlinesInRealTime) {
  TClockCondition cond;
  std::mutex mutex;
  std::unique_lock lock(mutex);
  auto never = [] { return false; };
  // On the system clock the clock deadline is a real one.
  auto start = TRealClock::now();
  EXPECT_FALSE(cond.WaitFor(lock, 30, never));
  EXPECT_GE(TRealClock::now() - start, 30ms);
  // On a manual clock only the real limit ends a wait the clock never ends.
  TClockScope scope;
  start = TRealClock::now();
  EXPECT_FALSE(cond.WaitUntil(lock, SteadyMs() + 1, start + 30ms, never));
  EXPECT_GE(TRealClock::now() - start, 30ms);
}

TEST(ClockCondition, InstallingAClockWakesWaitersOnTheOldOne) {
  const int64_t deadline = SteadyMs() + 60'000;  // system clock: a minute away
  TManualClock later(45000.5, deadline + 1);     // already past it
  {
    TWaiter waiter(deadline);
    ASSERT_TRUE(testing::WaitFor([&] { return waiter.Checks() >= 1; }));
    SetClock(&later);
    EXPECT_TRUE(waiter.Ended(5s));
  }
  SetClock(nullptr);
}

}  // namespace
}  // namespace kv
