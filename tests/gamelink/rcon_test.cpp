#include "gamelink/rcon.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "core/bus_scope.h"
#include "core/mainloop.h"
#include "tests/gamelink/gamelink_fixture.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

using testing::GameLinkTest;
using testing::TBusRecorder;
using testing::TEventRecorder;

int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

// A plain UDP socket on a free loopback port that keeps what it receives.
class TCapture {
 public:
  TCapture() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~TCapture() { ::close(fd_); }
  uint16_t Port() const { return port_; }
  std::string Receive(int timeout_ms = 2000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return "<nothing>";
    char buf[2048];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

TEST_F(GameLinkTest, RequestDatagramsAreByteExactInBothDialects) {
  struct Case {
    bool quake;
    std::string password, command, expected;
  };
  const Case cases[] = {
      {false, "secret", "status", std::string("\xFF\xFF\xFF\xFF\x02rcon secret status")},
      {false, "", "say \"hi\"", std::string("\xFF\xFF\xFF\xFF\x02rcon  say \"hi\"")},
      {true, "pw\xE4", "sv_hostname", std::string("\xFF\xFF\xFF\xFFrcon pw\xE4 sv_hostname")},
      {true, "", "status", std::string("\xFF\xFF\xFF\xFFrcon  status")},
  };
  TCapture capture;
  info_.rcon.Update([&](TRconSettings& r) { r.port = std::to_string(capture.Port()); });
  for (const auto& c : cases) {
    config_.SetBool("QuakeRCON", c.quake);
    info_.rcon.Update([&](TRconSettings& r) { r.password = c.password; });
    // Nobody answers: the time-out of 0 seconds ends the wait after half a second.
    EXPECT_EQ(SendMohaMessage(info_, c.command, false, 0), kRconTimeoutText);
    const std::string got = capture.Receive();
    EXPECT_EQ(got, c.expected) << c.command;
    EXPECT_EQ(got.size(), (c.quake ? 10u : 11u) + c.password.size() + c.command.size());
  }
}

TEST_F(GameLinkTest, RepliesFromTheGameServer) {
  sim_.Join("Bob", "10.0.0.2", 50);
  // Mohaa-style: the reply comes back byte for byte, header included.
  const std::string status = SendMohaMessage(info_, "status");
  EXPECT_EQ(status, mohsim::TMohSim::ReplyDatagrams(sim_.Execute("status", false), false).at(0));
  EXPECT_EQ(SendMohaMessage(info_, "sv_hostname"),
            "\xFF\xFF\xFF\xFF\x01print\n\"sv_hostname\" is:\"Kelvandrome Test Server\", the default\n");
  // Quake-style: the colour resets before the quotes are cleaned away.
  sim_.SetQuakeDialect(true);
  config_.SetBool("QuakeRCON", true);
  EXPECT_EQ(
      SendMohaMessage(info_, "sv_hostname"),
      "\xFF\xFF\xFF\xFFprint\n\"sv_hostname\" is:\"Kelvandrome Test Server\" default:\"Kelvandrome Test "
      "Server\"\n");
  info_.rcon.Update([&](TRconSettings& r) { r.password = "wrong"; });
  EXPECT_EQ(SendMohaMessage(info_, "status"), "\xFF\xFF\xFF\xFFprint\nBad rconpassword.\n");
  EXPECT_EQ(sim_.Commands(), (std::vector<std::string>{"status", "sv_hostname", "sv_hostname", "status"}));
}

TEST(RconCleanup, QuakeColourResetsAroundBlanksAndQuotes) {
  const std::pair<std::string, std::string> cases[] = {
      {"a^7 b", "ab"},
      {"is:\"x^7\" default:\"y^7\"", "is:\"x\" default:\"y\""},
      {"^7x ^1 red ^^7", "^7x ^1 red ^^7"},
      {"^7 ^7 ^7\"", "\""},
      {"^7^7 \"", "\""},  // the first pass leaves "^7\"" for the second
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(QuakeCleanup(in), out) << in;
}

TEST(RconSocketErrors, PlatformErrorsMapOntoTheOperatorTexts) {
  EXPECT_EQ(SocketErrorText(SocketCodeFromErrno(ECONNREFUSED)), "Connection refused");
  EXPECT_EQ(SocketErrorText(SocketCodeFromErrno(ENETUNREACH)), "Network is unreachable");
  EXPECT_EQ(SocketErrorText(SocketCodeFromErrno(EHOSTUNREACH)), "No route to host");
  EXPECT_EQ(SocketErrorText(SocketCodeFromErrno(EMSGSIZE)), "Message too long");
  EXPECT_EQ(SocketErrorText(SocketCodeFromResolver(EAI_NONAME)), "Host not found");
  EXPECT_EQ(SocketErrorText(SocketCodeFromResolver(EAI_AGAIN)), "Non authoritative - host not found");
  EXPECT_EQ(SocketErrorText(10059), "Too many references:can't splice");
  EXPECT_EQ(SocketErrorText(SocketCodeFromErrno(ENOENT)), "Not a Winsock error");
  EXPECT_EQ(SocketErrorText(0), "Not a Winsock error");
}

TEST_F(GameLinkTest, SocketErrorsEndTheRequestWithoutWaitingForTheTimeout) {
  TEventRecorder events({ekNewRconLog});
  // A closed loopback port answers with ICMP port unreachable.
  uint16_t closed_port;
  {
    TCapture gone;
    closed_port = gone.Port();
  }
  info_.rcon.Update([&](TRconSettings& r) { r.port = std::to_string(closed_port); });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendMohaMessage(info_, "status"), "Connection refused");
  EXPECT_LT(MsSince(start), 1500);

  info_.SetServerHost("no-such-host.invalid");
  start = std::chrono::steady_clock::now();
  const std::string text = SendMohaMessage(info_, "status");
  EXPECT_TRUE(text == "Host not found" || text == "Non authoritative - host not found") << text;
  EXPECT_LT(MsSince(start), 2500);

  info_.SetServerHost("127.0.0.1");
  info_.rcon.Update([&](TRconSettings& r) { r.port = "no-such-service"; });
  EXPECT_EQ(SendMohaMessage(info_, "status"), "Invalid argument");
  // Every request, failed or not, is still published.
  ASSERT_TRUE(events.WaitCount(3));
  EXPECT_EQ(events.At(0)->text, "");
}

TEST_F(GameLinkTest, NoReplyTimesOutHalfASecondAfterTheLimitAndIsStillPublished) {
  TEventRecorder events({ekNewRconLog});
  std::vector<std::string> sunk;
  SetRconReplySink(info_, [&](TMohaaServerInfo&, const std::string& reply) { sunk.push_back(reply); });
  config_.SetInteger("UDPTimeOut", 1);
  sim_.SetMuted(true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendMohaMessage(info_, "status"), kRconTimeoutText);
  const int64_t took = MsSince(start);
  EXPECT_GE(took, 1450);
  EXPECT_LT(took, 2500);
  EXPECT_EQ(sim_.RequestCount(), 1u);
  ASSERT_TRUE(events.WaitCount(1));
  EXPECT_EQ(events.At(0)->kind, ekNewRconLog);
  EXPECT_EQ(events.At(0)->text, "");
  EXPECT_EQ(sunk, std::vector<std::string>{""});
}

TEST_F(GameLinkTest, SplitReplyIsJoinedAndDuplicatesAreDropped) {
  for (int i = 0; i < 40; ++i)
    sim_.Join("Player" + std::to_string(i), "10.0.0." + std::to_string(i + 1), 40 + i);
  // A small reply buffer, so that the reply is split into several datagrams.
  sim_.SetReplyBuffer(1008);
  const std::string text = sim_.Execute("status", false);
  const auto datagrams = mohsim::TMohSim::ReplyDatagrams(sim_.Prints("status", false), false, 1008);
  ASSERT_GE(datagrams.size(), 3u);

  TEventRecorder events({ekNewRconLog});
  const std::string header = "\xFF\xFF\xFF\xFF\x01print\n";
  EXPECT_EQ(SendMohaMessage(info_, "status"), header + text);
  // The same reply arriving twice counts once.
  sim_.SetReplyCopies(2);
  EXPECT_EQ(SendMohaMessage(info_, "status"), header + text);
  sim_.SetReplyCopies(1);
  sim_.SetQuakeDialect(true);
  config_.SetBool("QuakeRCON", true);
  EXPECT_EQ(SendMohaMessage(info_, "status"), "\xFF\xFF\xFF\xFFprint\n" + text);
  ASSERT_TRUE(events.WaitCount(3));
  EXPECT_EQ(events.At(0)->text, header + text);
}

// A loopback UDP peer that answers every request with a script of its own:
// how a real server splits its replies, or how a hostile one floods.
class TScriptedPeer {
 public:
  using TScript = std::function<void(TScriptedPeer& peer)>;
  explicit TScriptedPeer(TScript script) : script_(std::move(script)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TScriptedPeer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  uint16_t Port() const { return port_; }
  bool Stopping() const { return stop_.load(); }
  void Send(const std::string& datagram) {
    ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&from_),
             sizeof from_);
  }
  static void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

 private:
  void Serve() {
    char buf[2048];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      socklen_t len = sizeof from_;
      if (::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from_), &len) >= 0) script_(*this);
    }
  }

  TScript script_;
  int fd_ = -1;
  uint16_t port_ = 0;
  sockaddr_in from_{};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(GameLinkTest, ShortDatagramDoesNotEndAReplyUnlessItsFormDoes) {
  const std::string header = "\xFF\xFF\xFF\xFF\x01print\n";
  const std::string status = "map: dm/mohdm6\nnum score ping name\n---\n";
  // The server flushes its buffer when the next print would overflow it:
  // the first datagram can be short, its continuation follows at once.
  TScriptedPeer peer([&](TScriptedPeer& p) {
    p.Send(header + "userinfo\n");
    p.Send(header + "--------\nname : Bob\n");
    p.Send(header + status);
    p.Send(header + "\n");  // the empty line that closes a status list
    p.Send(header + "late\n");
  });
  info_.rcon.Update([&](TRconSettings& r) { r.port = std::to_string(peer.Port()); });
  EXPECT_EQ(SendMohaMessage(info_, "dumpuser Bob"),
            header + "userinfo\n--------\nname : Bob\n" + status + "\nlate\n");
  // A status reply is whole at its empty line: what follows is not waited for.
  EXPECT_EQ(SendMohaMessage(info_, "status"), header + "userinfo\n--------\nname : Bob\n" + status + "\n");

  const std::pair<std::string, bool> forms[] = {
      {header + "map: x\nnum score ping name\n---\n  0 Bob\n\n", true},
      {header + "map: x\nnum score ping name\n---\n  0 Bob\n", false},  // cut after a row
      {header + "Bad rconpassword.\n", true},
      {header + "No rconpassword set on the server.\n", true},
  };
  for (const auto& [reply, complete] : forms)
    EXPECT_EQ(ReplyLooksComplete("status", reply), complete) << reply;
  EXPECT_FALSE(ReplyLooksComplete("say hi", header + "console: hi\n\n"));
  EXPECT_TRUE(ReplyLooksComplete("say hi", header + "Bad rconpassword.\n"));
}

