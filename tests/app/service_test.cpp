#include "app/service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/bus_hub.h"
#include "core/clock.h"
#include "core/mainloop.h"
#include "core/regional.h"
#include "formats/cipher.h"
#include "formats/config.h"
#include "tests/app/service_process.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

using testing::ReadFileText;
using testing::TSimHome;
using testing::TTempHome;

TEST(Service, OpenCreatesTheHomeAndPrintsGlobalMessages) {
  const TTempHome home("open", TTempHome::kMissing);
  std::ostringstream terminal;
  {
    TKelvandromeService service({home.string(), &terminal});
    service.Open();
    for (const char* sub : {"Data", "Logs", "Temp", "Stats"})
      EXPECT_TRUE(fs::is_directory(home / sub)) << sub;
    EXPECT_EQ(service.ConfigData().GetIntegerDef("SaveTimer", 10), 10);
    service.Close();
  }
  EXPECT_TRUE(fs::exists(home / "kelvandrome.ini"));
  const std::string out = terminal.str();
  EXPECT_NE(out.find(" Information Kelvandrome 0.8.10 BETA started in " + home.string() + "\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(" Information Kelvandrome stopped\n"), std::string::npos) << out;
}

// Waits until the file holds the needle, at most timeout_ms.
bool WaitForFile(const fs::path& p, const std::string& needle, int timeout_ms = 10000) {
  return testing::WaitFor([&] { return ReadFileText(p).find(needle) != std::string::npos; }, timeout_ms);
}

TEST(Service, TerminalCommandsSayAndRcon) {
  TSimHome server("pw", "say");
  ASSERT_TRUE(server.Started()) << server.Error();
  const fs::path& home = server.Home();
  mohsim::TMohSim& sim = server.Sim();
  sim.Join("Alice");
  server.WriteIni("LogMessagesSendToServer=1\r\n");
  std::ostringstream terminal;
  {
    TKelvandromeService service({home.string(), &terminal});
    service.Open();
    // The operator's words go as typed, from the background.
    EXPECT_EQ(service.TerminalCommand("say meet at B; bring \"smoke\""),
              "saying: meet at B; bring \"smoke\"");
    EXPECT_TRUE(WaitForFile(home / "Logs" / "MessagesSend.txt", "meet at B; bring \"smoke\""));
    const std::string status = service.TerminalCommand("rcon status");
    EXPECT_NE(status.find("Alice"), std::string::npos) << status;
    // The broadcast's colour byte does not reach the terminal.
    const std::string said = service.TerminalCommand("rcon say hi");
    EXPECT_NE(said.find("broadcast: print \"console: hi"), std::string::npos) << said;
    EXPECT_EQ(said.find_first_of(std::string("\x01\x02\xFF", 3)), std::string::npos) << said;
    EXPECT_EQ(service.TerminalCommand("say"), "usage: say TEXT");
    EXPECT_NE(service.TerminalCommand("frobnicate").find("unknown command 'frobnicate'"), std::string::npos);
    EXPECT_EQ(service.TerminalCommand("   "), "");
    service.Close();
  }
  EXPECT_NE(terminal.str().find("Information Operator message said: meet at B; bring \"smoke\"\n"),
            std::string::npos)
      << terminal.str();
  EXPECT_EQ(sim.Commands().at(0), "Say \"meet at B; bring \"smoke\"\"");
}

TEST(Service, FailingStatusPollIsReportedOnceOnTheTerminalAndInTheJournal) {
  TSimHome server("secret", "pollfail");
  ASSERT_TRUE(server.Started()) << server.Error();
  const fs::path& home = server.Home();
  mohsim::TMohSim& sim = server.Sim();
  server.WriteIni("LocalLogFile=" + server.Log().string() +
                      "\r\nStartOnStartup=1\r\nUserRefrestTimer=1\r\nLogGlobalMessages=1\r\n",
                  "wrong");
  testing::TServiceProcess service;
  ASSERT_TRUE(service.Start(home.string()));
  EXPECT_TRUE(service.ReadUntil("Status poll failed: Bad rconpassword.", 15000)) << service.Output();
  // Later polls fail the same way without another line.
  EXPECT_TRUE(testing::WaitFor([&] { return sim.RequestCount() >= 4; }, 15000)) << sim.RequestCount();
  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(10000), 0);
  const auto count = [](const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(service.Output(), "Status poll failed"), 1u) << service.Output();
  EXPECT_EQ(
      count(ReadFileText(home / "Logs" / "GlobalMessages.txt"), "Status poll failed: Bad rconpassword."), 1u);
}

// A service with its main loop on a thread of its own, as the commands
// that run on the loop need it.
struct TRunningService {
  explicit TRunningService(const fs::path& home, std::ostream* terminal = nullptr)
      : service({home.string(), terminal}) {
    service.Open();
    loop = std::thread([this] { service.Run(); });
  }
  ~TRunningService() {
    service.RequestStop();
    loop.join();
    service.Close();
  }
  TKelvandromeService service;
  std::thread loop;
};

// The field case: a disk that takes nothing more. The start says that the
// settings could not be written, and reading settings that are not in the
// file yet (as saying a text does) still works.
TEST(Service, SayWorksWhenTheIniCannotBeWritten) {
  TSimHome server("pw", "fulldisk");
  ASSERT_TRUE(server.Started()) << server.Error();
  const fs::path& home = server.Home();
  mohsim::TMohSim& sim = server.Sim();
  sim.Join("Alice");
  server.WriteIni();
  const std::string before = ReadFileText(home / "kelvandrome.ini");
  fs::create_symlink("/dev/full", home / "kelvandrome.ini.tmp~");
  std::ostringstream terminal;
  {
    TRunningService running(home, &terminal);
    fs::remove(home / "kelvandrome.ini.tmp~");
    fs::create_directories(home / "kelvandrome.ini.tmp~");  // and every later write fails too
    EXPECT_EQ(running.service.TerminalCommand("say hello"), "saying: hello");
    // Delivered from the background although no setting could be written.
    const auto said = [&] {
      const auto commands = sim.Commands();
      return std::find(commands.begin(), commands.end(), "Say \"hello\"") != commands.end();
    };
    EXPECT_TRUE(testing::WaitFor(said, 10000));
    EXPECT_EQ(running.service.TerminalCommand("status"), "Kelvandrome stopped");
    // The hook of the status poll: an answering server is seen as alive.
    running.service.StartService();
    testing::WaitFor([&] { return running.service.ServerInfo().last_status_reply.load() != 0; });
    EXPECT_GT(running.service.ServerInfo().last_status_reply.load(), 0);
  }
  EXPECT_NE(
      terminal.str().find("Kritisch Settings file not written - Kelvandrome goes on with the settings read "
                          "and the defaults: Cannot write file \"" +
                          (home / "kelvandrome.ini.tmp~").string() + "\". No space left on device"),
      std::string::npos)
      << terminal.str();
  EXPECT_EQ(ReadFileText(home / "kelvandrome.ini"), before);
}

// LogAddTimeStamp and LogDelFilesOnRestart hold from the journals' first
// line: the start banner.
TEST(Service, JournalsHonourTheirSwitchesFromTheFirstLine) {
  const TTempHome home("journal");
  fs::create_directories(home / "Logs");
  std::ofstream(home / "kelvandrome.ini", std::ios::binary)
      << "[Global]\r\nLogGlobalMessages=1\r\nLogAddTimeStamp=1\r\nLogDelFilesOnRestart=1\r\n";
  std::ofstream(home / "Logs" / "GlobalMessages.txt", std::ios::binary) << "a line of the last run\r\n";
  {
    TKelvandromeService service({home.string(), nullptr});
    service.Open();
    service.Close();
  }
  const std::string journal = ReadFileText(home / "Logs" / "GlobalMessages.txt");
  EXPECT_EQ(journal.find("last run"), std::string::npos) << journal;
  ASSERT_NE(journal.find("Kelvandrome Started"), std::string::npos) << journal;
  std::istringstream lines(journal);
  for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("[", 0), 0u) << line;
}

