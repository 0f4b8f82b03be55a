#include "tools/mohsim/mohsim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kv::mohsim {
namespace {

const std::string kMohaaHeader = "\xFF\xFF\xFF\xFF\x01print\n";
const std::string kQuakeHeader = "\xFF\xFF\xFF\xFFprint\n";

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class MohSimTest : public ::testing::Test {
 protected:
  MohSimTest()
      : log_(std::filesystem::temp_directory_path() /
             ("mohsim_test_" + std::to_string(::getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log")),
        sim_("secret", log_.string()) {
    std::filesystem::remove(log_);
  }
  ~MohSimTest() override { std::filesystem::remove(log_); }

  std::filesystem::path log_;
  TMohSim sim_;
};

TEST_F(MohSimTest, StatusUsesTheGameServersColumns) {
  sim_.Join("Bob", "10.0.0.2", 50);
  sim_.Join("A_Name_Longer_Than_15", "192.168.100.200", 120);
  sim_.Join("Carl", "127.0.0.1", 999, true);
  sim_.SetScore("Bob", -3);
  EXPECT_EQ(sim_.Execute("status", false),
            "map: dm/mohdm6\n"
            "num score ping name            lastmsg address               qport rate  \n"
            "--- ----- ---- --------------- ------- --------------------- ----- ----- \n"
            "  0    -3   50 Bob                   0 10.0.0.2:12203         1000 25000\n"
            "  1     0  120 A_Name_Longer_Than_15      50 192.168.100.200:12204  1397 25000\n"
            "  2     0 CNCT Carl                100 127.0.0.1:12205        1794 25000\n"
            "\n");
  // A freed slot is taken again by the next client.
  EXPECT_TRUE(sim_.Leave("Bob"));
  EXPECT_EQ(sim_.Join("Dora"), 0);
  EXPECT_EQ(sim_.Join("Dora"), -1);  // names are unique
}

TEST_F(MohSimTest, ConsoleCommandsAnswerLikeTheGame) {
  sim_.Join("Bob");
  sim_.Join("Big Joe");
  sim_.SetSkins("Big Joe", "allied_airborne", "german_panzer_grenadier");
  const std::pair<std::string, std::string> cases[] = {
      {"say hello all",
       "console: hello all\nbroadcast: print \"\x02"
       "console: hello all\\n\"\n"},
      {"say \"quoted\"",
       "console: quoted\nbroadcast: print \"\x02"
       "console: quoted\\n\"\n"},
      {"clientkick 7", "Client 7 is not active\n"},
      {"clientkick x", "Bad client slot: x\n"},
      {"dumpuser \"Nobody\"", "Player Nobody is not on the server\n"},
      {"dumpuser \"Big Joe\"",
       "userinfo\n--------\n"
       "name                : Big Joe\n"
       "rate                : 25000\n"
       "snaps               : 20\n"
       "dm_playermodel      : allied_airborne\n"
       "dm_playergermanmodel: german_panzer_grenadier\n"
       "ip                  : 127.0.0.1:12204\n"},
      {"g_gametype", "\"g_gametype\" is:\"2\" default:\"2\"\n"},
      {"sv_hostname My Server", ""},
      {"sv_hostname", "\"sv_hostname\" is:\"My Server\" default:\"My Server\"\n"},
      {"set g_gametype 4", ""},
      {"G_GAMETYPE", "\"G_GAMETYPE\" is:\"4\" default:\"4\"\n"},
      {"nosuchthing", "Unknown command \"nosuchthing\"\n"},
      {"clientkick 0",
       "broadcast: print \"\x02"
       "Bob was kicked\\n\"\n"},
      {"clientkick 0", "Client 0 is not active\n"},
  };
  for (const auto& [command, reply] : cases) EXPECT_EQ(sim_.Execute(command, false), reply) << command;
  EXPECT_FALSE(sim_.Client("Bob"));
  // Quake III prints a colour reset after every cvar value.
  EXPECT_EQ(sim_.Execute("g_gametype", true), "\"g_gametype\" is:\"4^7\" default:\"4^7\"\n");
}

TEST_F(MohSimTest, DatagramsCheckThePasswordAndAnswerInTheRequestsDialect) {
  const std::string mohaa = std::string("\xFF\xFF\xFF\xFF\x02rcon ");
  const std::string quake = std::string("\xFF\xFF\xFF\xFFrcon ");
  EXPECT_EQ(sim_.HandleDatagram(mohaa + "wrong status"),
            std::vector<std::string>{kMohaaHeader + "Bad rconpassword.\n"});
  // The game server does not answer the Quake form; mohsim does when asked to.
  EXPECT_TRUE(sim_.HandleDatagram(quake + "secret status").empty());
  sim_.SetQuakeDialect(true);
  EXPECT_EQ(sim_.HandleDatagram(quake + " status"),
            std::vector<std::string>{kQuakeHeader + "Bad rconpassword.\n"});
  EXPECT_EQ(sim_.HandleDatagram(quake + "secret say hi").at(0).substr(0, kQuakeHeader.size() + 12),
            kQuakeHeader + "console: hi\n");
  EXPECT_TRUE(sim_.HandleDatagram("status").empty());  // not a request: no answer
  EXPECT_TRUE(sim_.HandleDatagram(std::string("\xFF\xFF\xFF\xFFgetstatus")).empty());
  EXPECT_EQ(sim_.Commands(), (std::vector<std::string>{"status", "status", "say hi"}));

  TMohSim open_server("");
  EXPECT_EQ(open_server.HandleDatagram(mohaa + " status"),
            std::vector<std::string>{kMohaaHeader + "No rconpassword set on the server.\n"});
}

TEST_F(MohSimTest, RepliesAreSplitAtPrintCallsWithTheFullHeaderOnEveryDatagram) {
  using TPrints = std::vector<std::string>;
  const auto& H = kMohaaHeader;
  struct Case {
    TPrints prints;
    size_t buffer;
    TPrints datagrams;
  };
  const Case cases[] = {
      // A datagram goes when the next print would overflow the buffer.
      {{"aaaa", "bbb", "cc", "d"}, 7, {H + "aaaabbb", H + "ccd"}},
      {{"aaaa", "bbbb"}, 7, {H + "aaaa", H + "bbbb"}},
      {{"xxxxxxxxxx", "y"}, 4, {H + "xxxx", H + "y"}},  // one print larger than the buffer is cut
      {{}, 7, {H}},                                     // nothing printed: still one datagram
  };
  for (const auto& c : cases) EXPECT_EQ(TMohSim::ReplyDatagrams(c.prints, false, c.buffer), c.datagrams);
  EXPECT_EQ(TMohSim::ReplyDatagrams("", true), TPrints{kQuakeHeader});
  EXPECT_EQ(LinePrints("a\nb\nc"), (TPrints{"a\n", "b\n", "c"}));

  // A full server: with the game's buffer the status fits one datagram; a
  // small buffer splits it in the middle of rows, and the parts join again.
  for (int i = 0; i < 40; ++i) sim_.Join("Soldier" + std::to_string(i), "10.0.1." + std::to_string(i + 1));
  const std::string request = "\xFF\xFF\xFF\xFF\x02rcon secret status";
  EXPECT_EQ(sim_.HandleDatagram(request).size(), 1u);
  sim_.SetReplyBuffer(100);
  const auto parts = sim_.HandleDatagram(request);
  ASSERT_GT(parts.size(), 30u);
  std::string joined;
  size_t cut_in_a_row = 0;
  for (const auto& d : parts) {
    ASSERT_EQ(d.substr(0, H.size()), H);
    EXPECT_LE(d.size(), H.size() + 100);
    joined += d.substr(H.size());
    cut_in_a_row += d.back() != '\n';
  }
  EXPECT_EQ(joined, sim_.Execute("status", false));
  EXPECT_GT(cut_in_a_row, 0u);
}

TEST_F(MohSimTest, AnIPv6ClientWidensTheAddressColumnOfEveryRow) {
  sim_.Join("Alice", "127.0.0.1", 50);
  sim_.Join("Bob", "2001:db8::7", 80);
  EXPECT_EQ(sim_.Execute("status", false),
            "map: dm/mohdm6\n"
            "num score ping name            lastmsg address                                qport rate  \n"
            "--- ----- ---- --------------- ------- -------------------------------------- ----- ----- \n"
            "  0     0   50 Alice                 0 127.0.0.1:12203                         1000 25000\n"
            "  1     0   80 Bob                  50 [2001:db8::7]:12204                     1397 25000\n"
            "\n");
  EXPECT_TRUE(sim_.Leave("Bob"));
  EXPECT_NE(
      sim_.Execute("status", false).find("\n--- ----- ---- --------------- ------- --------------------- "),
      std::string::npos);
}

TEST(MohSimRateLimit, BurstOfTenThenOneASecondPerAddress) {
  TRconRateLimit limit;
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(limit.Allow(1, i)) << i;
  EXPECT_FALSE(limit.Allow(1, 500));
  EXPECT_TRUE(limit.Allow(2, 500));  // each address has its own count
  EXPECT_FALSE(limit.Allow(1, 999));
  EXPECT_TRUE(limit.Allow(1, 1000));
  EXPECT_FALSE(limit.Allow(1, 1500));
  EXPECT_TRUE(limit.Allow(1, 2000));
  // A quiet minute gives the whole burst back.
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(limit.Allow(1, 60'000 + i)) << i;
  EXPECT_FALSE(limit.Allow(1, 60'010));
}

TEST_F(MohSimTest, RateLimitedServerDropsWhatExceedsTheBurstWithoutAWord) {
  sim_.SetRateLimit(true);
  std::string error;
  ASSERT_TRUE(sim_.Listen(0, error)) << error;
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(sim_.Port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string request = "\xFF\xFF\xFF\xFF\x02rcon secret say hi";
  for (int i = 0; i < 12; ++i)
    ::sendto(s, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  int answers = 0;
  pollfd p{s, POLLIN, 0};
  char buf[2048];
  while (::poll(&p, 1, 500) > 0 && ::recv(s, buf, sizeof buf, 0) > 0) ++answers;
  ::close(s);
  sim_.Stop();
  EXPECT_EQ(answers, 10);
  EXPECT_EQ(sim_.DroppedCount(), 2u);
  EXPECT_EQ(sim_.RequestCount(), 10u);  // a dropped request never reaches the console
}

TEST_F(MohSimTest, LogLinesTakeTheFormsTheParserKnows) {
  sim_.Join("Bob");
  sim_.Join("Alice");
  const std::pair<TSimWeapon, const char*> kills[] = {
      {TSimWeapon::Rifle, "Alice was rifled by Bob"},
      {TSimWeapon::Sniper, "Alice was sniped by Bob"},
      {TSimWeapon::SMG, "Alice was gunned down by Bob"},
      {TSimWeapon::MG, "Alice was machine-gunned by Bob"},
      {TSimWeapon::Rocket, "Alice took Bob's rocket right in the kisser"},
      {TSimWeapon::Shotgun, "Alice was pumped full of buckshot by Bob"},
      {TSimWeapon::Grenade, "Alice tripped on Bob's grenade"},
      {TSimWeapon::Pistol, "Alice was shot in the back by Bob"},
  };
  std::string expected;
  for (const auto& [weapon, line] : kills) {
    EXPECT_TRUE(sim_.Kill("Bob", "Alice", weapon));
    expected += std::string(line) + "\n";
  }
  EXPECT_EQ(sim_.Client("Bob")->score, 8);
  EXPECT_FALSE(sim_.Kill("Bob", "Nobody", TSimWeapon::Rifle));
  EXPECT_TRUE(sim_.Chat("Bob", "hi there"));
  sim_.SetChatDialect(TChatDialect::Windows);
  EXPECT_TRUE(sim_.Chat("Bob", "hi there"));
  sim_.SetChatDialect(TChatDialect::Quake);
  EXPECT_TRUE(sim_.Chat("Bob", "hi there"));
  EXPECT_TRUE(sim_.JoinTeam("Bob", "allies"));
  EXPECT_TRUE(sim_.JoinTeam("Alice", "spectator"));
  EXPECT_TRUE(sim_.AutoJoinTeam("Alice"));
  EXPECT_TRUE(sim_.ChooseWeapon("Bob", "smg"));
  EXPECT_TRUE(sim_.Reload("Bob"));
  EXPECT_FALSE(sim_.Chat("Nobody", "x"));
  sim_.SetMap("dm/mohdm1");
  expected +=
      "CHAT: Bob: hi there\n"
      "clientCommand: Bob : dmmessage 0 hi there\n"
      "ClientCommand: Bob : say 0 hi there\n"
      "clientCommand: Bob : join_team allies\n"
      "clientCommand: Alice : spectator\n"
      "clientCommand: Alice : auto_join_team\n"
      "clientCommand: Bob : primarydmweapon smg\n"
      "clientCommand: Bob : reload\n"
      "Adding script: 'dm/mohdm1.scr'\n";
  EXPECT_EQ(ReadAll(log_), expected);
  EXPECT_EQ(sim_.Client("Bob")->score, 0);  // a new map starts a new match
  EXPECT_EQ(sim_.Execute("status", false).substr(0, 15), "map: dm/mohdm1\n");
}

TEST_F(MohSimTest, ScriptsDriveTheScenarioAndReportTheirFirstBadLine) {
  int slept = 0;
  const auto sleep = [&](int ms) { slept += ms; };
  EXPECT_EQ(RunScript(sim_,
                      "# a small match\n"
                      "join Bob 10.0.0.2 40\n"
                      "join \"Big Joe\" 10.0.0.3\n"
                      "connect Carl\n"
                      "wait 250\n"
                      "ping Carl 80   # connected now\n"
                      "kill \"Big Joe\" Bob sniper\n"
                      "chat Bob well   played\n"
                      "cvar sv_hostname Test Box\n"
                      "leave Carl\n",
                      sleep),
            "");
  EXPECT_EQ(slept, 250);
  EXPECT_EQ(sim_.Clients().size(), 2u);
  EXPECT_EQ(sim_.Client("Bob")->ping, 40);
  EXPECT_EQ(ReadAll(log_), "Bob was sniped by Big Joe\nCHAT: Bob: well played\n");
  EXPECT_EQ(sim_.Execute("sv_hostname", false), "\"sv_hostname\" is:\"Test Box\" default:\"Test Box\"\n");

  EXPECT_EQ(RunScript(sim_, "join Dora\nkill Dora Bob bazooka\n", sleep), "line 2: unknown weapon bazooka");
  EXPECT_EQ(RunScript(sim_, "\n\nfly Bob\n", sleep), "line 3: unknown command fly");
  EXPECT_EQ(RunScript(sim_, "ping Nobody 5", sleep), "line 1: no such player Nobody");
  EXPECT_EQ(RunScript(sim_, "kill Bob", sleep), "line 1: missing argument for kill");
}

TEST_F(MohSimTest, RandomMatchKeepsItsPlayersAndWritesOnlyKnownLineForms) {
  std::atomic<bool> stop{false};
  RandomMatch(
      sim_, 12, 400, 7, [](int) {}, stop, 0);
  EXPECT_EQ(sim_.Clients().size(), 12u);
  std::istringstream lines(ReadAll(log_));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const bool known = line.rfind("CHAT: ", 0) == 0 || line.rfind("clientCommand: ", 0) == 0 ||
                       line.rfind("Adding script: '", 0) == 0 || line.find(" by ") != std::string::npos ||
                       line.find("'s ") != std::string::npos;
    EXPECT_TRUE(known) << line;
  }
  EXPECT_GT(count, 200);
}

// The binary itself: started with a script, answers rcon on its port.
TEST_F(MohSimTest, BinaryAnswersRconOnLoopback) {
  const auto script = log_.string() + ".script";
  std::ofstream(script) << "join Bob 10.0.0.2 60\n";
  const auto password = log_.string() + ".pw";
  std::ofstream(password) << "pw\n";
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::execl(KV_BINARY_DIR "/tools/mohsim", "mohsim", "--port", "0", "--log", log_.c_str(), "--script",
            script.c_str(), "--password-file", password.c_str(), "--rate-limit", "--reply-buffer", "60",
            "--quake", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string banner;
  char c;
  pollfd p{out[0], POLLIN, 0};
  while (banner.find('\n') == std::string::npos && ::poll(&p, 1, 5000) > 0 && ::read(out[0], &c, 1) == 1)
    banner += c;
  const auto colon = banner.rfind(':');
  ASSERT_NE(colon, std::string::npos) << banner;
  const int port = std::stoi(banner.substr(colon + 1));

  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Every datagram of the reply, until none follows for 200 ms.
  const auto ask = [&](const std::string& request) {
    ::sendto(s, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::vector<std::string> datagrams;
    pollfd r{s, POLLIN, 0};
    char buf[2048];
    while (::poll(&r, 1, 200) > 0)
      datagrams.emplace_back(buf, static_cast<size_t>(std::max<ssize_t>(0, ::recv(s, buf, sizeof buf, 0))));
    return datagrams;
  };
  std::string reply;
  std::vector<std::string> datagrams;
  // The script may still be running when the banner appears: ask until Bob shows.
  for (int attempt = 0; attempt < 30 && reply.find("Bob") == std::string::npos; ++attempt) {
    datagrams = ask("\xFF\xFF\xFF\xFF\x02rcon pw status");
    reply.clear();
    for (const auto& d : datagrams) reply += d.substr(std::min(d.size(), kMohaaHeader.size()));
  }
  const auto quake = ask("\xFF\xFF\xFF\xFFrcon pw g_gametype");
  ::close(s);
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out[0]);
  std::filesystem::remove(script);
  std::filesystem::remove(password);
  ASSERT_GT(datagrams.size(), 1u);  // the reply buffer of 60 bytes split it
  for (const auto& d : datagrams) {
    EXPECT_EQ(d.substr(0, kMohaaHeader.size()), kMohaaHeader);
    EXPECT_LE(d.size(), kMohaaHeader.size() + 60);
  }
  EXPECT_NE(reply.find("  0     0   60 Bob "), std::string::npos) << reply;
  ASSERT_EQ(quake.size(), 1u);  // --quake answers the Quake form as well
  EXPECT_EQ(quake[0].substr(0, kQuakeHeader.size()), kQuakeHeader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace kv::mohsim
