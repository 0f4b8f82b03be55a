#include "app/lifecycle.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "core/bus_scope.h"
#include "core/clock.h"
#include "formats/config.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

using testing::TBusRecorder;
using testing::TRecordedMessage;

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
    info_.UseConfig(&config_);
    bus_ = std::make_unique<TBusScope>();
    recorder_ = std::make_unique<TBusRecorder>(std::vector<std::string>{"GLOBAL"});
  }
  ~LifecycleTest() override {
    lifecycle_.reset();
    recorder_.reset();
    bus_.reset();
    SetClock(nullptr);
  }
  // ssh: this build has an SSH follower; ftp: it has an FTP downloader,
  // which never manages to start.
  void Make(bool ssh = true, bool ftp = false) {
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
    if (ssh) f.ssh = make(ssh_made_);
    if (ftp) f.ftp = [] { return std::unique_ptr<TLogFollower>(); };
    f.enable_refresh = [this](bool on) { refresh_ = on; };
    lifecycle_ = std::make_unique<TServiceLifecycle>(bus_->Loop(), info_, std::move(f));
    lifecycle_->SetLogSource(source_);
  }
  void OnLoop(const std::function<void()>& fn) { ASSERT_TRUE(bus_->Loop().Invoke(fn)); }
  // Checks the condition on the loop until it holds (bounded).
  bool WaitUntil(const std::function<bool()>& cond) {
    return testing::WaitFor([&] {
      bool ok = false;
      bus_->Loop().Invoke([&] { ok = cond(); });
      return ok;
    });
  }

  TManualClock clock_;
  TDynamicConfigData config_{nullptr};
  std::unique_ptr<TBusScope> bus_;
  std::unique_ptr<TBusRecorder> recorder_;
  TMohaaServerInfo info_;
  TLogSourceSettings source_;  // what Make hands the lifecycle
  std::unique_ptr<TServiceLifecycle> lifecycle_;
  std::atomic<int> file_made_{0}, ssh_made_{0}, stopped_{0};
  std::atomic<bool> refresh_{false};
  TFakeFollower* last_made_ = nullptr;
};