// A start that fails half-way (here: a settings file that cannot be read)
// undoes what it created, so the process can end cleanly.
TEST(Service, FailedOpenLeavesNothingBehind) {
  const TTempHome home("unreadable");
  fs::create_directories(home / "kelvandrome.ini");
  {
    TKelvandromeService service({home.string(), nullptr});
    try {
      service.Open();
      ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("cannot read the settings: ", 0), 0u) << e.what();
    }
    EXPECT_EQ(GetMonitorInterface(), nullptr);
    EXPECT_EQ(MainLoop(), nullptr);
  }
  const TTempHome other("after-failure", TTempHome::kMissing);
  {
    TKelvandromeService service({other.string(), nullptr});
    service.Open();
    service.Close();
  }
  EXPECT_TRUE(fs::exists(other / "kelvandrome.ini"));
}

TEST(Service, SetupExportAndImportCommands) {
  const TTempHome home("setup", TTempHome::kMissing);
  TRunningService running(home);
  TKelvandromeService& service = running.service;
  service.ConfigData().SetString("RCONPORT", "12345");
  service.ConfigData().SetString("Servername", "Alpha");
  EXPECT_EQ(service.TerminalCommand("setup export my setup"),
            "Setup saved to " + (home / "my setup.KVSetup").string());
  ASSERT_TRUE(fs::exists(home / "my setup.KVSetup"));

  service.ConfigData().SetString("RCONPORT", "1");
  service.ConfigData().SetString("Servername", "Beta");
  ASSERT_TRUE(service.LoadConfig());
  EXPECT_EQ(service.ServerInfo().rcon.Get()->port, "1");
  EXPECT_EQ(service.TerminalCommand("SETUP import " + (home / "my setup.KVSetup").string()),
            "Setup loaded from " + (home / "my setup.KVSetup").string());
  // In use at once, and kept in the INI.
  EXPECT_EQ(service.ServerInfo().rcon.Get()->port, "12345");
  EXPECT_EQ(TConfigFile((home / "kelvandrome.ini").string()).ReadString("Global", "Servername", ""), "Alpha");

  const std::string missing = (home / "nothing.KVSetup").string();
  EXPECT_EQ(
      service.TerminalCommand("setup import nothing").rfind("Setup not loaded from " + missing + ": ", 0),
      0u);
  std::ofstream(home / "foreign.KVSetup") << "no setup at all";
  EXPECT_NE(service.TerminalCommand("setup import foreign.KVSetup").find("Wrong File Version"),
            std::string::npos);
  EXPECT_EQ(service.ConfigData().GetStringDef("Servername", ""), "Alpha");  // a failed import changes nothing
  for (const char* bad : {"setup", "setup export", "setup frobnicate x"})
    EXPECT_EQ(service.TerminalCommand(bad), "usage: setup export FILE | setup import FILE") << bad;
}

