// The SSH follower with the real plink against a real sshd on 127.0.0.1
// (key login, pinned host key), and with a stand-in client where what plink
// is handed matters (the password file, the host-key prompt).
#include "gamelink/ssh_session.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "gamelink_test_support.h"
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
using testing::TRecordedMessage;

class SshSessionTest : public ::testing::Test {
 protected:
  std::string Log() const { return (served_ / "qconsole.log").string(); }
  void Append(const std::string& text) { std::ofstream(Log(), std::ios::binary | std::ios::app) << text; }
  TLogSourceSettings RealSource(const testing::TSshTestServer& sshd) const {
    TLogSourceSettings s;
    s.ssh_host = "127.0.0.1";
    s.ssh_port = std::to_string(sshd.Port());
    s.ssh_login = sshd.User();
    s.ssh_key_file = sshd.KeyFile();
    s.ssh_host_key = sshd.HostKey();
    s.ssh_client = "/usr/bin/plink";
    // tail's notices (on its standard error) would mix into the lines at
    // any byte: plink prints both streams, as it must for its prompts.
    s.ssh_command = "tail -n 0 -F " + Log() + " 2>/dev/null";
    return s;
  }
  TThreadPtr<TSShSession> Start(const TLogSourceSettings& s) {
    return TSShSession::Create(&server_info_, s, home_.string(), std::make_unique<TServerLogEventChecker>());
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const auto& e : raw_.Events()) lines.push_back(e->text);
    return lines;
  }

  TBusScope bus_{test::AllEventCategories()};
  TBusRecorder global_{{"GLOBAL"}};
  testing::TEventRecorder raw_{{"EVENTNewLogFileEntry"}};
  testing::TEventRecorder kills_{{"EVENTkill"}};
  testing::TTempHome served_{"served"};
  testing::TTempHome home_{"home"};
  TMohaaServerInfo server_info_;
  test::TCurrentPlayers players_{server_info_, {{"Alice", 3}, {"Bob", 2}}};
};

TEST_F(SshSessionTest, FollowsTheRemoteTailAcrossARotationAndLeavesNoClient) {
  testing::TSshTestServer sshd;
  if (!sshd.Ok()) GTEST_SKIP() << "no SSH server here: " << sshd.Error();
  Append("Alice was sniped by Bob (before the start)\n");
  auto session = Start(RealSource(sshd));
  ASSERT_TRUE(testing::WaitUntilTailFollows(Log(), [&] { return Lines(); })) << session->LastText();
  const int pid = session->ClientPid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(SshClientPids(), std::vector<int>{pid});

  std::vector<std::string> written = Lines();  // the probes
  const size_t probes = written.size();
  auto write = [&](int n) {
    for (int i = 0; i < n; ++i) {
      const std::string line = (written.size() % 2) ? "Alice was sniped by Bob" : "Bob was sniped by Alice";
      Append(line + "\n");
      written.push_back(line);
    }
  };
  write(10);
  ASSERT_TRUE(testing::WaitFor([&] { return Lines().size() >= written.size(); }, 10000)) << Lines().size();
  // Rotation: tail -F reads the new log from its start.
  fs::rename(Log(), Log() + ".1");
  write(5);
  ASSERT_TRUE(testing::WaitFor([&] { return Lines().size() >= written.size(); }, 10000)) << Lines().size();
  EXPECT_EQ(Lines(), written);
  ASSERT_TRUE(kills_.WaitCount(written.size() - probes));
  EXPECT_EQ(kills_.Count(), written.size() - probes);

  session.reset();  // Stop: the client is ended and reaped
  EXPECT_FALSE(Alive(pid));
  EXPECT_TRUE(SshClientPids().empty());
  EXPECT_TRUE(global_.WaitForText("TSShSession Stopped"));
}

