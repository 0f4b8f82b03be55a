#include "app/lifecycle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/config.h"

namespace kv {
namespace {

struct TFakeFollower : TLogFollower {
  std::atomic<double> last{0};
  std::atomic<bool> alive{true};
  std::atomic<int>* stopped;
  explicit TFakeFollower(std::atomic<int>* s) : stopped(s) {}
  double LastNewMessageTime() const override { return last; }
  bool IsAlive() const override { return alive; }
  void Stop() override { ++*stopped; }
};

class LifecycleTest : public ::testing::Test {
 protected:
  LifecycleTest() : clock_(46000.5) {
    SetClock(&clock_);
    SetConfig(&config_);
    bus_ = std::make_unique<TBusScope>();
    recorder_ = std::make_unique<TBusRecorder>(std::vector<std::string>{"GLOBAL"});
  }
  ~LifecycleTest() override {
    lifecycle_.reset();
    recorder_.reset();
    bus_.reset();
    SetConfig(nullptr);
    SetClock(nullptr);
  }
  void Make() {
    TFollowerFactory f;
    auto make = [this](std::atomic<int>& made) {
      return [this, &made]() -> std::unique_ptr<TLogFollower> {
        ++made;
        auto follower = std::make_unique<TFakeFollower>(&stopped_);
        follower->last = Now();
        last_made_ = follower.get();
        return follower;
      };
    };
    f.file = make(file_made_);
    f.ssh = make(ssh_made_);
    f.enable_refresh = [this](bool on) { refresh_ = on; };
    lifecycle_ = std::make_unique<TServiceLifecycle>(bus_->Loop(), info_, std::move(f));
  }
  void OnLoop(const std::function<void()>& fn) { ASSERT_TRUE(bus_->Loop().Invoke(fn)); }
  bool WaitUntil(const std::function<bool()>& cond) {
    for (int i = 0; i < 500; ++i) {
      bool ok = false;
      bus_->Loop().Invoke([&] { ok = cond(); });
      if (ok) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  TManualClock clock_;
  TDynamicConfigData config_{nullptr};
  std::unique_ptr<TBusScope> bus_;
  std::unique_ptr<TBusRecorder> recorder_;
  TMohaaServerInfo info_;
  std::unique_ptr<TServiceLifecycle> lifecycle_;
  std::atomic<int> file_made_{0}, ssh_made_{0}, stopped_{0};
  std::atomic<bool> refresh_{false};
  TFakeFollower* last_made_ = nullptr;
};

TEST_F(LifecycleTest, StartAndStopCreateAndRemoveTheFollower) {
  info_.use_direct = true;
  Make();
  OnLoop([&] { lifecycle_->Start(); });
  OnLoop([&] { lifecycle_->Start(); });  // already running: nothing new
  EXPECT_EQ(file_made_, 1);
  EXPECT_TRUE(refresh_);
  EXPECT_EQ(lifecycle_->Status(), "Kelvandrome started");
  OnLoop([&] { lifecycle_->Stop(); });
  EXPECT_EQ(stopped_, 1);
  EXPECT_FALSE(refresh_);
  EXPECT_EQ(lifecycle_->Status(), "Kelvandrome stopped");
  EXPECT_EQ(lifecycle_->FileFollower(), nullptr);
}

TEST_F(LifecycleTest, NoLogRunsWithoutFollowersAndTheWatchdogFindsNothing) {
  info_.use_no_log = true;
  Make();
  OnLoop([&] { lifecycle_->Start(); });
  clock_.Advance(600'000);
  OnLoop([&] { lifecycle_->WatchdogTick(); });
  EXPECT_TRUE(lifecycle_->Running());
  EXPECT_EQ(file_made_ + ssh_made_, 0);
}

TEST_F(LifecycleTest, SilentLogIsRestartedOnceWithinTheWindow) {
  info_.use_direct = true;
  Make();
  OnLoop([&] { lifecycle_->Start(); });
  clock_.Advance(29'000);
  OnLoop([&] { lifecycle_->WatchdogTick(); });
  EXPECT_TRUE(lifecycle_->Running());  // 29 s of silence are within the 30 s

  // Read before the clock moves: the watchdog timer that becomes due may end
  // the follower at once.
  const std::string last = DateTimeText(last_made_->LastNewMessageTime());
  clock_.Advance(2'000);
  OnLoop([&] { lifecycle_->WatchdogTick(); });
  EXPECT_FALSE(lifecycle_->Running());
  EXPECT_TRUE(lifecycle_->RestartPending());
  ASSERT_TRUE(
      recorder_->WaitForText("LogFile Session was terminated (timeout) - last new Message at :" + last));
  ASSERT_TRUE(recorder_->WaitForText("Trying to restart the lost session (in 5 seconds) ..."));
  EXPECT_EQ(config_.GetIntegerDef("ErrorRestartDelay", 99), 5);  // the first reader decided

  clock_.Advance(5'000);
  ASSERT_TRUE(WaitUntil([&] { return lifecycle_->Running(); }));
  EXPECT_FALSE(lifecycle_->RestartPending());
  EXPECT_EQ(file_made_, 2);

  // Lost again inside ErrorRestartTimeOut: no second automatic restart.
  const std::string first_loss = DateTimeText(lifecycle_->LastLossTime());
  clock_.Advance(31'000);
  OnLoop([&] { lifecycle_->WatchdogTick(); });
  ASSERT_TRUE(recorder_->WaitForText(
      "Not restarting the Session - check your Direct File Setup - Last Error was at: " + first_loss));
  EXPECT_FALSE(lifecycle_->Running());
  EXPECT_FALSE(lifecycle_->RestartPending());
}

TEST_F(LifecycleTest, FtpModeChecksFileThenDownloader) {
  info_.use_ftp = true;
  Make();  // no FTP factory: the downloader never exists
  OnLoop([&] { lifecycle_->Start(); });
  clock_.Advance(241'000);
  OnLoop([&] { lifecycle_->WatchdogTick(); });
  ASSERT_TRUE(recorder_->WaitFor([](const TRecordedMessage& m) {
    return m.text.rfind("Not restarting the Session - check your FTP Setup", 0) == 0;
  }));
  const auto msgs = recorder_->Messages();
  std::vector<std::string> texts;
  for (const auto& m : msgs) texts.push_back(m.text);
  ASSERT_GE(texts.size(), 4u);
  EXPECT_EQ(texts[0].rfind("LogFile Session was terminated (timeout) - last new Message at :", 0), 0u);
  EXPECT_EQ(texts[1], "Trying to restart the lost session (in 5 seconds) ...");
  EXPECT_EQ(texts[2], "FTPFile Session was terminated");
  EXPECT_EQ(texts[3], "Not restarting the Session - check your FTP Setup - Last Error was at: " +
                          DateTimeText(lifecycle_->LastLossTime()));
  EXPECT_TRUE(lifecycle_->RestartPending());  // the planned restart still happens
}

TEST_F(LifecycleTest, DeadFollowerAndRestartOff) {
  info_.use_direct = true;
  config_.SetBool("RestartOnError", false);
  Make();
  OnLoop([&] { lifecycle_->Start(); });
  last_made_->alive = false;  // its thread ended by itself
  OnLoop([&] { lifecycle_->WatchdogTick(); });
  ASSERT_TRUE(recorder_->WaitForText("LogFile Session was terminated"));
  EXPECT_FALSE(lifecycle_->Running());
  EXPECT_FALSE(lifecycle_->RestartPending());
}

TEST(InstanceKey, KeepsOnlyTheAllowedCharacters) {
  EXPECT_EQ(InstanceKey("/srv/mohaa one/kv"), "ZAQKelvandromesrvmohaaonekv");
  EXPECT_EQ(InstanceKey("/srv/mohaaone/kv/"), InstanceKey("/srv/mohaa one/kv"));
  EXPECT_EQ(InstanceKey("/a/[x]_{y}(z)!#%&-;="), "ZAQKelvandromea[x]_{y}(z)!#%&-;=");
}

TEST(InstanceLock, SecondHolderIsRefusedAndSeesTheFirst) {
  const std::string home = "/tmp/kv-lock-test-" + std::to_string(::getpid());
  std::string holder;
  auto first = TInstanceLock::Acquire(home, "pid 1 console http://127.0.0.1:1", holder);
  ASSERT_TRUE(first);
  // flock locks belong to the open file: a second open in this process is
  // refused like another process would be.
  EXPECT_EQ(TInstanceLock::Acquire(home, "other", holder), nullptr);
  EXPECT_EQ(holder, "pid 1 console http://127.0.0.1:1");
  EXPECT_TRUE(TInstanceLock::Acquire(home + "-other", "x", holder));
  first.reset();
  EXPECT_TRUE(TInstanceLock::Acquire(home, "again", holder));
}

}  // namespace
}  // namespace kv
