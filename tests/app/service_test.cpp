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

TEST(Service, TerminalCommandsSayAndRcon) {
  const fs::path home = TempHome("say");
  fs::create_directories(home);
  mohsim::TMohSim sim("pw", (home / "qconsole.log").string());
  std::string error;
  ASSERT_TRUE(sim.Listen(0, error)) << error;
  sim.Join("Alice");
  {
    std::ofstream ini(home / "kelvandrome.ini", std::ios::binary);
    ini << "[Global]\r\nRCONHost=" << EncipherText(TCipherPurpose::Settings, "127.0.0.1")
        << "\r\nRCONPORT=" << sim.Port()
        << "\r\nRCONPASSWORD=" << EncipherText(TCipherPurpose::Settings, "pw")
        << "\r\nLogMessagesSendToServer=1\r\n";
  }
  std::ostringstream terminal;
  {
    TKelvandromeService service({home.string(), &terminal});
    service.Open();
    EXPECT_EQ(service.TerminalCommand("say hello \"all\""), "said");
    const std::string status = service.TerminalCommand("rcon status");
    EXPECT_NE(status.find("Alice"), std::string::npos) << status;
    EXPECT_EQ(service.TerminalCommand("say"), "usage: say TEXT");
    EXPECT_NE(service.TerminalCommand("frobnicate").find("unknown command 'frobnicate'"), std::string::npos);
    EXPECT_EQ(service.TerminalCommand("   "), "");
    service.Close();
  }
  std::ifstream sent(home / "Logs" / "MessagesSend.txt");
  std::stringstream text;
  text << sent.rdbuf();
  EXPECT_NE(text.str().find("hello 'all'"), std::string::npos) << text.str();
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
