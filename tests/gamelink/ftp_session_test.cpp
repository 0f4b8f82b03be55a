// The FTP downloader against a real FTP server on 127.0.0.1, with the
// local-file follower reading its copy: lines written to the served log
// arrive as events in order, nothing lost or doubled, across a rotation, a
// replacement by a longer log and a server restart.
#include "gamelink/ftp_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "gamelink/file_session.h"
#include "gamelink_test_support.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"
#include "tests/support/remote_servers.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using testing::TBusRecorder;
using testing::TRecordedMessage;

class FtpSessionTest : public ::testing::Test {
 protected:
  FtpSessionTest() {
    source_.ftp_host = "127.0.0.1";
    source_.ftp_port = std::to_string(server_.Port());
    source_.ftp_file = "logs/qconsole.log";
    source_.ftp_login = testing::TFtpTestServer::kUser;
    source_.ftp_password = testing::TFtpTestServer::kPassword;
    source_.ftp_passive = true;
    source_.ftp_poll_ms = 100;
  }
  void SetUp() override {
    if (!server_.Ok()) GTEST_SKIP() << "no FTP server here: " << server_.Error();
  }

  fs::path Served() const { return served_ / "logs" / "qconsole.log"; }
  void Append(const std::string& text, const fs::path& path = {}) {
    std::ofstream(path.empty() ? Served() : path, std::ios::binary | std::ios::app) << text;
  }
  std::string Copy() const { return (home_ / "Data" / "qconsole.log").string(); }
  void StartFollowing(TFtpTimeouts timeouts = {}) {
    ftp_ = TFtpSession::Create(source_, Copy(), timeouts);
    file_ = TFileSession::Create(&server_info_, Copy(), std::make_unique<TServerLogEventChecker>(),
                                 ftp_->ReadyFn());
  }
  std::string Dump() {
    std::string out;
    for (const auto& m : global_.Messages()) out += "\n" + m.text;
    return out;
  }
  // The lines the follower passed on, in order.
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
  bool made_ = [this] {
    fs::create_directories(served_ / "logs");
    return true;
  }();
  testing::TFtpTestServer server_{served_.Path()};
  TMohaaServerInfo server_info_;
  test::TCurrentPlayers players_{server_info_, {{"Alice", 3}, {"Bob", 2}}};
  TLogSourceSettings source_;
  TThreadPtr<TFtpSession> ftp_;
  TThreadPtr<TFileSession> file_;
};

// Kill i: who dies alternates, so order shows in the events too.
std::string Kill(int i) { return i % 2 ? "Alice was sniped by Bob\n" : "Bob was sniped by Alice\n"; }

TEST_F(FtpSessionTest, FollowsTheRemoteLogAcrossRotationReplacementAndServerRestart) {
  // 300 kB of old text: padded with zeros, never parsed.
  std::string old;
  while (old.size() < 300'000) old += "Alice was sniped by Bob (before the start)\n";
  Append(old);
  StartFollowing();
  ASSERT_TRUE(testing::WaitFor([&] { return ftp_->Ready(); }, 10000));
  ASSERT_EQ(fs::file_size(Copy()), old.size());
  {
    // Zeros for the old text, its last bytes as they are (for the
    // comparison at the next download).
    const std::string copy = testing::ReadFileText(Copy());
    EXPECT_EQ(copy.find_first_not_of('\0'), old.size() - TFtpSession::kOverlapBytes);
    EXPECT_EQ(copy.substr(old.size() - 100), old.substr(old.size() - 100));
  }
  std::vector<std::string> written;
  int kills = 0;
  auto write = [&](int n, const fs::path& path = {}) {
    for (int i = 0; i < n; ++i) {
      std::string line = Kill(kills++);
      // A line in two writes: it is passed on whole.
      Append(line.substr(0, 5), path);
      Append(line.substr(5), path);
      written.push_back(line.substr(0, line.size() - 1));
    }
  };
  auto arrived = [&] { return raw_.WaitCount(written.size(), 15000) && raw_.Count() == written.size(); };

  write(10);
  ASSERT_TRUE(arrived()) << raw_.Count() << Dump() << " copy " << fs::file_size(Copy()) << " served "
                         << fs::file_size(Served()) << " errors " << ftp_->ErrorCount() << " restarts "
                         << ftp_->Restarts();

  // Rotation: the log is renamed away and a new, shorter one begins.
  fs::rename(Served(), served_ / "logs" / "qconsole.log.1");
  write(3);
  ASSERT_TRUE(arrived()) << raw_.Count();

  // Replaced by a longer log (the server restarted and wrote more than the
  // old log held before we looked): all of the new one is read.
  const fs::path fresh = served_ / "logs" / "fresh.log";
  write(40, fresh);
  fs::rename(fresh, Served());
  ASSERT_TRUE(arrived()) << raw_.Count();
  EXPECT_EQ(ftp_->Restarts(), 2);

  // The FTP server restarts; what is written meanwhile comes afterwards.
  server_.Stop();
  write(5);
  ASSERT_TRUE(server_.Restart()) << server_.Error();
  write(5);
  ASSERT_TRUE(arrived()) << raw_.Count();

  EXPECT_EQ(Lines(), written);
  ASSERT_TRUE(kills_.WaitCount(written.size()));
  const auto events = kills_.Events();
  for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i]->log_entry->line, written[i]) << i;
  EXPECT_TRUE(ftp_->Running());
  EXPECT_EQ(ftp_->ErrorCount() <= TFtpSession::kMaxErrors, true);
  file_.reset();
  ftp_.reset();
  EXPECT_TRUE(global_.WaitForText("TFtpSession Stopped"));
}