TEST(Service, TerminalLineFormat) {
  EXPECT_EQ(TerminalLine(regional::EncodeDate(2026, 12, 10) + 0.5, 6, "x"),
            "10.12.2026 12:00:00 \xC3\x84nderung x");
}

TEST(Service, BinaryStopsCleanlyOnSignals) {
  for (int sig : {SIGINT, SIGTERM}) {
    const TTempHome home("sig" + std::to_string(sig), TTempHome::kMissing);
    testing::TServiceProcess service;
    ASSERT_TRUE(service.Start(home.string()));
    EXPECT_TRUE(service.ReadUntil("started in", 10000)) << service.Output();
    service.Signal(sig);
    EXPECT_TRUE(service.ReadUntil("Kelvandrome stopped", 10000)) << service.Output();
    EXPECT_EQ(service.WaitExit(10000), 0);
  }
}

TEST(Service, SecondStartInTheSameHomeExitsZero) {
  const TTempHome home_dir("second", TTempHome::kMissing);
  const TTempHome link_dir("second-link", TTempHome::kMissing);
  const fs::path& home = home_dir;
  const fs::path& link = link_dir;
  testing::TServiceProcess first;
  ASSERT_TRUE(first.Start(home.string()));
  ASSERT_TRUE(first.ReadUntil("started in", 10000)) << first.Output();
  EXPECT_TRUE(fs::exists(home / "kelvandrome.lock"));
  // A symbolic link to the home is the same home.
  fs::create_directory_symlink(home, link);
  for (const fs::path& path : {home, link}) {
    const std::string command =
        testing::TServiceProcess::Binary() + " --home " + path.string() + " </dev/null";
    FILE* second = ::popen(command.c_str(), "r");
    ASSERT_NE(second, nullptr);
    char buf[512] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, second);
    EXPECT_EQ(::pclose(second), 0);
    EXPECT_NE(std::string(buf, n).find("Kelvandrome is already running for " + path.string()),
              std::string::npos)
        << std::string(buf, n);
  }
  first.Signal(SIGTERM);
  EXPECT_EQ(first.WaitExit(10000), 0);
}

}  // namespace
}  // namespace kv