TEST_F(GameLinkTest, HostilePeerCannotGrowAReplyWithoutBound) {
  struct Case {
    size_t datagram_bytes;
    bool cut_in_size;  // else it is cut in time
  };
  // Distinct datagrams one after the other for as long as they are let: big
  // ones reach the size cap, a trickle of small ones the time cap.
  for (const Case c : {Case{60 * 1024, true}, Case{100, false}}) {
    TBusRecorder global({"GLOBAL"});
    TEventRecorder events({ekNewRconLog});
    TScriptedPeer peer([&](TScriptedPeer& p) {
      for (int i = 0; i < 5000 && !p.Stopping(); ++i) {
        std::string d = "\xFF\xFF\xFF\xFF\x01print\n" + std::to_string(i) + ":";
        d.resize(c.datagram_bytes, static_cast<char>('a' + i % 26));
        p.Send(d);
        TScriptedPeer::Sleep(1);
      }
    });
    info_.rcon.Update([&](TRconSettings& r) { r.port = std::to_string(peer.Port()); });
    config_.SetInteger("UDPTimeOut", 5);
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = SendMohaMessage(info_, "status");
    EXPECT_LT(MsSince(start), kRconMaxJoinMs + 1000) << c.datagram_bytes;  // not the 5.5 s time-out
    ASSERT_TRUE(events.WaitCount(1));
    EXPECT_EQ(events.At(0)->text, reply);
    if (c.cut_in_size) {
      EXPECT_EQ(reply.size(), kRconMaxReplyBytes);
      EXPECT_TRUE(global.WaitForText("Rcon reply cut at 262144 bytes: status"));
    } else {
      EXPECT_GT(reply.size(), 1000u);
      EXPECT_LT(reply.size(), kRconMaxReplyBytes);
    }
    ASSERT_TRUE(GetMonitorInterface()->Flush(5000));  // nothing of this case reaches the next
  }
}