TEST_F(LifecycleTest, StartAndStopCreateAndRemoveTheFollower) {
  source_.use_direct = true;
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
  source_.use_no_log = true;
  Make();
  OnLoop([&] { lifecycle_->Start(); });
  clock_.Advance(600'000);
  OnLoop([&] { lifecycle_->WatchdogTick(); });
  EXPECT_TRUE(lifecycle_->Running());
  EXPECT_EQ(file_made_ + ssh_made_, 0);
}

TEST_F(LifecycleTest, SilentLogIsRestartedOnceWithinTheWindow) {
  source_.use_direct = true;
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
  source_.use_ftp = true;
  Make(true, true);  // the downloader never manages to start
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
  source_.use_direct = true;
  config_.SetBool("RestartOnError", false);
  Make();
  OnLoop([&] { lifecycle_->Start(); });
  last_made_->alive = false;  // its thread ended by itself
  OnLoop([&] { lifecycle_->WatchdogTick(); });
  ASSERT_TRUE(recorder_->WaitForText("LogFile Session was terminated"));
  EXPECT_FALSE(lifecycle_->Running());
  EXPECT_FALSE(lifecycle_->RestartPending());
}

// A log that says nothing while the game server answers its status polls
// (an empty server at night) is no lost log.
TEST_F(LifecycleTest, QuietLogOfAnAnsweringServerIsAlive) {
  source_.use_direct = true;
  Make();
  OnLoop([&] { lifecycle_->Start(); });
  clock_.Advance(20'000);
  info_.last_status_reply = Now();
  clock_.Advance(11'000);  // the log has been quiet for 31 s, the server answered 11 s ago
  OnLoop([&] { lifecycle_->WatchdogTick(); });
  EXPECT_TRUE(lifecycle_->Running());
  const std::string last = DateTimeText(last_made_->LastNewMessageTime());
  clock_.Advance(31'000);  // now the server is quiet too
  OnLoop([&] { lifecycle_->WatchdogTick(); });
  EXPECT_FALSE(lifecycle_->Running());
  EXPECT_TRUE(
      recorder_->WaitForText("LogFile Session was terminated (timeout) - last new Message at :" + last));
}

// After a refused restart the service tries again, later each time (at
// most every 5 minutes), says so once, and gives up only when the operator
// stops it.
TEST_F(LifecycleTest, RefusedRestartsAreRetriedWithGrowingDelays) {
  source_.use_direct = true;
  config_.SetInteger("ErrorRestartTimeOut", 100000);  // every loss after the first is refused
  Make();
  OnLoop([&] { lifecycle_->Start(); });
  clock_.Advance(31'000);
  ASSERT_TRUE(WaitUntil([&] { return lifecycle_->RestartPending(); }));
  clock_.Advance(5'000);
  ASSERT_TRUE(WaitUntil([&] { return lifecycle_->Running(); }));
  for (const int expected : {30, 60, 120, 240, 300, 300}) {
    SCOPED_TRACE(expected);
    clock_.Advance(31'000);
    ASSERT_TRUE(WaitUntil([&] { return lifecycle_->RetryPending(); }));
    EXPECT_FALSE(lifecycle_->Running());
    EXPECT_EQ(lifecycle_->RetryDelaySeconds(), expected);
    clock_.Advance(expected * 1000);
    ASSERT_TRUE(WaitUntil([&] { return lifecycle_->Running(); }));
  }
  EXPECT_EQ(file_made_, 8);
  size_t refusals = 0, announcements = 0;
  const auto count = [&] {
    refusals = announcements = 0;
    for (const auto& m : recorder_->Messages()) {
      refusals += m.text.rfind("Not restarting the Session - check your Direct File Setup", 0) == 0;
      announcements +=
          m.text.rfind("Kelvandrome keeps trying: the next start of the session follows in 30 seconds", 0) ==
          0;
    }
    return refusals >= 6;
  };
  // The messages travel through the bus: the last one may still be on its way.
  EXPECT_TRUE(WaitUntil(count));
  EXPECT_EQ(refusals, 6u);
  EXPECT_EQ(announcements, 1u);

  // The operator's Stop ends the retries.
  clock_.Advance(31'000);
  ASSERT_TRUE(WaitUntil([&] { return lifecycle_->RetryPending(); }));
  OnLoop([&] { lifecycle_->Stop(); });
  EXPECT_FALSE(lifecycle_->RetryPending());
  clock_.Advance(600'000);
  OnLoop([] {});
  EXPECT_FALSE(lifecycle_->Running());
  EXPECT_EQ(file_made_, 8);
}

TEST_F(LifecycleTest, MissingFollowersAreNamedAtStartAndNeverRestarted) {
  struct Case {
    bool TLogSourceSettings::*flag;
    const char* text;
  };
  const Case cases[] = {
      {&TLogSourceSettings::use_ssh, "The SSH log follower (UseSSH=1) is not available in this version yet"},
      {&TLogSourceSettings::use_ftp, "The FTP log follower (UseFTP=1) is not available in this version yet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    source_.use_ssh = source_.use_ftp = false;
    source_.*c.flag = true;
    Make(false, false);
    OnLoop([&] { lifecycle_->Start(); });
    ASSERT_TRUE(recorder_->WaitFor(
        [&](const TRecordedMessage& m) { return m.text.rfind(c.text, 0) == 0 && m.level == mlCritical; }));
    clock_.Advance(600'000);
    OnLoop([&] { lifecycle_->WatchdogTick(); });
    EXPECT_TRUE(lifecycle_->Running());
    EXPECT_FALSE(lifecycle_->RestartPending() || lifecycle_->RetryPending());
    EXPECT_EQ(file_made_ + ssh_made_, 0);  // nothing feeds a local copy in FTP mode
    OnLoop([&] { lifecycle_.reset(); });
  }
  for (const auto& m : recorder_->Messages())
    EXPECT_EQ(m.text.find("Session was terminated"), std::string::npos);
}

TEST(InstanceKey, KeepsOnlyTheAllowedCharacters) {
  EXPECT_EQ(InstanceKey("/srv/mohaa one/kv"), "ZAQKelvandromesrvmohaaonekv");
  EXPECT_EQ(InstanceKey("/srv/mohaaone/kv/"), InstanceKey("/srv/mohaa one/kv"));
  EXPECT_EQ(InstanceKey("/a/[x]_{y}(z)!#%&-;="), "ZAQKelvandromea[x]_{y}(z)!#%&-;=");
}

class InstanceLockTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(home_); }
  static std::string Read(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  testing::TTempHome dir_{"lock"};
  std::string home_ = (dir_ / "home").string();
};

TEST_F(InstanceLockTest, OneHolderPerHomeWhateverThePathToIt) {
  std::string holder;
  auto first = TInstanceLock::Acquire(home_, "pid 1 console http://127.0.0.1:1", holder);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Path(), home_ + "/kelvandrome.lock");
  // flock locks belong to the open file: a second open in this process is
  // refused like another process would be, through a symbolic link too.
  std::filesystem::create_directory_symlink(home_, dir_ / "link");
  for (const std::string& path : {home_, (dir_ / "link").string(), home_ + "/./"}) {
    holder.clear();
    EXPECT_EQ(TInstanceLock::Acquire(path, "other", holder), nullptr) << path;
    EXPECT_EQ(holder, "pid 1 console http://127.0.0.1:1") << path;
  }
  std::filesystem::create_directories(dir_ / "home2");
  EXPECT_TRUE(TInstanceLock::Acquire((dir_ / "home2").string(), "x", holder));
  first.reset();
  EXPECT_TRUE(TInstanceLock::Acquire(home_, "again", holder));
}

// Whatever sits at the lock's place and is not this user's own plain file
// is refused with a reason, and nothing it leads to is touched.
TEST_F(InstanceLockTest, RefusesWhatIsNotItsOwnLockFile) {
  const std::filesystem::path victim = dir_ / "victim";
  const std::filesystem::path lock = std::filesystem::path(home_) / "kelvandrome.lock";
  struct Case {
    const char* what;
    std::function<void()> place;
    const char* reason;
  };
  std::vector<Case> cases = {
      {"symbolic link", [&] { std::filesystem::create_symlink(victim, lock); }, "it is a symbolic link"},
      {"second name", [&] { std::filesystem::create_hard_link(victim, lock); }, "it has more than one name"},
      {"fifo", [&] { ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0); }, "it is not a plain file"},
  };
  if (::geteuid() == 0)
    cases.push_back({"another user's file",
                     [&] {
                       std::ofstream(lock) << "someone else's";
                       ASSERT_EQ(::chown(lock.c_str(), 65534, 65534), 0);
                     },
                     "it belongs to another user"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(victim) << "precious";
    c.place();
    const bool plain = std::filesystem::is_regular_file(std::filesystem::symlink_status(lock));
    const std::string before = plain ? Read(lock) : "";
    std::string holder;
    try {
      TInstanceLock::Acquire(home_, "about", holder);
      ADD_FAILURE() << "taken";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "cannot use the instance lock " + lock.string() + ": " + c.reason);
    }
    EXPECT_EQ(Read(victim), "precious");
    if (plain) {
      EXPECT_EQ(Read(lock), before);  // never emptied
    }
    std::filesystem::remove(lock);
  }
}

}  // namespace
}  // namespace kv
