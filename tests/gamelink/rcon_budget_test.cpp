#include "gamelink/rcon_budget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "gamelink/rcon.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

// The budget on a manual clock: tokens come only when the test moves time.
class RconBudgetTest : public ::testing::Test {
 protected:
  RconBudgetTest() { SetClock(&clock_); }
  ~RconBudgetTest() override {
    for (auto& t : waiters_) t.join();
    SetClock(nullptr);
  }

  // Starts a waiter and returns once it is queued.
  void Wait(TRconBudget& budget, TRconPriority priority, const char* name, int64_t max_wait_ms = 60'000) {
    const size_t queued = budget.Waiting();
    waiters_.emplace_back([&budget, priority, name, max_wait_ms, this] {
      const bool granted = budget.Acquire(priority, max_wait_ms);
      std::lock_guard lock(mutex_);
      outcomes_.push_back(std::string(name) + (granted ? "" : " refused"));
    });
    testing::WaitFor([&] { return budget.Waiting() != queued; });
    ASSERT_EQ(budget.Waiting(), queued + 1);
  }
  // The outcomes so far, once there are n of them (bounded real wait).
  std::vector<std::string> Outcomes(size_t n) {
    testing::WaitFor([&] {
      std::lock_guard lock(mutex_);
      return outcomes_.size() >= n;
    });
    std::lock_guard lock(mutex_);
    return outcomes_;
  }

  TManualClock clock_;
  std::vector<std::thread> waiters_;
  std::mutex mutex_;
  std::vector<std::string> outcomes_;
};

TEST_F(RconBudgetTest, BurstThenOneTokenPerPeriodNeverMoreThanTheBurst) {
  TRconBudget budget(3, 60);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(budget.Acquire(rpCommand, 0)) << i;
  EXPECT_FALSE(budget.Acquire(rpCommand, 0));
  clock_.Advance(999);
  EXPECT_FALSE(budget.Acquire(rpCommand, 0));
  clock_.Advance(1);
  EXPECT_TRUE(budget.Acquire(rpCommand, 0));
  clock_.Advance(3'600'000);  // an idle hour saves up no more than the burst
  EXPECT_EQ(budget.Available(), 3);
  // A smaller burst applies at once; a rate of 120 a minute is one token each 500 ms.
  budget.Configure(2, 120);
  EXPECT_EQ(budget.Available(), 2);
  EXPECT_TRUE(budget.Acquire(rpPoll, 0));
  EXPECT_TRUE(budget.Acquire(rpPoll, 0));
  clock_.Advance(500);
  EXPECT_TRUE(budget.Acquire(rpPoll, 0));
  // No limit at all.
  budget.Configure(0, 60);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(budget.Acquire(rpPoll, 0));
}

TEST_F(RconBudgetTest, WaitersGoByPriorityThenArrival) {
  TRconBudget budget(1, 60);
  ASSERT_TRUE(budget.Acquire(rpCommand, 0));
  // Polls and a message queue first; kicks that come later still go first.
  Wait(budget, rpPoll, "poll 1");
  Wait(budget, rpMessage, "message");
  Wait(budget, rpPoll, "poll 2");
  Wait(budget, rpCommand, "kick 1");
  Wait(budget, rpCommand, "kick 2");
  const std::vector<std::string> order = {"kick 1", "kick 2", "message", "poll 1", "poll 2"};
  for (size_t i = 0; i < order.size(); ++i) {
    clock_.Advance(1000);
    const auto outcomes = Outcomes(i + 1);
    ASSERT_EQ(outcomes.size(), i + 1);
    EXPECT_EQ(outcomes.back(), order[i]);
  }
  EXPECT_EQ(budget.Waiting(), 0u);
}

// A waiter sleeps until its token is due on the clock: no look in between,
// however long real time it waits.
TEST_F(RconBudgetTest, WaiterSleepsUntilItsTokenIsDue) {
  TRconBudget budget(1, 60);
  ASSERT_TRUE(budget.Acquire(rpCommand, 0));
  Wait(budget, rpCommand, "kick");
  const uint64_t asleep = budget.Wakeups();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a looker would look many times here
  EXPECT_EQ(budget.Wakeups(), asleep);
  clock_.Advance(999);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (budget.Wakeups() == asleep && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(Outcomes(0).size(), 0u);  // it looked at the new time: not yet
  clock_.Advance(1);
  EXPECT_EQ(Outcomes(1), std::vector<std::string>{"kick"});
}

TEST_F(RconBudgetTest, WaitIsBoundedAndEndsAtShutdownOrCancel) {
  TShutdownFlag shutdown;
  TRconBudget budget(1, 1, &shutdown);  // one token a minute
  ASSERT_TRUE(budget.Acquire(rpCommand, 0));
  Wait(budget, rpPoll, "poll", 5'000);
  Wait(budget, rpCommand, "kick", 30'000);
  clock_.Advance(4'000);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // time to notice, were there anything
  EXPECT_EQ(Outcomes(0).size(), 0u);
  // The poll's bound passes first; the kick keeps waiting for its own.
  clock_.Advance(1'500);
  EXPECT_EQ(Outcomes(1), std::vector<std::string>{"poll refused"});
  shutdown.Set(true);
  EXPECT_EQ(Outcomes(2).back(), "kick refused");
  shutdown.Set(false);

  Wait(budget, rpMessage, "message");
  budget.Cancel();
  EXPECT_EQ(Outcomes(3).back(), "message refused");
  EXPECT_FALSE(budget.Acquire(rpCommand, 0));  // and stays closed
}

}  // namespace
}  // namespace kv
