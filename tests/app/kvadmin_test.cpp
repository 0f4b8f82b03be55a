// Remote administration as an operator meets it: the kelvandrome binary with
// accounts in its home, the kvadmin binary talking to it over loopback TCP,
// a simulated game server behind it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/service.h"
#include "core/stream.h"
#include "remoteadmin/accounts.h"
#include "remoteadmin/client.h"
#include "remoteadmin/commands.h"
#include "serverconfig/configlist.h"
#include "tests/app/service_process.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

uint16_t FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

struct TRun {
  int rc = -1;
  std::string output;  // standard output and error
};

class KvadminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.Started()) << sim_.Error();
    port_ = FreeTcpPort();
    ASSERT_NE(port_, 0);
    sim_.WriteIni("LocalLogFile=" + sim_.Log().string() + "\r\nStartOnStartup=1\r\nUserRefrestTimer=1\r\n" +
                  "ServerPort=" + std::to_string(port_) + "\r\nRemoteAdminBindAddress=127.0.0.1\r\n");
    fs::create_directories(sim_.Home() / "Data");
    accounts_ = {{"admin", "adminpw", "", GrantableRights()},
                 {"nobody", "nobodypw", "", {}},
                 {"keeper",
                  "keeperpw",
                  "",
                  {"Get Client Users", "Get Client User-Data", "Add Client User", "Update Client User",
                   "Del Client User"}}};
    TMemoryStream file;
    WriteAccountsFile(file, accounts_);
    WriteFile(AccountsPath(), file.Str());
    // Two configuration sets for the remote commands to list, show, apply
    // and delete.
    std::vector<TVarList> sets(2);
    sets[0].SetValue("Name", TVariant(std::string("Night")));
    sets[1].SetValue("Name", TVariant(std::string("Day")));
    TMemoryStream configs;
    WriteConfigurationsFile(configs, sets);
    WriteFile(sim_.Home() / "Data" / "Configurations.dat", configs.Str());
    for (const auto& a : accounts_) WriteFile(PasswordPath(a.user_name), a.password + "\n");
  }

  static void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  fs::path AccountsPath() const { return sim_.Home() / "Data" / "ServerAccess.dat"; }
  fs::path PasswordPath(const std::string& user) const { return sim_.Home() / (user + ".pw"); }

  bool StartService(testing::TServiceProcess& service) {
    return service.Start(sim_.Home().string()) && service.ReadUntil("TGeneralMohaaServer Started", 15000);
  }

  TRun Kvadmin(const std::string& user, const std::string& args) {
    const std::string command = "timeout 30 " + std::string(KV_BINARY_DIR) +
                                "/tools/kvadmin --host 127.0.0.1 --port " + std::to_string(port_) +
                                " --timeout 10000 --user " + user + " --password-file " +
                                PasswordPath(user).string() + " " + args + " 2>&1 </dev/null";
    TRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) run.output.append(buf, n);
    const int status = ::pclose(pipe);
    run.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  testing::TSimHome sim_{"secret", "kvadmin"};
  uint16_t port_ = 0;
  std::vector<TAccessListEntry> accounts_;
};

