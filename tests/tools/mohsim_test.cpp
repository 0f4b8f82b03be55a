#include "tools/mohsim/mohsim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "tests/support/temp_home.h"

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
  MohSimTest() : log_(home_ / "qconsole.log"), sim_("secret", log_.string()) {}

  kv::testing::TTempHome home_{"mohsim"};
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
            "  1     0  120 A_Name_Longer_Than_15      17 192.168.100.200:12204  1397 25000\n"
            "  2     0 CNCT Carl                 34 127.0.0.1:12205        1794 20000\n"
            "\n");
  // A freed slot is taken again by the next client.
  EXPECT_TRUE(sim_.Leave("Bob"));
  EXPECT_EQ(sim_.Join("Dora"), 0);
  EXPECT_EQ(sim_.Join("Dora"), -1);  // names are unique
  // No slot at or above sv_maxclients.
  sim_.SetCvar("sv_maxclients", "4");
  EXPECT_EQ(sim_.Join("Eve"), 3);
  EXPECT_EQ(sim_.Join("Fred"), -1);
}

TEST_F(MohSimTest, ConsoleCommandsAnswerLikeTheGame) {
  sim_.Join("Bob");
  sim_.Join("Big Joe", "10.1.2.3");
  sim_.SetSkins("Big Joe", "allied_airborne", "german_panzer_grenadier");
  const std::string big_joe =
      "userinfo\n--------\n"
      "name                 : Big Joe\n"
      "rate                 : 25000\n"
      "snaps                : 20\n"
      "dm_playermodel       : allied_airborne\n"
      "dm_playergermanmodel : german_panzer_grenadier\n"
      "ip                   : 10.1.2.3\n";
  const std::pair<std::string, std::string> cases[] = {
      {"say hello all",
       "console: hello all\nbroadcast: print \"\x02"
       "console: hello all\\n\"\n"},
      {"say \"quoted\"",
       "console: quoted\nbroadcast: print \"\x02"
       "console: quoted\\n\"\n"},
      // dumpuser takes one argument: a slot number or a name.
      {"dumpuser", "Usage: info <userid>\n"},
      {"dumpuser Big Joe", "Usage: info <userid>\n"},
      {"dumpuser \"Nobody\"", "Player Nobody is not on the server\n"},
      {"dumpuser 5", "Player 5 is not on the server\n"},
      {"dumpuser \"Big Joe\"", big_joe},
      {"dumpuser 1", big_joe},
      // Cvars: the default is shown unless it is the value; read-only ones
      // have none. The echo uses the cvar's own name.
      {"g_gametype", "\"g_gametype\" is:\"2\", the default\n"},
      {"sv_hostname My Server", ""},
      {"sv_hostname", "\"sv_hostname\" is:\"My Server\" default:\"Kelvandrome Test Server\"\n"},
      {"set g_gametype 4", ""},
      {"G_GAMETYPE", "\"g_gametype\" is:\"4\" default:\"2\"\n"},
      {"set g_gametype 2", ""},
      {"g_gametype", "\"g_gametype\" is:\"2\", the default\n"},
      {"set kv_new \"a b\"", ""},
      {"kv_new", "\"kv_new\" is:\"a b\", the default\n"},
      {"mapname", "\"mapname\" is:\"dm/mohdm6\"\n"},
      {"set mapname dm/elsewhere", ""},
      {"mapname elsewhere", ""},
      {"mapname", "\"mapname\" is:\"dm/mohdm6\"\n"},
      // The game prints nothing for a command it does not know.
      {"nosuchthing", ""},
  };
  for (const auto& [command, reply] : cases) EXPECT_EQ(sim_.Execute(command, false), reply) << command;
  sim_.SetMap("dm/mohdm1");
  EXPECT_EQ(sim_.Execute("mapname", false), "\"mapname\" is:\"dm/mohdm1\"\n");
  // Quake III prints a colour reset after every cvar value.
  sim_.SetCvar("g_gametype", "4");
  EXPECT_EQ(sim_.Execute("g_gametype", true), "\"g_gametype\" is:\"4^7\" default:\"2^7\"\n");
}

