// The service as an operator runs it: the kelvandrome binary in a fresh
// home directory, following the log of a simulated game server and polling
// its players over rcon on loopback, writing what it parsed into the
// journals, and saving and stopping cleanly on a signal.
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
#include "tests/app/service_process.h"
#include "tools/mohsim/mohsim.h"

namespace kv {
namespace {

using mohsim::TMohSim;
using mohsim::TSimWeapon;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Polls until the file holds every needle, at most timeout_ms.
bool WaitForFile(const fs::path& p, const std::vector<std::string>& needles, int timeout_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < end) {
    const std::string text = ReadFile(p);
    bool all = true;
    for (const auto& n : needles) all = all && text.find(n) != std::string::npos;
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(EndToEnd, FollowsPollsJournalsSavesAndStops) {
  const fs::path home = fs::temp_directory_path() / ("kv-e2e-" + std::to_string(::getpid()));
  fs::remove_all(home);
  fs::create_directories(home);
  const fs::path log = home / "qconsole.log";
  std::ofstream(log).close();

  TMohSim sim("secret", log.string());
  std::string error;
  ASSERT_TRUE(sim.Listen(0, error)) << error;
  {
    std::ofstream ini(home / "kelvandrome.ini", std::ios::binary);
    ini << "[Global]\r\n"
        << "RCONHost=" << EncipherText(TCipherPurpose::Settings, "127.0.0.1") << "\r\n"
        << "RCONPORT=" << sim.Port() << "\r\n"
        << "RCONPASSWORD=" << EncipherText(TCipherPurpose::Settings, "secret") << "\r\n"
        << "LocalLogFile=" << log.string() << "\r\n"
        << "StartOnStartup=1\r\nUserRefrestTimer=1\r\n"
        << "LogKills=1\r\nLogChat=1\r\nLogRcon=1\r\nLogGlobalMessages=1\r\n"
        << "WeaponRegExprRifle=was rifled by\r\nWeaponRegExprSniper=was sniped by\r\n";
  }

  testing::TServiceProcess service;
  ASSERT_TRUE(service.Start(home.string()));

  sim.Join("Alice");
  sim.Join("Bob");
  // Both names reach the player list through the status poll.
  ASSERT_TRUE(WaitForFile(home / "Logs" / "Debug_Rcon.txt", {"Alice", "Bob"}, 15000));
  sim.Kill("Bob", "Alice", TSimWeapon::Sniper);
  sim.Chat("Alice", "hello there");
  EXPECT_TRUE(WaitForFile(home / "Logs" / "Kills.txt", {"Bob killed Alice with Sniper\r\n"}, 10000))
      << ReadFile(home / "Logs" / "Kills.txt");
  EXPECT_TRUE(WaitForFile(home / "Logs" / "User_Chat.txt", {"Alice: hello there\r\n"}, 10000))
      << ReadFile(home / "Logs" / "User_Chat.txt");

  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(10000), 0);
  const std::string& printed = service.Output();
  EXPECT_NE(printed.find("Information Config Loaded"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Information Config Saved"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Information Kelvandrome stopped"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("Kritisch"), std::string::npos) << printed;

  // The INI now lists the start-up keys with their defaults; with no log
  // source chosen the local file was taken and written back.
  const std::string ini = ReadFile(home / "kelvandrome.ini");
  for (const char* key : {"\r\nSaveTimer=10\r\n", "\r\nUseDirect=1\r\n", "\r\nServerPort=23203\r\n"})
    EXPECT_NE(ini.find(key), std::string::npos) << key;
  const std::string global = ReadFile(home / "Logs" / "GlobalMessages.txt");
  EXPECT_NE(global.find("Kelvandrome Started"), std::string::npos);
  EXPECT_NE(global.find("Kelvandrome Stopped"), std::string::npos);
  sim.Stop();
  fs::remove_all(home);
}

}  // namespace
}  // namespace kv
