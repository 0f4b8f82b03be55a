// The lifecycle with the real FTP and SSH followers against real servers on
// 127.0.0.1: a lost session is reported, restarted by the watchdog on the
// manual clock, and no client process outlives the service.
#include "app/remote_followers.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/clock.h"
#include "formats/config.h"
#include "gamelink/ssh_session.h"
#include "tests/gamelink/gamelink_test_support.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"
#include "tests/support/remote_servers.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using testing::Alive;
using testing::TBusRecorder;

class RemoteFollowersTest : public ::testing::Test {
 protected:
  RemoteFollowersTest() : clock_(46000.5) {
    SetClock(&clock_);
    info_.UseConfig(&config_);
    bus_ = std::make_unique<TBusScope>(test::AllEventCategories());
    global_ = std::make_unique<TBusRecorder>(std::vector<std::string>{"GLOBAL"});
    raw_ = std::make_unique<testing::TEventRecorder>(std::vector<std::string>{"EVENTNewLogFileEntry"});
  }
  ~RemoteFollowersTest() override {
    lifecycle_.reset();
    raw_.reset();
    global_.reset();
    bus_.reset();
    info_.UseConfig(nullptr);
    SetClock(nullptr);
  }
  void Make(const TLogSourceSettings& source) {
    TFollowerFactory f;
    auto ready = std::make_shared<std::function<int64_t()>>();
    const std::string home = home_.string();
    f.ssh = [this, home] {
      return MakeSshFollower(&info_, *lifecycle_->LogSource(), home,
                             std::make_unique<TServerLogEventChecker>());
    };
    f.ftp = [this, home, ready] { return MakeFtpFollower(*lifecycle_->LogSource(), home, *ready); };
    f.file = [this, home, ready] {
      return MakeFtpCopyFollower(&info_, home, std::make_unique<TServerLogEventChecker>(), *ready);
    };
    lifecycle_ = std::make_unique<TServiceLifecycle>(bus_->Loop(), info_, std::move(f));
    lifecycle_->SetLogSource(source);
  }
  void OnLoop(const std::function<void()>& fn) { ASSERT_TRUE(bus_->Loop().Invoke(fn)); }
  // Moves the clock to the planned restart once it is planned (the message
  // comes just before the timer).
  void AdvanceToRestart() {
    ASSERT_TRUE(testing::WaitFor([&] {
      bool pending = false;
      bus_->Loop().Invoke([&] { pending = lifecycle_->RestartPending(); });
      return pending;
    }));
    clock_.Advance(10'000);
  }
  // Watchdog ticks until one reports `text` (a follower posts its stop
  // message a moment before it counts as ended). Bounded.
  bool TickUntil(const std::string& text) {
    for (int tick = 0; tick < 3; ++tick) {
      clock_.Advance(30'000);
      if (global_->WaitForText(text, 2000)) return true;
    }
    return false;
  }
  bool Running() {
    bool running = false;
    bus_->Loop().Invoke([&] { running = lifecycle_->Running(); });
    return running;
  }
  // The log's lines; what plink says of itself ("FATAL ERROR: ...") is
  // log text too, but not the log's.
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const auto& e : raw_->Events())
      if (e->text.rfind("FATAL ERROR: ", 0) != 0) lines.push_back(e->text);
    return lines;
  }

  TManualClock clock_;
  TDynamicConfigData config_{nullptr};
  std::unique_ptr<TBusScope> bus_;
  std::unique_ptr<TBusRecorder> global_;
  std::unique_ptr<testing::TEventRecorder> raw_;
  testing::TTempHome home_{"home"};
  testing::TTempHome served_{"served"};
  TMohaaServerInfo info_;
  std::unique_ptr<TServiceLifecycle> lifecycle_;
};