TEST_F(MohSimTest, ClientkickAnswersLikeTheGameAndLeavesAZombieSlot) {
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  sim_.SetClock([&] { return now; });
  sim_.SetCvar("sv_maxclients", "8");
  sim_.Join("Bob", "10.0.0.2", 40);
  sim_.Join("Carl", "10.0.0.3", 999, true);  // still connecting
  sim_.Join("Dora", "10.0.0.4", 999);        // connected, not yet in the game
  sim_.Join("Eve", "10.0.0.5", 60);
  const std::pair<std::string, std::string> cases[] = {
      {"clientkick", "Usage: clientkick <client number> [reason]\n"},
      {"clientkick abc", "Bad slot number: abc\n"},
      {"clientkick -1", "Bad slot number: -1\n"},
      {"clientkick 1x", "Bad slot number: 1x\n"},
      {"clientkick 8", "Bad client slot: 8\n"},
      {"clientkick 9", "Bad client slot: 9\n"},
      {"clientkick 99999999999", "Bad client slot: 99999999999\n"},
      {"clientkick 7", "Client 7 is not active\n"},
      {"clientkick 0",
       "broadcast: print \"\x02"
       "Bob was kicked\\n\"\n"
       "broadcast: print \"Bob was kicked\\n\"\n"
       "{#0 | 10.0.0.2:12203} Bob has left the battle\n"},
      {"clientkick 1",
       "broadcast: print \"\x02"
       "Carl was kicked\\n\"\n"
       "broadcast: print \"Carl was kicked\\n\"\n"},
      {"clientkick \"2\"",
       "broadcast: print \"\x02"
       "Dora was kicked\\n\"\n"
       "broadcast: print \"Dora was kicked\\n\"\n"},
      {"clientkick 3 camping in spawn",
       "broadcast: print \"\x02"
       "Eve was kicked\\n\"\n"
       "broadcast: print \"Eve was kicked\\n\"\n"
       "{#3 | 10.0.0.5:12206} Eve has left the battle\n"},
      {"clientkick 0", ""},  // dropped already: nothing more to say
      {"dumpuser 0", "Player 0 is not on the server\n"},
  };
  for (const auto& [command, reply] : cases) EXPECT_EQ(sim_.Execute(command, false), reply) << command;
  EXPECT_TRUE(sim_.Clients().empty());
  EXPECT_FALSE(sim_.Client("Bob"));

  // The kicked slots stay as nameless ZMBI rows for about two seconds and
  // are not handed to new players before that.
  const std::string zombies =
      "  0     0 ZMBI                       0 10.0.0.2:12203         1000 25000\n"
      "  1     0 ZMBI                      17 10.0.0.3:12204         1397 25000\n"
      "  2     0 ZMBI                      34 10.0.0.4:12205         1794 20000\n"
      "  3     0 ZMBI                      51 10.0.0.5:12206         2191 25000\n";
  const std::string head =
      "map: dm/mohdm6\n"
      "num score ping name            lastmsg address               qport rate  \n"
      "--- ----- ---- --------------- ------- --------------------- ----- ----- \n";
  EXPECT_EQ(sim_.Execute("status", false), head + zombies + "\n");
  EXPECT_EQ(sim_.Join("Fred"), 4);
  now += kZombieTime - std::chrono::milliseconds(1);
  EXPECT_NE(sim_.Execute("status", false).find("  3     0 ZMBI "), std::string::npos);
  now += std::chrono::milliseconds(1);
  EXPECT_EQ(sim_.Execute("status", false),
            head + "  4     0   50 Fred                  8 127.0.0.1:12207        2588  5000\n\n");
  EXPECT_EQ(sim_.Execute("clientkick 0", false), "Client 0 is not active\n");
  EXPECT_EQ(sim_.Join("Bob"), 0);
}