TEST_F(KvadminTest, EveryCommandWithAndWithoutItsRight) {
  testing::TServiceProcess service;
  ASSERT_TRUE(StartService(service)) << service.Output();
  const int alice = sim_.Sim().Join("Alice", "10.0.0.5");
  // The poll has to see her before the player commands can.
  ASSERT_TRUE(testing::WaitFor(
      [&] { return Kvadmin("admin", "players").output.find("Alice") != std::string::npos; }, 20000));
  const std::string id = std::to_string(alice);
  struct {
    const char* args;
    const char* right;
    const char* shows;  // in the output of the run with the right
    int rc;             // of the run with the right
  } cases[] = {
      {"players", "Get playing Users", "Alice", 0},
      {"ban --nick ^Cheater --minutes 30 --reason bye", "Add Ban", "ban added", 0},
      {"bans", "Get BanList", "^Cheater", 0},
      {"unban --nick ^Cheater", "Del Ban", "ban removed", 0},
      {"acban AC42 --minutes 5", "Add ACBan", "anti-cheat ban added", 0},
      {"acunban AC42", "Del ACBan", "anti-cheat ban removed", 0},
      {"say hello players", "Send Message", "message sent", 0},
      {"chat hello admins", "ClientChat", "chat line sent", 0},
      {"rcon status", "Execute RCON Command", "Alice", 0},
      {"clients", "Get Connected Clients", "admin", 0},
      {"history", "Get Users from History", "nick", 0},
      {"accounts list", "Get Client Users", "keeper", 0},
      {"accounts show nobody", "Get Client User-Data", "(any address)", 0},
      {"raw 14", "Add Client User Rights", "result 0", 0},
      {"raw 15", "Del Client User Rights", "result 0", 0},
      {"raw 28", "See Chat from Players", "result -1", 0},
      {"kick-client 99999", "Kick Kelvandrome Client", "requested", 0},
      {"configs", "ServerConfig GetConfigs", "Night", 0},
      {"config Night", "ServerConfig GetConfigSettings", "Name", 0},
      {"config Dusk", "ServerConfig GetConfigSettings", "no configuration Dusk", 1},
      {"apply Night", "ServerConfig activate Config", "configuration Night activated", 0},
      {"config-cancel", "ServerConfig Cancel Setup", "configuration setup cancelled", 0},
      {"config-del Day", "ServerConfig DelConfig", "configuration Day deleted", 0},
      {"config-del Day", "ServerConfig DelConfig", "no configuration Day", 1},
      {"skin-add tiger", "Add Skin to List", "skin added", 0},
      {"skins", "Get Skin List", "tiger", 0},
      {"history NoSuchNick", "Get Userhistroy Entry", "no history of NoSuchNick", 1},
      {"kick 0 go", "KickUser", "kick of player 0 started", 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.args);
    const TRun with = Kvadmin("admin", k.args);
    EXPECT_EQ(with.rc, k.rc) << with.output;
    EXPECT_NE(with.output.find(k.shows), std::string::npos) << with.output;
    const TRun without = Kvadmin("nobody", k.args);
    EXPECT_EQ(without.rc, 1) << without.output;
    EXPECT_NE(without.output.find(std::string("not enough rights for Command: ") + k.right),
              std::string::npos)
        << without.output;
  }
  // What reached the game server.
  const auto commands = sim_.Sim().Commands();
  auto sent = [&](const std::string& text) {
    return std::any_of(commands.begin(), commands.end(),
                       [&](const std::string& c) { return c.find(text) != std::string::npos; });
  };
  EXPECT_TRUE(sent("hello players"));
  EXPECT_TRUE(testing::WaitFor(
      [&] {
        const auto now = sim_.Sim().Commands();
        return std::any_of(now.begin(), now.end(),
                           [](const std::string& c) { return c.find("clientkick 0") == 0; });
      },
      15000));

  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(15000), 0);
}

TEST_F(KvadminTest, AccountsSurviveARestartAndRightsCannotBeEscalated) {
  const std::string written = testing::ReadFileText(AccountsPath());
  {
    testing::TServiceProcess service;
    ASSERT_TRUE(StartService(service)) << service.Output();
    service.Signal(SIGINT);
    ASSERT_EQ(service.WaitExit(15000), 0);
  }
  // Loaded and saved again: the same bytes.
  EXPECT_EQ(testing::ReadFileText(AccountsPath()), written);

  testing::TServiceProcess service;
  ASSERT_TRUE(StartService(service)) << service.Output();
  WriteFile(PasswordPath("new"), "newpw\n");
  // The keeper manages accounts, but only within his own rights.
  const TRun grant = Kvadmin(
      "keeper", "accounts add evil --rights +all --new-password-file " + PasswordPath("new").string());
  EXPECT_EQ(grant.rc, 1);
  EXPECT_NE(grant.output.find("not enough rights to grant: Get BanList"), std::string::npos) << grant.output;
  const TRun take_over =
      Kvadmin("keeper", "accounts update admin --new-password-file " + PasswordPath("new").string());
  EXPECT_EQ(take_over.rc, 1) << take_over.output;
  EXPECT_EQ(Kvadmin("keeper", "accounts del admin").rc, 1);
  const TRun self = Kvadmin("keeper", "accounts update keeper --rights \"+Execute RCON Command\"");
  EXPECT_EQ(self.rc, 1) << self.output;
  EXPECT_NE(self.output.find("not enough rights to grant: Execute RCON Command"), std::string::npos)
      << self.output;
  // Within them he may add an account.
  const TRun helper =
      Kvadmin("keeper", "accounts add helper --rights \"+Get Client Users\" --new-password-file " +
                            PasswordPath("new").string());
  EXPECT_EQ(helper.rc, 0) << helper.output;
  // Saved at once.
  std::vector<TAccessListEntry> expected = accounts_;
  expected.push_back({"helper", "newpw", "", {"Get Client Users"}});
  TMemoryStream file;
  WriteAccountsFile(file, expected);
  EXPECT_TRUE(testing::WaitFor([&] { return testing::ReadFileText(AccountsPath()) == file.Str(); }, 10000));
  WriteFile(PasswordPath("helper"), "newpw\n");
  EXPECT_NE(Kvadmin("helper", "accounts list").output.find("helper"), std::string::npos);
  service.Signal(SIGINT);
  ASSERT_EQ(service.WaitExit(15000), 0);
  EXPECT_EQ(testing::ReadFileText(AccountsPath()), file.Str());
}