TEST_F(GameLinkTest, SharedBudgetKeepsABurstUnderTheServersRateLimit) {
  // 15 commands at once through one budget, against a server that drops
  // what exceeds 10 in a burst and then 1 a second: all are answered, and
  // kicks queued after the polls still go before them.
  sim_.SetRateLimit(true);
  info_.rcon_budget = std::make_shared<TRconBudget>();
  std::mutex mutex;
  std::vector<std::string> failed;
  const auto send = [&](const std::string& command, TRconPriority priority) {
    const std::string reply = SendMohaMessage(info_, command, false, -1, priority);
    if (reply.rfind("\xFF\xFF\xFF\xFF\x01print\n", 0) != 0) {
      std::lock_guard lock(mutex);
      failed.push_back(command + ": " + reply);
    }
  };
  std::vector<std::thread> callers;
  for (int i = 0; i < 10; ++i) callers.emplace_back(send, "status", rpPoll);
  testing::WaitFor([&] { return info_.rcon_budget->Waiting() >= 2; });
  ASSERT_GE(info_.rcon_budget->Waiting(), 2u);  // the burst went out, polls wait
  for (int i = 0; i < 5; ++i) callers.emplace_back(send, "clientkick " + std::to_string(i), rpCommand);
  for (auto& t : callers) t.join();
  EXPECT_TRUE(failed.empty()) << failed.front();
  EXPECT_EQ(sim_.DroppedCount(), 0u);
  const auto commands = sim_.Commands();
  ASSERT_EQ(commands.size(), 15u);
  // After the burst of polls, every kick goes before the polls still waiting.
  const auto first_kick = std::find_if(commands.begin(), commands.end(),
                                       [](const std::string& c) { return c.rfind("clientkick", 0) == 0; });
  ASSERT_NE(first_kick, commands.end());
  EXPECT_TRUE(std::all_of(first_kick, first_kick + 5,
                          [](const std::string& c) { return c.rfind("clientkick", 0) == 0; }));
  EXPECT_LE(first_kick - commands.begin(), 9);
  EXPECT_GE(std::count(first_kick + 5, commands.end(), "status"), 1);
}