TEST_F(MohSimTest, DatagramsCheckThePasswordAndAnswerInTheRequestsDialect) {
  const std::string mohaa = std::string("\xFF\xFF\xFF\xFF\x02rcon ");
  const std::string quake = std::string("\xFF\xFF\xFF\xFFrcon ");
  EXPECT_EQ(sim_.HandleDatagram(mohaa + "wrong status", "127.0.0.1:40001"),
            std::vector<std::string>{kMohaaHeader + "Bad rconpassword.\n"});
  // The game server does not answer the Quake form; mohsim does when asked to.
  EXPECT_TRUE(sim_.HandleDatagram(quake + "secret status", "127.0.0.1:40002").empty());
  sim_.SetQuakeDialect(true);
  EXPECT_EQ(sim_.HandleDatagram(quake + " status", "127.0.0.1:40002"),
            std::vector<std::string>{kQuakeHeader + "Bad rconpassword.\n"});
  EXPECT_EQ(sim_.HandleDatagram(quake + "secret say hi", "127.0.0.2:40003")
                .at(0)
                .substr(0, kQuakeHeader.size() + 12),
            kQuakeHeader + "console: hi\n");
  // A command that prints nothing still gets its reply: the bare header.
  EXPECT_EQ(sim_.HandleDatagram(mohaa + "secret nosuchthing 1 2", "127.0.0.1:40004"),
            std::vector<std::string>{kMohaaHeader});
  EXPECT_EQ(sim_.HandleDatagram(mohaa + "secret \"sv_hostname\"", "127.0.0.1:40005"),
            std::vector<std::string>{kMohaaHeader +
                                     "\"sv_hostname\" is:\"Kelvandrome Test Server\", the default\n"});
  EXPECT_TRUE(sim_.HandleDatagram("status").empty());  // not a request: no answer
  EXPECT_TRUE(sim_.HandleDatagram(std::string("\xFF\xFF\xFF\xFFgetstatus")).empty());
  EXPECT_EQ(sim_.Commands(),
            (std::vector<std::string>{"status", "status", "say hi", "nosuchthing 1 2", "\"sv_hostname\""}));
  // Every request leaves its sender and first word in the log, whether
  // its password was right or not.
  EXPECT_EQ(ReadAll(log_),
            "Rcon from 127.0.0.1:40001:\nstatus\n"
            "Rcon from 127.0.0.1:40002:\nstatus\n"
            "Rcon from 127.0.0.2:40003:\nsay\n"
            "Rcon from 127.0.0.1:40004:\nnosuchthing\n"
            "Rcon from 127.0.0.1:40005:\nsv_hostname\n");

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
            "  1     0   80 Bob                  17 [2001:db8::7]:12204                     1397 25000\n"
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

TEST(MohSimDeathLines, KillsUseTheGamesPhrases) {
  struct TCase {
    TSimWeapon weapon;
    size_t variant;
    std::string location;
    std::string line;
  };
  const TCase cases[] = {
      {TSimWeapon::Rifle, 0, "", "Alice was rifled by Bob"},
      {TSimWeapon::Sniper, 0, "", "Alice was sniped by Bob"},
      {TSimWeapon::SMG, 0, "", "Alice was perforated by Bob's' SMG"},
      {TSimWeapon::MG, 0, "", "Alice was machine-gunned by Bob"},
      {TSimWeapon::Pistol, 0, "", "Alice was gunned down by Bob"},
      {TSimWeapon::Rocket, 0, "", "Alice took Bob's rocket right in the kisser"},
      {TSimWeapon::Rocket, 1, "", "Alice took Bob's rocket in the face"},
      {TSimWeapon::Rocket, 2, "", "Alice took Bob's rocket right in the kisser"},
      {TSimWeapon::Shotgun, 0, "", "Alice was hunted down by Bob"},
      {TSimWeapon::Shotgun, 1, "", "Alice was pumped full of buckshot by Bob"},
      {TSimWeapon::Grenade, 0, "", "Alice tripped on Bob's grenade"},
      {TSimWeapon::Grenade, 1, "", "Alice is picking Bob's shrapnel out of his teeth"},
      // Only bullets name where they hit.
      {TSimWeapon::Sniper, 0, "head", "Alice was sniped by Bob in the head"},
      {TSimWeapon::SMG, 0, "upper left arm", "Alice was perforated by Bob's' SMG in the upper left arm"},
      {TSimWeapon::Pistol, 0, "right foot", "Alice was gunned down by Bob in the right foot"},
      {TSimWeapon::Rocket, 0, "head", "Alice took Bob's rocket right in the kisser"},
      {TSimWeapon::Grenade, 1, "neck", "Alice is picking Bob's shrapnel out of his teeth"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(KillLine("Bob", "Alice", c.weapon, c.variant, c.location), c.line) << c.line;
  EXPECT_EQ(HitLocations().size(), 19u);
  EXPECT_TRUE(IsHitLocation("lower right leg"));
  EXPECT_FALSE(IsHitLocation("torso"));
  EXPECT_EQ(DeathLine("Bob", "shot himself", "helmet"), "Bob shot himself in the helmet");
  EXPECT_EQ(DeathLine("Bob", "cratered", "helmet"), "Bob cratered");
  // The game's spelling, "commision" and "pitard" included.
  EXPECT_EQ(DeathPhrases(TDeathCause::Self),
            (std::vector<std::string>{
                "took himself out of commision", "was burned to a crisp", "was melted to nothing", "cratered",
                "blew himself up", "played catch with himself", "tripped on his own grenade",
                "rocketed himself", "shot himself", "was hoist on his own pitard", "died"}));
  EXPECT_EQ(DeathPhrases(TDeathCause::World),
            (std::vector<std::string>{"was burned to a crisp", "was melted to nothing", "cratered", "blew up",
                                      "caught some shrapnel", "caught a rocket", "was shot",
                                      "stepped on a land mine", "died"}));
}

TEST_F(MohSimTest, DeathLinesTakeTurnsAndFollowTheServersSettings) {
  sim_.Join("Bob");
  sim_.Join("Alice");
  EXPECT_TRUE(sim_.Kill("Bob", "Alice", TSimWeapon::Rocket));
  EXPECT_TRUE(sim_.Kill("Bob", "Alice", TSimWeapon::Rocket));
  EXPECT_TRUE(sim_.Kill("Bob", "Alice", TSimWeapon::Rifle, "head"));  // g_obituarylocation is off
  EXPECT_TRUE(sim_.Death("Bob", TDeathCause::Self));
  EXPECT_TRUE(sim_.Death("Bob", TDeathCause::Self));
  EXPECT_TRUE(sim_.Death("Alice", TDeathCause::World, "was shot", "neck"));
  EXPECT_FALSE(sim_.Death("Alice", TDeathCause::World, "rocketed himself"));  // not a world death
  EXPECT_FALSE(sim_.Death("Nobody", TDeathCause::World));
  EXPECT_EQ(ReadAll(log_),
            "Alice took Bob's rocket right in the kisser\n"
            "Alice took Bob's rocket in the face\n"
            "Alice was rifled by Bob\n"
            "Bob took himself out of commision\n"
            "Bob was burned to a crisp\n"
            "Alice was shot\n");
  EXPECT_EQ(sim_.Client("Bob")->score, 3);

  std::filesystem::remove(log_);
  EXPECT_EQ(sim_.Execute("g_obituarylocation 1", false), "");
  sim_.SetDeathColourByte(true);
  EXPECT_TRUE(sim_.Kill("Bob", "Alice", TSimWeapon::MG, "pelvis"));
  EXPECT_TRUE(sim_.Kill("Bob", "Alice", TSimWeapon::Shotgun, "pelvis"));
  EXPECT_TRUE(sim_.Death("Alice", TDeathCause::Self, "shot himself", "left hand"));
  EXPECT_TRUE(sim_.Kill("Bob", "Alice", TSimWeapon::Sniper));  // the sim picks where
  EXPECT_TRUE(sim_.Death("Alice", TDeathCause::World, "was shot"));
  std::istringstream lines(ReadAll(log_));
  std::string line;
  const std::string expected[] = {
      "\x04"
      "Alice was machine-gunned by Bob in the pelvis",
      "\x04"
      "Alice was hunted down by Bob",
      "\x04"
      "Alice shot himself in the left hand"};
  for (const auto& e : expected) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, e);
  }
  const std::string picked[] = {
      "\x04"
      "Alice was sniped by Bob in the ",
      "\x04"
      "Alice was shot in the "};
  for (const auto& prefix : picked) {
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_EQ(line.substr(0, prefix.size()), prefix);
    EXPECT_TRUE(IsHitLocation(line.substr(prefix.size()))) << line;
  }
  EXPECT_FALSE(std::getline(lines, line));
}

TEST_F(MohSimTest, LogLinesTakeTheFormsTheParserKnows) {
  sim_.Join("Bob");
  sim_.Join("Alice");
  for (int weapon = 1; weapon <= 8; ++weapon) EXPECT_TRUE(sim_.Kill("Bob", "Alice", TSimWeapon(weapon)));
  std::string expected =
      "Alice was rifled by Bob\n"
      "Alice was sniped by Bob\n"
      "Alice was perforated by Bob's' SMG\n"
      "Alice was machine-gunned by Bob\n"
      "Alice took Bob's rocket right in the kisser\n"
      "Alice was hunted down by Bob\n"
      "Alice tripped on Bob's grenade\n"
      "Alice was gunned down by Bob\n";
  EXPECT_EQ(sim_.Client("Bob")->score, 8);
  EXPECT_FALSE(sim_.Kill("Bob", "Nobody", TSimWeapon::Rifle));
  EXPECT_TRUE(sim_.Chat("Bob", "hi there"));
  sim_.SetChatDialect(TChatDialect::Windows);
  EXPECT_TRUE(sim_.Chat("Bob", "hi there"));
  sim_.SetChatDialect(TChatDialect::Quake);
  EXPECT_TRUE(sim_.Chat("Bob", "hi there"));
  sim_.SetChatDialect(TChatDialect::Says);
  EXPECT_TRUE(sim_.Chat("Bob", "hi there"));
  const auto bob = sim_.Client("Bob");
  ASSERT_TRUE(bob);
  const std::string says = "{#" + std::to_string(bob->num) + " | " + bob->ip + ":" +
                           std::to_string(bob->port) + "} Bob says @all: hi there\n";
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
      "ClientCommand: Bob : say 0 hi there\n" +
      says +
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
                      "cvar g_obituarylocation 1\n"
                      "deathcolour on\n"
                      "kill Bob Carl smg \"upper torso\"\n"
                      "deathcolour off\n"
                      "suicide Bob \"shot himself\" head\n"
                      "die Carl cratered\n"
                      "suicide Carl\n"
                      "leave Carl\n",
                      sleep),
            "");
  EXPECT_EQ(slept, 250);
  EXPECT_EQ(sim_.Clients().size(), 2u);
  EXPECT_EQ(sim_.Client("Bob")->ping, 40);
  EXPECT_EQ(ReadAll(log_),
            "Bob was sniped by Big Joe\n"
            "CHAT: Bob: well played\n"
            "\x04"
            "Carl was perforated by Bob's' SMG in the upper torso\n"
            "Bob shot himself in the head\n"
            "Carl cratered\n"
            "Carl took himself out of commision\n");
  EXPECT_EQ(sim_.Execute("sv_hostname", false),
            "\"sv_hostname\" is:\"Test Box\" default:\"Kelvandrome Test Server\"\n");

  const std::pair<const char*, const char*> failures[] = {
      {"join Dora\nkill Dora Bob bazooka\n", "line 2: unknown weapon bazooka"},
      {"kill Dora Bob rifle torso", "line 1: unknown location torso"},
      {"suicide Bob \"was shot\"", "line 1: unknown phrase was shot"},
      {"die Bob cratered head", "line 1: \"cratered\" names no location"},
      {"die Bob \"was shot\" elbow", "line 1: unknown location elbow"},
      {"suicide Nobody", "line 1: no such player Nobody"},
      {"deathcolour yes", "line 1: expected on or off, not yes"},
      {"\n\nfly Bob\n", "line 3: unknown command fly"},
      {"ping Nobody 5", "line 1: no such player Nobody"},
      {"kill Bob", "line 1: missing argument for kill"},
  };
  for (const auto& [script, failure] : failures) EXPECT_EQ(RunScript(sim_, script, sleep), failure) << script;
}