TEST_F(KvadminTest, PlayerChatWaitsForClientsWithTheRight) {
  testing::TServiceProcess service;
  ASSERT_TRUE(StartService(service)) << service.Output();
  auto ask = [&](TRemoteAdminClient& client, const std::string& user, const std::string& pass) {
    TServerPacket request, reply;
    request.command_type = 9;
    request.parameters.emplace();
    request.parameters->SetValue("_ConnectionUserName", user);
    request.parameters->SetValue("_ConnectionUserPass", pass);
    std::string error;
    EXPECT_TRUE(client.Request(request, reply, 5000, &error)) << error;
    TVariant chat;
    return reply.parameters && reply.parameters->TryGetValue("_UserChatLog", chat) ? chat.AsString()
                                                                                   : std::string();
  };
  TRemoteAdminClient admin, keeper;
  std::string error;
  ASSERT_TRUE(admin.Connect("127.0.0.1", port_, 5000, &error)) << error;
  ASSERT_TRUE(keeper.Connect("127.0.0.1", port_, 5000, &error)) << error;
  ask(admin, "admin", "adminpw");
  ask(keeper, "keeper", "keeperpw");
  sim_.Sim().Join("Alice");
  // The log names a speaker the player list must know.
  ASSERT_TRUE(testing::WaitFor(
      [&] { return Kvadmin("admin", "players").output.find("Alice") != std::string::npos; }, 20000));
  sim_.Sim().Chat("Alice", "gg all");
  std::string got;
  ASSERT_TRUE(testing::WaitFor([&] { return !(got = ask(admin, "admin", "adminpw")).empty(); }, 15000))
      << service.Output();
  // "[date time] Alice: gg all", quoted for its blanks.
  EXPECT_EQ(got.front(), '"');
  EXPECT_NE(got.find("] Alice: gg all\""), std::string::npos) << got;
  EXPECT_EQ(ask(keeper, "keeper", "keeperpw"), "");  // no "See Chat from Players"
  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(15000), 0);
}

TEST_F(KvadminTest, TheSetupExportCarriesTheAccounts) {
  const std::string accounts = testing::ReadFileText(AccountsPath());
  const std::string setup = (sim_.Home() / "all.KVSetup").string();
  auto run = [](const std::string& home, const std::string& line) {
    TKelvandromeService service({home, nullptr});
    service.Open();
    std::thread loop([&] { service.Run(); });
    const std::string answer = service.TerminalCommand(line);
    service.RequestStop();
    loop.join();
    service.Close();
    return answer;
  };
  EXPECT_EQ(run(sim_.Home().string(), "setup export " + setup), "Setup saved to " + setup);
  const testing::TTempHome other;
  EXPECT_EQ(run(other.Path().string(), "setup import " + setup), "Setup loaded from " + setup);
  EXPECT_EQ(testing::ReadFileText(other.Path() / "Data" / "ServerAccess.dat"), accounts);
  // Passwords are for the service's user alone.
  for (const fs::path& secret :
       {fs::path(setup), other.Path() / "Data" / "ServerAccess.dat", other.Path() / "kelvandrome.ini"})
    EXPECT_EQ(fs::status(secret).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none)
        << secret;
}

TEST_F(KvadminTest, ADamagedAccountFileKeepsWhatWasReadAndItsBytes) {
  const std::string whole = testing::ReadFileText(AccountsPath());
  const std::string cut = whole.substr(0, whole.size() - 500);  // inside the third account
  WriteFile(AccountsPath(), cut);
  testing::TServiceProcess service;
  ASSERT_TRUE(StartService(service)) << service.Output();
  EXPECT_NE(service.Output().find("Server Access Data: Error loading ServerAccess Data"), std::string::npos)
      << service.Output();
  EXPECT_EQ(testing::ReadFileText(sim_.Home() / "Data" / "ServerAccess.dat.damaged"), cut);
  // The accounts before the damage work.
  EXPECT_EQ(Kvadmin("admin", "accounts list").rc, 0);
  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(15000), 0);
}

