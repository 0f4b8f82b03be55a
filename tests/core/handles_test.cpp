// The owning handles of the runtime: file descriptors, main-loop timers and
// bus subscriptions end what they own when they go, hand it on when moved,
// and end it early on Reset.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "core/bus_hub.h"
#include "core/bus_monitor.h"
#include "core/bus_subscription.h"
#include "core/clock.h"
#include "core/mainloop.h"
#include "core/unique_fd.h"

namespace kv {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFd, ClosesOnDestructionResetAndAssignmentAndHandsOnWhenMoved) {
  int raw = -1;
  {
    TUniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    raw = fd.Get();
    TUniqueFd moved(std::move(fd));
    EXPECT_FALSE(fd);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
    EXPECT_EQ(moved.Get(), raw);
    EXPECT_TRUE(IsOpen(raw));
  }
  EXPECT_FALSE(IsOpen(raw));

  TUniqueFd a(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  TUniqueFd b(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int a_raw = a.Get(), b_raw = b.Get();
  a = std::move(b);  // a's own descriptor closes, b's is kept
  EXPECT_FALSE(IsOpen(a_raw));
  EXPECT_EQ(a.Get(), b_raw);
  a.Reset();
  EXPECT_FALSE(IsOpen(b_raw));
  EXPECT_FALSE(a);

  TUniqueFd c(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int released = c.Release();  // no longer ours to close
  c.Reset();
  EXPECT_TRUE(IsOpen(released));
  ::close(released);

  TUniqueFd d(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int d_raw = d.Get();
  EXPECT_EQ(d.Close(), 0);
  EXPECT_FALSE(IsOpen(d_raw));
  EXPECT_EQ(d.Close(), 0);  // nothing held: nothing closed
  EXPECT_FALSE(TUniqueFd(-5));
}

struct TClockScope {
  TManualClock clock;
  TClockScope() { SetClock(&clock); }
  ~TClockScope() { SetClock(nullptr); }
};

TEST(TimerHandle, RemovesItsTimerWhenDestroyedResetOrReplacedAndHandsItOnWhenMoved) {
  TClockScope scope;  // outlives the loop, which reads it
  TMainLoop loop;
  loop.StartThread();
  std::atomic<int> first{0}, second{0};
  // Due timers run before tasks, so an Invoke after Advance sees them run.
  auto tick = [&] {
    scope.clock.Advance(100);
    ASSERT_TRUE(loop.Invoke([] {}));
  };
  TTimerHandle kept;
  {
    TTimerHandle timer = loop.StartTimer(100, [&] { ++first; });
    tick();
    EXPECT_EQ(first.load(), 1);
    kept = std::move(timer);
    EXPECT_FALSE(timer);  // NOLINT(bugprone-use-after-move)
  }                       // the moved-from handle removes nothing
  tick();
  EXPECT_EQ(first.load(), 2);
  kept = loop.StartTimer(100, [&] { ++second; });  // the old timer ends
  tick();
  EXPECT_EQ(first.load(), 2);
  EXPECT_EQ(second.load(), 1);
  kept.Reset();
  EXPECT_FALSE(kept);
  tick();
  EXPECT_EQ(second.load(), 1);
  {
    TTimerHandle scoped = loop.StartTimer(100, [&] { ++second; });
  }
  tick();
  EXPECT_EQ(second.load(), 1);
  // A one-shot: the timer's function resets its own handle.
  TTimerHandle once;
  once = loop.StartTimer(100, [&] {
    ++first;
    once.Reset();
  });
  tick();
  tick();
  EXPECT_EQ(first.load(), 3);
  EXPECT_TRUE(loop.Invoke([&] { EXPECT_FALSE(once); }));
  loop.Stop();
}

// A subscriber that counts the "GLOBAL" messages it handled.
class TCounter {
 public:
  TCounter() : monitor_(MakeThread<TMsgMonitor>(false)) {
    monitor_->AddCategory("GLOBAL");
    monitor_->SetLevelHandler(mlInformation,
                              [this](const std::string&, const std::string&, TMsgData&, uint8_t) {
                                std::lock_guard lock(mutex_);
                                ++count_;
                              });
  }
  int Count() {
    // What the hub dispatched has reached the queue; Flush waits for its handling.
    EXPECT_TRUE(monitor_->Flush(5000));
    std::lock_guard lock(mutex_);
    return count_;
  }
  TMsgMonitor& Monitor() { return *monitor_; }
  void Destroy() { monitor_.reset(); }

 private:
  std::mutex mutex_;
  int count_ = 0;
  TThreadPtr<TMsgMonitor> monitor_;
};

class BusSubscriptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop_.StartThread();
    hub_ = TMsgMonitorInterface::Create(&loop_);
    hub_->RegisterCategory("GLOBAL", kDataPointer);
  }
  void TearDown() override {
    if (hub_) hub_->Stop();
  }
  // Posts one message and waits until the hub has handed it to every member.
  void Post() {
    ASSERT_TRUE(PostGlobal("x", mlInformation));
    ASSERT_TRUE(hub_->Flush(5000));
  }
  TMainLoop loop_;
  std::shared_ptr<TMsgMonitorInterface> hub_;
};

TEST_F(BusSubscriptionTest, TheSubscriberLeavesTheHubWithItsHandle) {
  TCounter a, b;
  const size_t members = hub_->MonitorCount();
  {
    TBusSubscription sub = Subscribe(*hub_, a.Monitor());
    EXPECT_TRUE(sub);
    EXPECT_EQ(hub_->MonitorCount(), members + 1);
    Post();
    EXPECT_EQ(a.Count(), 1);
  }
  EXPECT_EQ(hub_->MonitorCount(), members);
  Post();
  EXPECT_EQ(a.Count(), 1);

  // Moved: the new owner keeps the membership, the old one ends nothing.
  TBusSubscription kept;
  {
    TBusSubscription sub = Subscribe(a.Monitor());  // the published hub
    kept = std::move(sub);
    EXPECT_FALSE(sub);  // NOLINT(bugprone-use-after-move)
  }
  Post();
  EXPECT_EQ(a.Count(), 2);
  // Assigning ends the old membership first.
  kept = Subscribe(*hub_, b.Monitor());
  Post();
  EXPECT_EQ(a.Count(), 2);
  EXPECT_EQ(b.Count(), 1);
  kept.Reset();
  EXPECT_FALSE(kept);
  Post();
  EXPECT_EQ(b.Count(), 1);
  EXPECT_EQ(hub_->MonitorCount(), members);
}

TEST_F(BusSubscriptionTest, AHandleOutlivingItsSubscriberOrTheHubTouchesNeither) {
  TCounter gone;
  TBusSubscription of_gone = Subscribe(*hub_, gone.Monitor());
  gone.Destroy();  // its Stop left the hub already
  EXPECT_FALSE(of_gone);
  of_gone.Reset();

  TCounter stays;
  TBusSubscription sub = Subscribe(*hub_, stays.Monitor());
  hub_->Stop();
  hub_.reset();
  EXPECT_FALSE(sub);
  sub.Reset();
  EXPECT_FALSE(Subscribe(stays.Monitor()));  // nothing published: an empty handle
}

}  // namespace
}  // namespace kv