TEST_F(MohSimTest, NickChangesKeepTheClientAndANewClientInASlotHasItsOwnQport) {
  ASSERT_EQ(RunScript(sim_,
                      "join Bob 10.0.0.2\n"
                      "join \"\\x01Odd\\xE9\" 10.0.0.2\n"  // a second client from one address
                      "score Bob 7\n"
                      "rename Bob Robert\n",
                      [](int) {}),
            "");
  const auto robert = sim_.Client("Robert");
  ASSERT_TRUE(robert);
  EXPECT_FALSE(sim_.Client("Bob"));
  EXPECT_EQ(std::make_tuple(robert->num, robert->ip, robert->qport, robert->score),
            std::make_tuple(0, std::string("10.0.0.2"), 1000, 7));
  ASSERT_TRUE(sim_.Client("\x01Odd\xE9"));
  EXPECT_NE(sim_.Execute("status", false).find("  1     0   50 \x01Odd\xE9 "), std::string::npos);
  EXPECT_EQ(RunScript(sim_, "rename Robert \"\\x01Odd\\xE9\"", [](int) {}),
            "line 1: cannot rename Robert to \x01Odd\xE9");  // the name is taken

  // Another client taking the freed slot 0 from the same address is not the
  // same client: its qport differs.
  ASSERT_TRUE(sim_.Leave("Robert"));
  ASSERT_EQ(sim_.Join("Carl", "10.0.0.2"), 0);
  EXPECT_NE(sim_.Client("Carl")->qport, 1000);
}