TEST_F(KvadminTest, ClearErrorsForTheOperator) {
  // Nothing listens yet.
  const TRun refused = Kvadmin("admin", "players");
  EXPECT_EQ(refused.rc, 1);
  EXPECT_NE(refused.output.find("Connection refused"), std::string::npos) << refused.output;
  const TRun on_line = Kvadmin("admin", "--password secret players");
  EXPECT_EQ(on_line.rc, 2);
  EXPECT_NE(on_line.output.find("never taken from the command line"), std::string::npos) << on_line.output;
  EXPECT_EQ(Kvadmin("admin", "frobnicate").rc, 2);

  // A server that takes the connection and never answers: the wait ends.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port_);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  const TRun silent = Kvadmin("admin", "--timeout 300 players");
  ::close(listener);
  EXPECT_EQ(silent.rc, 1);
  EXPECT_NE(silent.output.find("no answer from 127.0.0.1:" + std::to_string(port_) + " within 300 ms"),
            std::string::npos)
      << silent.output;
}

TEST_F(KvadminTest, AFreshHomeDoesNotListenUntilTheTerminalAddsAnAccount) {
  fs::remove(AccountsPath());
  testing::TServiceProcess service;
  ASSERT_TRUE(service.Start(sim_.Home().string()));
  EXPECT_TRUE(service.ReadUntil("Create one on this terminal with: account add NAME", 15000))
      << service.Output();
  const TRun refused = Kvadmin("admin", "players");
  EXPECT_NE(refused.output.find("Connection refused"), std::string::npos) << refused.output;
}

TEST_F(KvadminTest, TerminalAccountCommands) {
  fs::remove(AccountsPath());
  std::ostringstream terminal;
  TKelvandromeService service({sim_.Home().string(), &terminal});
  service.Open();
  std::thread loop([&] { service.Run(); });  // the account commands run on the main loop
  EXPECT_EQ(service.TerminalCommand("account list"), "No accounts. Create one with: account add NAME");
  // The password is the next line, never part of the command.
  EXPECT_EQ(service.TerminalCommand("account add alice ^127\\.0\\.0\\.1$"),
            "Password for alice (one line; not shown on a terminal):");
  EXPECT_NE(service.TerminalCommand("s3cret pass").find("Account alice added with every right"),
            std::string::npos);
  EXPECT_NE(service.TerminalCommand("account add alice").find("exists already"), std::string::npos);
  EXPECT_NE(service.TerminalCommand("account add bob (").find("no valid expression"), std::string::npos);
  EXPECT_EQ(service.TerminalCommand("account rights alice -all,+Get BanList,+9"),
            "Rights of alice: Get BanList, Get Client Users");
  EXPECT_NE(service.TerminalCommand("account rights alice +Fly").find("no such right: Fly"),
            std::string::npos);
  EXPECT_NE(service.TerminalCommand("account list")
                .find("alice  filter: ^127\\.0\\.0\\.1$\n  rights: Get BanList, Get Client Users"),
            std::string::npos);

  // The first account started the server; the password works remotely.
  TRemoteAdminClient client;
  std::string error;
  ASSERT_TRUE(client.Connect("127.0.0.1", port_, 5000, &error)) << error;
  TServerPacket request, reply;
  request.command_type = 9;
  request.parameters.emplace();
  request.parameters->SetValue("_ConnectionUserName", "alice");
  request.parameters->SetValue("_ConnectionUserPass", "s3cret pass");
  ASSERT_TRUE(client.Request(request, reply, 5000, &error)) << error;
  EXPECT_EQ(reply.result, 0);
  EXPECT_EQ(reply.data, "alice\r\n");

  EXPECT_EQ(service.TerminalCommand("account password alice"),
            "New password for alice (one line; not shown on a terminal):");
  EXPECT_EQ(service.TerminalCommand("other"), "Password of alice changed");
  EXPECT_EQ(service.TerminalCommand("account add carol"),
            "Password for carol (one line; not shown on a terminal):");
  EXPECT_EQ(service.TerminalCommand(""), "account: not added, the password is empty");
  // Each change is on disk at once.
  std::vector<TAccessListEntry> loaded;
  TMemoryStream file(testing::ReadFileText(AccountsPath()));
  ReadAccountsFile(file, loaded);
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].password, "other");
  EXPECT_EQ(service.TerminalCommand("account del alice"), "Account alice deleted");
  EXPECT_NE(service.TerminalCommand("account del alice").find("no account alice"), std::string::npos);
  EXPECT_NE(service.TerminalCommand("account frob").find("usage: account"), std::string::npos);
  service.RequestStop();
  loop.join();
  service.Close();
  EXPECT_EQ(terminal.str().find("s3cret"), std::string::npos);
}

}  // namespace
}  // namespace kv