TEST_F(FtpSessionTest, LoginFailuresEndTheDownloaderWithTheirText) {
  const std::string prefix =
      "TFtpSession - Can not Connect and Login to FTP-Server please Check youre Login and Connection Data - "
      "Last "
      "Error: ";
  struct TCase {
    const char* what;
    std::function<void(TLogSourceSettings&)> change;
    std::string error_part;  // in the text after the prefix
  };
  const int closed = testing::FreeLoopbackPort();
  const std::vector<TCase> cases{
      {"wrong password", [](TLogSourceSettings& s) { s.ftp_password = "wrong"; }, "530"},
      {"nobody listens", [closed](TLogSourceSettings& s) { s.ftp_port = std::to_string(closed); }, "onnect"},
      {"HTTP proxy", [](TLogSourceSettings& s) { s.ftp_proxy.method = 6; }, "Command not supported."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TLogSourceSettings source = source_;
    c.change(source);
    TBusRecorder global({"GLOBAL"});
    auto ftp = TFtpSession::Create(source, Copy());
    ASSERT_TRUE(testing::WaitFor([&] { return !ftp->Running(); }, 15000));
    ASSERT_TRUE(global.WaitForText("TFtpSession Stopped"));
    const auto messages = global.Messages();
    const auto failure = std::find_if(messages.begin(), messages.end(), [&](const TRecordedMessage& m) {
      return m.text.rfind(prefix, 0) == 0;
    });
    ASSERT_NE(failure, messages.end());
    EXPECT_NE(failure->text.find(c.error_part, prefix.size()), std::string::npos) << failure->text;
    EXPECT_EQ(failure->level, mlCritical);
    EXPECT_FALSE(ftp->Ready());
  }
}

TEST_F(FtpSessionTest, AServerThatStopsAnsweringEndsTheDownloaderAfterTooManyErrors) {
  Append("Alice was sniped by Bob\n");
  TFtpTimeouts quick{1000, 1000, 1000, 3000};
  source_.ftp_poll_ms = 10;
  StartFollowing(quick);
  ASSERT_TRUE(testing::WaitFor([&] { return ftp_->Ready(); }, 10000));
  server_.Pause();  // accepts connections (the kernel does) but never answers
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(testing::WaitFor([&] { return !ftp_->Running(); }, 60000));
  const auto took = std::chrono::steady_clock::now() - start;
  server_.Resume();
  EXPECT_LT(took, std::chrono::seconds(45));
  EXPECT_TRUE(global_.WaitForText("TFtpSession Stopped"));
  const auto messages = global_.Messages();
  const size_t errors = std::count_if(messages.begin(), messages.end(), [](const TRecordedMessage& m) {
    return m.text.rfind("TFtpSession - error occured: ", 0) == 0;
  });
  EXPECT_EQ(errors, static_cast<size_t>(TFtpSession::kMaxErrors + 1));
  EXPECT_TRUE(global_.WaitFor([](const TRecordedMessage& m) {
    return m.text.rfind(
               "TFtpSession - Closing FTP-Link to many Errors - Please Check youre Setup - Last Error: ",
               0) == 0 &&
           m.level == mlCritical;
  }));
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

// Each sample: one line appended, the time until its event. Printed for the
// performance notes; bounded by the poll interval and a download.
std::vector<double> LatenciesMs(const std::function<void(const std::string&)>& append,
                                testing::TEventRecorder& raw, int samples) {
  std::vector<double> ms;
  for (int i = 0; i < samples; ++i) {
    const size_t before = raw.Count();
    const auto start = std::chrono::steady_clock::now();
    append("Alice was sniped by Bob\n");
    if (!raw.WaitCount(before + 1, 10000)) break;
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    // Spread the appends over the poll cycle (the next download follows
    // the one that brought this line by the poll interval).
    std::this_thread::sleep_for(std::chrono::milliseconds((i * 397) % 1000));
  }
  std::sort(ms.begin(), ms.end());
  return ms;
}

TEST_F(FtpSessionTest, AppendToEventLatencyStaysWithinThePollInterval) {
  Append("");
  source_.ftp_poll_ms = 1000;  // the default
  StartFollowing();
  ASSERT_TRUE(testing::WaitFor([&] { return ftp_->Ready(); }, 10000));
  const auto ms = LatenciesMs([&](const std::string& t) { Append(t); }, raw_, 20);
  ASSERT_EQ(ms.size(), 20u);
  std::printf("FTP append->event latency over %zu lines: median %.0f ms, max %.0f ms\n", ms.size(),
              ms[ms.size() / 2], ms.back());
  EXPECT_LT(ms.back(), 3000.0);
}

}  // namespace
}  // namespace kv