TEST_F(GameLinkTest, RequestThatGetsNoTurnIsNotSent) {
  info_.rcon_budget = std::make_shared<TRconBudget>(1, 1);  // one a minute
  EXPECT_NE(SendMohaMessage(info_, "status").find("map: "), std::string::npos);
  TRconResult result;
  std::thread waiter([&] { result = PerformRconRequest(info_, "status", -1, rpPoll); });
  testing::WaitFor([&] { return info_.rcon_budget->Waiting() > 0; });
  info_.rcon_budget->Cancel();
  waiter.join();
  EXPECT_EQ(result.Text(), kRconBudgetText);
  EXPECT_EQ(sim_.RequestCount(), 1u);
}

TEST(RconReplyHeader, OnlyTheRepeatedHeaderIsStripped) {
  EXPECT_EQ(StripReplyHeader("\xFF\xFF\xFF\xFF\x01print\nrow"), "row");
  EXPECT_EQ(StripReplyHeader("\xFF\xFF\xFF\xFFprint\nrow"), "row");
  EXPECT_EQ(StripReplyHeader("\xFF\xFF\xFF\xFF\x01printed"), "\xFF\xFF\xFF\xFF\x01printed");
  EXPECT_EQ(StripReplyHeader("row"), "row");
  EXPECT_EQ(StripReplyHeader(""), "");
}

TEST_F(GameLinkTest, ReplySinkSeesEveryReplyAndItsFailureDoesNotMatter) {
  TBusRecorder global({"GLOBAL"});
  std::vector<std::string> sunk;
  SetRconReplySink(info_, [&](TMohaaServerInfo& info, const std::string& reply) {
    EXPECT_EQ(&info, &info_);
    sunk.push_back(reply);
  });
  const std::string reply = SendMohaMessage(info_, "say hello");
  EXPECT_NE(reply.find("broadcast: print"), std::string::npos);
  EXPECT_EQ(sunk, std::vector<std::string>{reply});

  SetRconReplySink(info_,
                   [](TMohaaServerInfo&, const std::string&) { throw std::runtime_error("parser broke"); });
  EXPECT_EQ(SendMohaMessage(info_, "say hello"), reply);
  ASSERT_TRUE(global.WaitForText("LogEventCheck failed"));
  EXPECT_EQ(global.Messages().back().level, mlDebug);
}

