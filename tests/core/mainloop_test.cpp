#include "core/mainloop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/threads.h"
#include "tests/support/bus_recorder.h"

namespace kv {
namespace {

using testing::TBusRecorder;
using testing::TRecordedMessage;

using namespace std::chrono_literals;

class MainLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { loop_.StartThread(); }
  TMainLoop loop_;
};

TEST_F(MainLoopTest, PostRunsInOrderOnTheLoopThread) {
  std::vector<int> seen;
  std::atomic<bool> on_loop{true};
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(loop_.Post([&, i] {
      seen.push_back(i);
      if (!loop_.IsLoopThread()) on_loop = false;
    }));
  }
  ASSERT_TRUE(loop_.Invoke([] {}));  // everything posted before has run
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_TRUE(on_loop);
  EXPECT_FALSE(loop_.IsLoopThread());
}

TEST_F(MainLoopTest, InvokeWaitsRethrowsAndRunsInlineOnTheLoop) {
  int value = 0;
  ASSERT_TRUE(loop_.Invoke([&] { value = 42; }));
  EXPECT_EQ(value, 42);
  EXPECT_THROW(loop_.Invoke([] { throw std::runtime_error("x"); }), std::runtime_error);
  // A nested Invoke from the loop thread itself must not wait for itself.
  bool inner = false;
  ASSERT_TRUE(loop_.Invoke([&] { EXPECT_TRUE(loop_.Invoke([&] { inner = true; })); }));
  EXPECT_TRUE(inner);
}

TEST_F(MainLoopTest, StopReleasesPendingInvokesAndRefusesLaterWork) {
  std::promise<void> entered, release;
  auto release_f = release.get_future().share();
  // The task outlives this body (the loop is joined afterwards): it keeps
  // its own handle on the release signal.
  ASSERT_TRUE(loop_.Post([&entered, release_f] {
    entered.set_value();
    release_f.wait();
  }));
  entered.get_future().wait();
  // Queued behind the blocked task; Stop drops it and the caller returns.
  auto pending =
      std::async(std::launch::async, [&] { return loop_.Invoke([] { FAIL() << "ran after Stop"; }); });
  // Stop is safe before the pending Invoke has queued: it then gets false at once.
  loop_.Stop();
  ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(pending.get());
  release.set_value();
  EXPECT_FALSE(loop_.Post([] {}));
  EXPECT_FALSE(loop_.Invoke([] {}));
}

// Installs a manual clock for one test, whatever way the test ends.
struct TClockScope {
  TManualClock clock;
  TClockScope() { SetClock(&clock); }
  ~TClockScope() { SetClock(nullptr); }
};

TEST(MainLoopTimers, TimersFollowTheManualClock) {
  TClockScope scope;  // outlives the loop, which reads it
  TManualClock& clock = scope.clock;
  TMainLoop loop;
  loop.StartThread();
  std::atomic<int> fired{0};
  const auto id = loop.AddTimer(1000, [&] { ++fired; });
  auto settle = [&] { ASSERT_TRUE(loop.Invoke([] {})); };  // due timers run before tasks
  clock.Advance(999);
  settle();
  EXPECT_EQ(fired.load(), 0);
  clock.Advance(1);
  settle();
  EXPECT_EQ(fired.load(), 1);
  // Late by several intervals: runs once, then one interval from now.
  clock.Advance(5500);
  settle();
  EXPECT_EQ(fired.load(), 2);
  clock.Advance(999);
  settle();
  EXPECT_EQ(fired.load(), 2);
  clock.Advance(1);
  settle();
  EXPECT_EQ(fired.load(), 3);
  loop.RemoveTimer(id);
  clock.Advance(10000);
  settle();
  EXPECT_EQ(fired.load(), 3);
  loop.Stop();
}