TEST_F(RemoteFollowersTest, SshSessionLostToAServerRestartIsRestartedAndNoClientOutlivesTheService) {
  testing::TSshTestServer sshd;
  if (!sshd.Ok()) GTEST_SKIP() << "no SSH server here: " << sshd.Error();
  const fs::path log = served_ / "qconsole.log";
  std::ofstream(log) << "";
  TLogSourceSettings source;
  source.use_ssh = true;
  source.ssh_host = "127.0.0.1";
  source.ssh_port = std::to_string(sshd.Port());
  source.ssh_login = sshd.User();
  source.ssh_key_file = sshd.KeyFile();
  source.ssh_host_key = sshd.HostKey();
  source.ssh_client = "/usr/bin/plink";
  source.ssh_command = "tail -n 0 -F " + log.string() + " 2>/dev/null";
  Make(source);
  std::vector<std::string> written;
  auto write = [&](int n) {
    for (int i = 0; i < n; ++i) {
      written.push_back("Alice was sniped by Bob " + std::to_string(written.size()));
      std::ofstream(log, std::ios::app) << written.back() << "\n";
    }
    return testing::WaitFor([&] { return Lines().size() >= written.size(); }, 10000);
  };

  OnLoop([&] { lifecycle_->Start(); });
  ASSERT_TRUE(testing::WaitUntilTailFollows(log, [&] { return Lines(); }));
  written = Lines();  // the probes
  ASSERT_TRUE(write(3));
  const std::vector<int> first = SshClientPids();
  ASSERT_EQ(first.size(), 1u);

  // The server restarts: the connection and with it the client end.
  ASSERT_TRUE(sshd.Restart()) << sshd.Error();
  ASSERT_TRUE(global_->WaitForText("TSShSession Stopped", 10000));
  ASSERT_TRUE(TickUntil("SSH Session was terminated"));
  ASSERT_TRUE(global_->WaitForText("Trying to restart the lost session (in 10 seconds) ..."));
  EXPECT_FALSE(Running());
  AdvanceToRestart();
  ASSERT_TRUE(testing::WaitFor([&] { return Running(); }));
  ASSERT_TRUE(testing::WaitUntilTailFollows(log, [&] { return Lines(); }));
  written = Lines();  // the probes
  ASSERT_TRUE(write(3));
  EXPECT_EQ(Lines(), written);
  const std::vector<int> second = SshClientPids();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_FALSE(Alive(first[0]));

  lifecycle_.reset();  // quit
  EXPECT_TRUE(SshClientPids().empty());
  EXPECT_FALSE(Alive(second[0]));
}

TEST_F(RemoteFollowersTest, FtpServerOutOfReachIsRestartedOnceThenRefused) {
  TLogSourceSettings source;
  source.use_ftp = true;
  source.ftp_host = "127.0.0.1";
  source.ftp_port = std::to_string(testing::FreeLoopbackPort());  // nobody listens
  source.ftp_file = "qconsole.log";
  source.ftp_login = "kvlog";
  source.ftp_password = "pw";
  Make(source);
  OnLoop([&] { lifecycle_->Start(); });
  ASSERT_TRUE(global_->WaitFor([](const testing::TRecordedMessage& m) {
    return m.text.rfind("TFtpSession - Can not Connect and Login to FTP-Server", 0) == 0;
  }));
  ASSERT_TRUE(global_->WaitForText("TFtpSession Stopped"));
  ASSERT_TRUE(TickUntil("FTPFile Session was terminated"));
  ASSERT_TRUE(global_->WaitForText("Trying to restart the lost session (in 10 seconds) ..."));
  EXPECT_EQ(global_->CountText("LogFile Session was terminated"), 0u);  // the copy's follower was waiting
  const std::string loss = DateTimeText(Now());
  AdvanceToRestart();
  ASSERT_TRUE(testing::WaitFor([&] { return Running(); }));
  ASSERT_TRUE(testing::WaitFor([&] { return global_->CountText("TFtpSession Stopped") == 2; }));
  clock_.Advance(30'000);  // lost again within ErrorRestartTimeOut
  ASSERT_TRUE(
      global_->WaitForText("Not restarting the Session - check your FTP Setup - Last Error was at: " + loss));
  EXPECT_FALSE(Running());
}

TEST_F(RemoteFollowersTest, RefusedSshPasswordEndsInTheWatchdogsRestart) {
  testing::TSshTestServer sshd;
  if (!sshd.Ok()) GTEST_SKIP() << "no SSH server here: " << sshd.Error();
  TLogSourceSettings source;
  source.use_ssh = true;
  source.ssh_host = "127.0.0.1";
  source.ssh_port = std::to_string(sshd.Port());
  source.ssh_login = sshd.User();
  source.ssh_password = "not-the-password";
  source.ssh_host_key = sshd.HostKey();
  source.ssh_client = "/usr/bin/plink";
  source.ssh_command = "tail -n 0 -F /dev/null";
  Make(source);
  OnLoop([&] { lifecycle_->Start(); });
  ASSERT_TRUE(global_->WaitForText("TSShSession Stopped", 15000));
  EXPECT_TRUE(!fs::exists(home_ / "Temp") || fs::is_empty(home_ / "Temp"));  // the password file went
  ASSERT_TRUE(TickUntil("SSH Session was terminated"));
  ASSERT_TRUE(global_->WaitForText("Trying to restart the lost session (in 10 seconds) ..."));
  AdvanceToRestart();
  ASSERT_TRUE(testing::WaitFor([&] { return global_->CountText("TSShSession Stopped") == 2; }, 15000));
}

}  // namespace
}  // namespace kv
