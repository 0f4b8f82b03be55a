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

TEST_F(MohSimTest, LongRepliesAreSplitWithTheFullHeaderOnEveryDatagram) {
  const std::string text(2500, 'x');
  const auto parts = TMohSim::ReplyDatagrams(text, false);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0], kMohaaHeader + text.substr(0, 1008));
  EXPECT_EQ(parts[1], kMohaaHeader + text.substr(1008, 1008));
  EXPECT_EQ(parts[2], kMohaaHeader + text.substr(2016));
  EXPECT_EQ(TMohSim::ReplyDatagrams(std::string(1008, 'y'), true).size(), 1u);
  EXPECT_EQ(TMohSim::ReplyDatagrams("", true), std::vector<std::string>{kQuakeHeader});
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
            script.c_str(), "--password-file", password.c_str(), static_cast<char*>(nullptr));
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
  std::string reply;
  // The script may still be running when the banner appears: ask until Bob shows.
  for (int attempt = 0; attempt < 50 && reply.find("Bob") == std::string::npos; ++attempt) {
    const std::string request = "\xFF\xFF\xFF\xFF\x02rcon pw status";
    ::sendto(s, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd r{s, POLLIN, 0};
    char buf[2048];
    if (::poll(&r, 1, 200) > 0)
      reply.assign(buf, static_cast<size_t>(std::max<ssize_t>(0, ::recv(s, buf, sizeof buf, 0))));
  }
  ::close(s);
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out[0]);
  std::filesystem::remove(script);
  std::filesystem::remove(password);
  EXPECT_EQ(reply.substr(0, kMohaaHeader.size()), kMohaaHeader);
  EXPECT_NE(reply.find("  0     0   60 Bob "), std::string::npos) << reply;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace kv::mohsim