TEST_F(GameLinkTest, OverlongOrMultiLineCommandIsRefusedAndNotSent) {
  const std::string command = "say " + std::string(kRconMaxDatagram, 'x');
  EXPECT_EQ(SendMohaMessage(info_, command), kRconTooLongText);
  for (const std::string& nick :
       {std::string("Bob\"\nquit"), std::string("Bob\rkick 1"), std::string("Bob\0x", 5)})
    EXPECT_EQ(SendMohaMessage(info_, "dumpuser \"" + nick + "\""), kRconLineBreakText);
  EXPECT_EQ(sim_.RequestCount(), 0u);
  // The longest command that fits still goes out.
  const std::string fits = "say " + std::string(kRconMaxDatagram - 11 - 6 - 4, 'x');
  EXPECT_NE(SendMohaMessage(info_, fits).find("console: x"), std::string::npos);
}

TEST_F(GameLinkTest, ShutdownEndsAWaitingRequestAtOnce) {
  sim_.SetMuted(true);
  std::string result = "unset";
  const auto start = std::chrono::steady_clock::now();
  std::thread caller([&] { result = SendMohaMessage(info_, "status"); });
  testing::WaitFor([&] { return sim_.RequestCount() > 0; }, 2000);
  SetRconTerminating(info_, true);
  caller.join();
  EXPECT_LT(MsSince(start), 1500);  // far below the 3.5 s of the default time-out
  EXPECT_EQ(result, "");
  // While shutting down nothing more is sent.
  EXPECT_EQ(SendMohaMessage(info_, "status"), "");
  EXPECT_EQ(sim_.RequestCount(), 1u);
}

// The reply wait sleeps until a datagram, the end of the continuation gap or
// the deadline: a handful of wake-ups per request, not one per slice.
TEST_F(GameLinkTest, ReplyWaitWakesForTheReplyAndItsDeadlineOnly) {
  struct TCase {
    const char* command;
    bool muted;
    std::string expected;  // a part of the result
    uint64_t max_wakeups;
  };
  const TCase cases[] = {
      {"status", false, "map: ", 1},          // complete by its form
      {"say hi", false, "console: hi", 2},    // the datagram, then the gap
      {"status", true, kRconTimeoutText, 1},  // half a second of silence
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.command) + (c.muted ? " muted" : ""));
    sim_.SetMuted(c.muted);
    const uint64_t before = RconReplyWaitWakeups();
    EXPECT_NE(SendMohaMessage(info_, c.command, false, 0).find(c.expected), std::string::npos);
    EXPECT_LE(RconReplyWaitWakeups() - before, c.max_wakeups);
  }
}

// With keep_responsive the request's end wakes the waiting main loop; the
// loop does not look for it in between.
TEST_F(GameLinkTest, KeepResponsiveWaitIsWokenByTheRequestsEnd) {
  for (const bool muted : {false, true}) {
    SCOPED_TRACE(muted ? "muted" : "answered");
    sim_.SetMuted(muted);
    std::string result;
    uint64_t wakeups = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(scope_.Loop().Invoke([&] {
      const uint64_t before = scope_.Loop().Wakeups();
      result = SendMohaMessage(info_, "status", true, 0);
      wakeups = scope_.Loop().Wakeups() - before;
    }));
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_EQ(result.find("map: ") != std::string::npos, !muted);
    EXPECT_LE(wakeups, 1u);
  }
}

TEST_F(GameLinkTest, KeepResponsiveServesTheMainLoopWhileWaiting) {
  sim_.SetMuted(true);
  std::atomic<bool> served{false};
  bool served_before_return = false;
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    scope_.Loop().Post([&] { served = true; });
  });
  ASSERT_TRUE(scope_.Loop().Invoke([&] {
    EXPECT_EQ(SendMohaMessage(info_, "status", true, 0), kRconTimeoutText);
    served_before_return = served.load();
  }));
  poster.join();
  EXPECT_TRUE(served_before_return);
}

}  // namespace
}  // namespace kv