TEST_F(SshSessionTest, RefusedLoginsEndTheSession) {
  testing::TSshTestServer sshd;
  if (!sshd.Ok()) GTEST_SKIP() << "no SSH server here: " << sshd.Error();
  struct TCase {
    const char* what;
    std::function<void(TLogSourceSettings&)> change;
    const char* printed;  // what the client said, as log text
  };
  const int closed = testing::FreeLoopbackPort();
  const std::vector<TCase> cases{
      {"wrong password",
       [](TLogSourceSettings& s) {
         s.ssh_key_file.clear();
         s.ssh_password = "not-the-password";
       },
       "Configured password was not accepted"},
      {"unknown host key",
       [](TLogSourceSettings& s) { s.ssh_host_key = "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"; },
       "Host key not in manually configured list"},
      {"nobody listens", [closed](TLogSourceSettings& s) { s.ssh_port = std::to_string(closed); },
       "Connection refused"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TLogSourceSettings s = RealSource(sshd);
    c.change(s);
    TBusRecorder global({"GLOBAL"});
    testing::TEventRecorder raw({"EVENTNewLogFileEntry"});
    auto session = Start(s);
    ASSERT_TRUE(testing::WaitFor([&] { return !session->Running(); }, 20000));
    EXPECT_TRUE(global.WaitForText("TSShSession Stopped"));
    ASSERT_TRUE(raw.WaitUntil([&](const testing::TEventRecorder::TEvents& events) {
      return std::any_of(events.begin(), events.end(),
                         [&](const auto& e) { return e->text.find(c.printed) != std::string::npos; });
    }));
    EXPECT_EQ(session->PasswordFile(), "");
    EXPECT_TRUE(!fs::exists(home_ / "Temp") || fs::is_empty(home_ / "Temp"));  // no password file stays
    EXPECT_EQ(session->ClientPid(), 0);
  }
}

// A stand-in for plink: keeps what it was given, asks the host-key question
// and keeps the answer, prints two kills and waits to be ended.
constexpr const char* kFakeClient = R"SH(#!/bin/sh
out="$(dirname "$0")"
printf '%s\n' "$@" > "$out/args"
while [ $# -gt 0 ]; do
  if [ "$1" = "-pwfile" ]; then stat -c %a "$2" > "$out/mode"; cat "$2" > "$out/password"; fi
  shift
done
printf 'The host key is not cached for this server:\nStore key in cache? (y/n, Return cancels connection, i for more info) '
head -c 2 | od -An -c > "$out/answer"
echo 'Alice was sniped by Bob'
echo 'Bob was sniped by Alice'
trap 'kill $! 2>/dev/null; exit 0' TERM
sleep 60 </dev/null >/dev/null 2>&1 &
wait
)SH";

TEST_F(SshSessionTest, PasswordGoesThroughAPrivateFileAndTheHostKeyQuestionIsAnswered) {
  const fs::path bin = home_ / "bin";
  fs::create_directories(bin);
  std::ofstream(bin / "plink") << kFakeClient;
  fs::permissions(bin / "plink", fs::perms::owner_all);
  TLogSourceSettings s;
  s.ssh_host = "game.example";
  s.ssh_login = "mohaa";
  s.ssh_password = "s3cr3t pass";
  s.ssh_command = "tail -f qconsole.log";
  s.ssh_client = "bin/plink";  // relative to the home
  auto session = Start(s);
  ASSERT_TRUE(kills_.WaitCount(2, 10000));
  const std::string pwfile = session->PasswordFile();
  ASSERT_FALSE(pwfile.empty());
  EXPECT_EQ(fs::path(pwfile).parent_path(), home_ / "Temp");
  EXPECT_EQ(testing::ReadFileText(bin / "mode"), "600\n");
  EXPECT_EQ(testing::ReadFileText(bin / "password"), "s3cr3t pass");
  // The password is on no command line; the file's path is (which lets the
  // orphan scan tell this home's clients).
  const std::string cmdline =
      testing::ReadFileText("/proc/" + std::to_string(session->ClientPid()) + "/cmdline");
  EXPECT_EQ(cmdline.find("s3cr3t"), std::string::npos);
  EXPECT_NE(cmdline.find(pwfile), std::string::npos);
  EXPECT_EQ(testing::ReadFileText(bin / "args"),
            "-ssh\n-P\n22\n-pwfile\n" + pwfile + "\nmohaa@game.example\ntail -f qconsole.log\n");
  // "y" and a carriage return; the question itself reached the queue.
  EXPECT_EQ(testing::ReadFileText(bin / "answer"), "   y  \\r\n");
  const auto raw = raw_.Events();
  EXPECT_TRUE(std::any_of(raw.begin(), raw.end(),
                          [](const auto& e) { return e->text.rfind("Store key in cache?", 0) == 0; }));

  const int pid = session->ClientPid();
  session.reset();
  EXPECT_FALSE(Alive(pid));
  EXPECT_FALSE(fs::exists(pwfile));
}

TEST_F(SshSessionTest, MissingSettingsAndClientAreReported) {
  struct TCase {
    const char* what;
    TLogSourceSettings source;
    std::string text;
  };
  TLogSourceSettings full;
  full.ssh_host = "127.0.0.1";
  full.ssh_login = "mohaa";
  full.ssh_password = "pw";
  full.ssh_client = "/nonexistent/plink";
  TLogSourceSettings no_login = full, no_password = full;
  no_login.ssh_login.clear();
  no_password.ssh_password.clear();
  const std::vector<TCase> cases{
      {"login", no_login, "TSShSession Stopped with Exception: Can\xB4t connect with SSH - Username missing"},
      {"password", no_password,
       "TSShSession Stopped with Exception: Can\xB4t connect with SSH - Passwort missing"},
      {"client", full,
       "TSShSession Stopped with Exception: Cannot start \"/nonexistent/plink\". No such file or directory"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TBusRecorder global({"GLOBAL"});
    auto session = Start(c.source);
    ASSERT_TRUE(global.WaitForText("TSShSession Stopped"));
    ASSERT_TRUE(
        global.WaitFor([&](const TRecordedMessage& m) { return m.text == c.text && m.level == mlCritical; }));
    EXPECT_TRUE(testing::WaitFor([&] { return !session->Running(); }));
    EXPECT_TRUE(!fs::exists(home_ / "Temp") || fs::is_empty(home_ / "Temp"));
  }
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

TEST_F(SshSessionTest, AppendToEventLatencyIsShort) {
  testing::TSshTestServer sshd;
  if (!sshd.Ok()) GTEST_SKIP() << "no SSH server here: " << sshd.Error();
  Append("");
  auto session = Start(RealSource(sshd));
  ASSERT_TRUE(testing::WaitUntilTailFollows(Log(), [&] { return Lines(); }));
  const size_t probes = raw_.Count();
  std::vector<double> ms;
  for (int i = 0; i < 50; ++i) {
    const size_t before = raw_.Count();
    const auto start = std::chrono::steady_clock::now();
    Append("Alice was sniped by Bob\n");
    ASSERT_TRUE(raw_.WaitCount(before + 1, 10000));
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("SSH append->event latency over %zu lines: median %.1f ms, max %.1f ms\n", ms.size(),
              ms[ms.size() / 2], ms.back());
  EXPECT_LT(ms[ms.size() / 2], 1000.0);
  EXPECT_EQ(raw_.Count(), probes + ms.size());
}

}  // namespace
}  // namespace kv
