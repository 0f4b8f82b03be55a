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

// Reads what the child prints until `needle` shows up or the time is over.
bool ReadUntil(int fd, std::string& seen, const std::string& needle, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (seen.find(needle) == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return seen.find(needle) != std::string::npos;
    seen.append(buf, static_cast<size_t>(n));
  }
  return true;
}

TEST(Service, BinaryStopsCleanlyOnSignals) {
  const std::string binary = std::string(KV_BINARY_DIR) + "/app/kelvandrome";
  for (int sig : {SIGINT, SIGTERM}) {
    const fs::path home = TempHome("sig" + std::to_string(sig));
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      ::execl(binary.c_str(), binary.c_str(), "--home", home.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    std::string seen;
    EXPECT_TRUE(ReadUntil(out[0], seen, "started in", 10000)) << seen;
    ::kill(pid, sig);
    EXPECT_TRUE(ReadUntil(out[0], seen, "Kelvandrome stopped", 10000)) << seen;
    int status = 0;
    pid_t reaped = 0;
    for (int i = 0; i < 100 && (reaped = ::waitpid(pid, &status, WNOHANG)) == 0; ++i) ::usleep(100'000);
    if (reaped == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "did not stop";
    }
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::close(out[0]);
    fs::remove_all(home);
  }
}

TEST(Service, SecondStartInTheSameHomeExitsZero) {
  const std::string binary = std::string(KV_BINARY_DIR) + "/app/kelvandrome";
  const fs::path home = TempHome("second");
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t first = ::fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(binary.c_str(), binary.c_str(), "--home", home.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string seen;
  ASSERT_TRUE(ReadUntil(out[0], seen, "started in", 10000)) << seen;
  const std::string command = binary + " --home " + home.string() + " </dev/null";
  FILE* second = ::popen(command.c_str(), "r");
  ASSERT_NE(second, nullptr);
  char buf[512] = {};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, second);
  EXPECT_EQ(::pclose(second), 0);
  EXPECT_NE(std::string(buf, n).find("Kelvandrome is already running for " + home.string()),
            std::string::npos)
      << std::string(buf, n);
  ::kill(first, SIGTERM);
  int status = 0;
  ::waitpid(first, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::close(out[0]);
  fs::remove_all(home);
}

}  // namespace
}  // namespace kv