// The loop sleeps until work or a due timer; Wakeups() counts each time it
// comes back from sleeping.
TEST(MainLoopTimers, AnIdleLoopOnTheManualClockWakesOnlyForTheDueTimer) {
  TClockScope scope;
  TMainLoop loop;
  loop.StartThread();
  std::promise<void> fired;
  loop.AddTimer(1000, [&fired, n = 0]() mutable {
    if (n++ == 0) fired.set_value();
  });
  ASSERT_TRUE(loop.Invoke([] {}));
  const uint64_t before = loop.Wakeups();
  std::this_thread::sleep_for(50ms);  // time in which a polling loop would look
  EXPECT_EQ(loop.Wakeups(), before);
  scope.clock.Advance(999);
  scope.clock.Advance(1);
  ASSERT_EQ(fired.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(loop.Wakeups(), before + 1);
  loop.Stop();
}

TEST(MainLoopTimers, AnIdleLoopOnTheSystemClockSleepsUntilATimerIsAdded) {
  TMainLoop loop;
  loop.StartThread();
  loop.AddTimer(60'000, [] {});
  ASSERT_TRUE(loop.Invoke([] {}));
  const uint64_t before = loop.Wakeups();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(loop.Wakeups(), before);
  // Added from another thread while the loop sleeps towards the far timer.
  std::promise<void> fired;
  loop.AddTimer(20, [&fired, n = 0]() mutable {
    if (n++ == 0) fired.set_value();
  });
  EXPECT_EQ(fired.get_future().wait_for(5s), std::future_status::ready);
  loop.Stop();
}

TEST(MainLoopRun, RunsOnTheCallingThreadUntilStopped) {
  TMainLoop loop;
  std::thread::id ran_on;
  ASSERT_TRUE(loop.Post([&] {
    ran_on = std::this_thread::get_id();
    loop.Stop();
  }));
  loop.Run();  // returns because the task stopped the loop
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST_F(MainLoopTest, RunUntilKeepsTheLoopServingWhileItWaits) {
  // A worker that needs the loop (Invoke) while the loop thread waits for it.
  std::atomic<bool> worker_done{false};
  bool waited = false;
  ASSERT_TRUE(loop_.Invoke([&] {
    std::thread worker([&] {
      loop_.Invoke([] {});
      worker_done = true;
      loop_.Wake();
    });
    waited = loop_.RunUntil([&] { return worker_done.load(); }, 5000);
    worker.join();
  }));
  EXPECT_TRUE(waited);
}

// A thread whose body ends when the test says so.
class TGatedThread : public TGeneralThread {
 public:
  explicit TGatedThread(std::shared_future<void> gate) : gate_(std::move(gate)) {}
  ~TGatedThread() override { TerminateAndJoin(); }

 protected:
  void Execute() override {
    SetStarted(true);
    gate_.wait();
  }

 private:
  std::shared_future<void> gate_;
};

TEST_F(MainLoopTest, RunUntilIsWokenByWakeAndByAThreadsEndWithoutReChecks) {
  SetMainLoop(&loop_);  // threads wake the installed loop when they end
  std::atomic<bool> flag{false};
  std::promise<void> open;
  auto thread = MakeThread<TGatedThread>(open.get_future().share());
  struct TCase {
    const char* what;
    std::function<bool()> done;
    std::function<void()> signal;
  };
  const TCase cases[] = {
      {"Wake", [&] { return flag.load(); },
       [&] {
         flag = true;
         loop_.Wake();
       }},
      {"thread end", [&] { return thread->Finished(); }, [&] { open.set_value(); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    bool waited = false;
    uint64_t wakeups = 0;
    std::chrono::steady_clock::duration took{};
    std::thread signaller;
    ASSERT_TRUE(loop_.Invoke([&] {
      signaller = std::thread([&] {
        std::this_thread::sleep_for(100ms);  // long enough for a poller to look many times
        c.signal();
      });
      const uint64_t before = loop_.Wakeups();
      const auto start = std::chrono::steady_clock::now();
      waited = loop_.RunUntil(c.done, 5000, TMainLoop::kNoRecheck);
      took = std::chrono::steady_clock::now() - start;
      wakeups = loop_.Wakeups() - before;
    }));
    signaller.join();
    EXPECT_TRUE(waited);
    EXPECT_LT(took, 4s);  // woken, not ended by the time-out
    EXPECT_LE(wakeups, 1u);
  }
  SetMainLoop(nullptr);
}

TEST(MainLoopFailures, ATaskExceptionIsReportedAndTheLoopGoesOn) {
  TBusScope bus;
  TBusRecorder global({"GLOBAL"});
  ASSERT_TRUE(bus.Loop().Post([] { throw std::runtime_error("bad task"); }));
  int after = 0;
  ASSERT_TRUE(bus.Loop().Invoke([&] { after = 1; }));
  EXPECT_EQ(after, 1);
  EXPECT_TRUE(global.WaitFor([](const TRecordedMessage& m) {
    return m.text == "TMainLoop failed with: bad task" && m.level == mlError;
  }));
}

}  // namespace
}  // namespace kv