TEST_F(MohSimTest, RandomMatchKeepsItsPlayersAndWritesOnlyKnownLineForms) {
  std::atomic<bool> stop{false};
  RandomMatch(
      sim_, 12, 400, 7, [](int) {}, stop, 0);
  EXPECT_EQ(sim_.Clients().size(), 12u);
  // A death line is "NAME phrase[ in the LOCATION]" or "VICTIM phrase KILLER suffix...".
  std::vector<std::string> endings, middles;
  for (const TDeathCause cause : {TDeathCause::Self, TDeathCause::World})
    for (const auto& p : DeathPhrases(cause)) endings.push_back(" " + p);
  for (int w = 1; w <= 8; ++w)
    for (const auto& p : KillPhrases(TSimWeapon(w))) middles.push_back(std::string(" ") + p.phrase + " ");
  const auto is_death = [&](std::string line) {
    if (const auto in = line.find(" in the "); in != std::string::npos && IsHitLocation(line.substr(in + 8)))
      line.resize(in);
    for (const auto& e : endings)
      if (line.size() > e.size() && line.compare(line.size() - e.size(), e.size(), e) == 0) return true;
    return std::any_of(middles.begin(), middles.end(),
                       [&](const std::string& m) { return line.find(m) != std::string::npos; });
  };
  std::istringstream lines(ReadAll(log_));
  int count = 0, deaths = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const bool known = line.rfind("CHAT: ", 0) == 0 || line.rfind("clientCommand: ", 0) == 0 ||
                       line.rfind("Adding script: '", 0) == 0 || is_death(line);
    EXPECT_TRUE(known) << line;
    deaths += is_death(line);
  }
  EXPECT_GT(count, 200);
  EXPECT_GT(deaths, 150);
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
  sockaddr_in local{};
  socklen_t local_len = sizeof local;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &local_len);
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
  // The log names the sender of each request as the server saw it.
  EXPECT_NE(
      ReadAll(log_).find("Rcon from 127.0.0.1:" + std::to_string(ntohs(local.sin_port)) + ":\nstatus\n"),
      std::string::npos)
      << ReadAll(log_);
  ASSERT_EQ(quake.size(), 1u);  // --quake answers the Quake form as well
  EXPECT_EQ(quake[0].substr(0, kQuakeHeader.size()), kQuakeHeader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace kv::mohsim
