#include "app/service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/cipher.h"
#include "core/clock.h"
#include "core/regional.h"
#include "tests/app/service_process.h"
#include "tools/mohsim/mohsim.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

fs::path TempHome(const std::string& name) {
  const fs::path p = fs::temp_directory_path() / ("kvsvc-" + std::to_string(::getpid()) + "-" + name);
  fs::remove_all(p);
  return p;
}

TEST(Service, OpenCreatesTheHomeAndPrintsGlobalMessages) {
  const fs::path home = TempHome("open");
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
  fs::remove_all(home);
}

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Polls until the file holds the needle, at most timeout_ms.
bool WaitForFile(const fs::path& p, const std::string& needle, int timeout_ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (ReadFile(p).find(needle) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A home whose INI points at the simulator.
void WriteIni(const fs::path& home, uint16_t port, const std::string& password, const std::string& extra) {
  std::ofstream ini(home / "kelvandrome.ini", std::ios::binary);
  ini << "[Global]\r\nRCONHost=" << EncipherText(TCipherPurpose::Settings, "127.0.0.1")
      << "\r\nRCONPORT=" << port << "\r\nRCONPASSWORD=" << EncipherText(TCipherPurpose::Settings, password)
      << "\r\n"
      << extra;
}

TEST(Service, TerminalCommandsSayAndRcon) {
  const fs::path home = TempHome("say");
  fs::create_directories(home);
  mohsim::TMohSim sim("pw", (home / "qconsole.log").string());
  std::string error;
  ASSERT_TRUE(sim.Listen(0, error)) << error;
  sim.Join("Alice");
  WriteIni(home, sim.Port(), "pw", "LogMessagesSendToServer=1\r\n");
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
  sim.Stop();
  fs::remove_all(home);
}

TEST(Service, FailingStatusPollIsReportedOnceOnTheTerminalAndInTheJournal) {
  const fs::path home = TempHome("pollfail");
  fs::create_directories(home);
  const fs::path log = home / "qconsole.log";
  std::ofstream(log).close();
  mohsim::TMohSim sim("secret", log.string());
  std::string error;
  ASSERT_TRUE(sim.Listen(0, error)) << error;
  WriteIni(home, sim.Port(), "wrong",
           "LocalLogFile=" + log.string() +
               "\r\nStartOnStartup=1\r\nUserRefrestTimer=1\r\nLogGlobalMessages=1\r\n");
  testing::TServiceProcess service;
  ASSERT_TRUE(service.Start(home.string()));
  EXPECT_TRUE(service.ReadUntil("Status poll failed: Bad rconpassword.", 15000)) << service.Output();
  // Later polls fail the same way without another line.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (sim.RequestCount() < 4 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GE(sim.RequestCount(), 4u);
  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(10000), 0);
  const auto count = [](const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(service.Output(), "Status poll failed"), 1u) << service.Output();
  EXPECT_EQ(count(ReadFile(home / "Logs" / "GlobalMessages.txt"), "Status poll failed: Bad rconpassword."),
            1u);
  sim.Stop();
  fs::remove_all(home);
}

TEST(Service, TerminalLineFormat) {
  EXPECT_EQ(TerminalLine(regional::EncodeDate(2026, 12, 10) + 0.5, 6, "x"),
            "10.12.2026 12:00:00 \xC3\x84nderung x");
}

TEST(Service, BinaryStopsCleanlyOnSignals) {
  for (int sig : {SIGINT, SIGTERM}) {
    const fs::path home = TempHome("sig" + std::to_string(sig));
    testing::TServiceProcess service;
    ASSERT_TRUE(service.Start(home.string()));
    EXPECT_TRUE(service.ReadUntil("started in", 10000)) << service.Output();
    service.Signal(sig);
    EXPECT_TRUE(service.ReadUntil("Kelvandrome stopped", 10000)) << service.Output();
    EXPECT_EQ(service.WaitExit(10000), 0);
    fs::remove_all(home);
  }
}

TEST(Service, SecondStartInTheSameHomeExitsZero) {
  const fs::path home = TempHome("second");
  testing::TServiceProcess first;
  ASSERT_TRUE(first.Start(home.string()));
  ASSERT_TRUE(first.ReadUntil("started in", 10000)) << first.Output();
  const std::string command = testing::TServiceProcess::Binary() + " --home " + home.string() + " </dev/null";
  FILE* second = ::popen(command.c_str(), "r");
  ASSERT_NE(second, nullptr);
  char buf[512] = {};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, second);
  EXPECT_EQ(::pclose(second), 0);
  EXPECT_NE(std::string(buf, n).find("Kelvandrome is already running for " + home.string()),
            std::string::npos)
      << std::string(buf, n);
  first.Signal(SIGTERM);
  EXPECT_EQ(first.WaitExit(10000), 0);
  fs::remove_all(home);
}

}  // namespace
}  // namespace kv
