// The service as an operator runs it: the kelvandrome binary in a fresh
// home directory, following the log of a simulated game server and polling
// its players over rcon on loopback, writing what it parsed into the
// journals, and saving and stopping cleanly on a signal.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "formats/cipher.h"
#include "tests/app/log_burst.h"
#include "tests/app/service_process.h"
#include "tests/support/sanitizers.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"
#include "tools/mohsim/mohsim.h"

namespace kv {
namespace {

using mohsim::TMohSim;
using mohsim::TSimWeapon;
using testing::TTempHome;
namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) { return testing::ReadFileText(p); }

// Waits until the file holds every needle, at most timeout_ms.
bool WaitForFile(const fs::path& p, const std::vector<std::string>& needles, int timeout_ms) {
  return testing::WaitFor(
      [&] {
        const std::string text = ReadFile(p);
        for (const auto& n : needles)
          if (text.find(n) == std::string::npos) return false;
        return true;
      },
      timeout_ms);
}

TEST(EndToEnd, FollowsPollsJournalsSavesAndStops) {
  testing::TSimHome server("secret", "e2e");
  ASSERT_TRUE(server.Started()) << server.Error();
  const fs::path& home = server.Home();
  TMohSim& sim = server.Sim();
  server.WriteIni("LocalLogFile=" + server.Log().string() + "\r\n" +
                  "StartOnStartup=1\r\nUserRefrestTimer=1\r\n"
                  "LogKills=1\r\nLogChat=1\r\nLogRcon=1\r\nLogGlobalMessages=1\r\n"
                  "WeaponRegExprRifle=was rifled by\r\nWeaponRegExprSniper=was sniped by\r\n");

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
  for (const char* key :
       {"\r\nSaveTimer=10\r\n", "\r\nUseDirect=1\r\n", "\r\nServerPort=23203\r\n",
        "\r\nServername=Unknown Server\r\n", "\r\nChatMAXLINES=200\r\n", "\r\nServerCompression=1\r\n",
        "\r\nIconifyOnStartup=0\r\n", "\r\nStartupWithOutLogo=0\r\n", "\r\nCheckUpdateOnStartup=1\r\n"})
    EXPECT_NE(ini.find(key), std::string::npos) << key;
  const std::string global = ReadFile(home / "Logs" / "GlobalMessages.txt");
  EXPECT_NE(global.find("Kelvandrome Started"), std::string::npos);
  EXPECT_NE(global.find("Kelvandrome Stopped"), std::string::npos);
}

// Started with standard input and error closed, the service puts /dev/null
// there before it opens anything, so no file of its own takes their place.
TEST(EndToEnd, ClosedStandardDescriptorsAreFilledWithDevNull) {
  const TTempHome home("fds");
  testing::TServiceProcess service;
  testing::TServiceProcess::TLaunch launch;
  launch.close_fds = {0, 2};
  ASSERT_TRUE(service.Start(home.string(), launch));
  ASSERT_TRUE(service.ReadUntil("started in", 10000)) << service.Output();
  for (int fd : {0, 2}) {
    std::error_code ec;
    const fs::path target =
        fs::read_symlink("/proc/" + std::to_string(service.Pid()) + "/fd/" + std::to_string(fd), ec);
    EXPECT_EQ(target, "/dev/null") << fd << " " << ec.message();
  }
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitExit(10000), 0);
  EXPECT_EQ(service.Output().find("unknown command"), std::string::npos) << service.Output();
}

// A settings file that cannot be read is no reason to run on defaults (a
// later save would overwrite it): the start is refused with the cause on
// standard error and exit status 1, every time.
TEST(EndToEnd, UnreadableSettingsRefuseTheStart) {
  const TTempHome home("unreadable");
  fs::create_directories(home / "kelvandrome.ini");
  for (int run = 0; run < 3; ++run) {
    testing::TServiceProcess service;
    testing::TServiceProcess::TLaunch launch;
    launch.merge_stderr = true;
    ASSERT_TRUE(service.Start(home.string(), launch));
    EXPECT_EQ(service.WaitExit(10000), 1) << service.Output();
    EXPECT_NE(service.Output().find("kelvandrome: cannot read the settings: Cannot read file \"" +
                                    (home / "kelvandrome.ini").string() + "\". Is a directory\n"),
              std::string::npos)
        << service.Output();
    EXPECT_EQ(service.Output().find("started in"), std::string::npos) << service.Output();
  }
}

// A home the service may not write: with a private runtime directory for its
// lock it runs on the settings it reads and writes nothing; without one it
// refuses with the reason.
TEST(EndToEnd, ReadOnlyHomeRunsOrRefusesClearly) {
  const TTempHome home("readonly");
  const TTempHome runtime("runtime");
  for (const char* sub : {"Data", "Logs", "Temp", "Stats"}) fs::create_directories(home / sub);
  std::ofstream(home / "kelvandrome.ini", std::ios::binary) << "[Global]\r\nServername=Read Only\r\n";
  testing::TServiceProcess::TLaunch launch;
  launch.merge_stderr = true;
  // root writes anywhere: the service then runs as another user.
  const bool root = ::geteuid() == 0;
  if (root) {
    launch.uid = 65534;
    ASSERT_EQ(::chown(runtime.string().c_str(), 65534, 65534), 0);
  }
  fs::permissions(runtime, fs::perms::owner_all);
  fs::permissions(home, root ? fs::perms(0755) : fs::perms(0555));
  const std::string ini = ReadFile(home / "kelvandrome.ini");

  launch.unset_env = {"XDG_RUNTIME_DIR"};
  {
    testing::TServiceProcess service;
    ASSERT_TRUE(service.Start(home.string(), launch));
    EXPECT_EQ(service.WaitExit(10000), 1) << service.Output();
    EXPECT_NE(service.Output().find(
                  "kelvandrome: cannot use the instance lock " + (home / "kelvandrome.lock").string() +
                  ": Permission denied (the home directory must be writable, or XDG_RUNTIME_DIR "
                  "name a private directory)"),
              std::string::npos)
        << service.Output();
  }
  launch.unset_env.clear();
  launch.set_env = {"XDG_RUNTIME_DIR=" + runtime.string()};
  {
    testing::TServiceProcess service;
    ASSERT_TRUE(service.Start(home.string(), launch));
    ASSERT_TRUE(service.ReadUntil("Config Loaded", 10000)) << service.Output();
    EXPECT_NE(service.Output().find("Kritisch Settings file not written"), std::string::npos)
        << service.Output();
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitExit(10000), 0) << service.Output();
    EXPECT_NE(service.Output().find("Kelvandrome stopped"), std::string::npos) << service.Output();
  }
  EXPECT_EQ(ReadFile(home / "kelvandrome.ini"), ini);
  EXPECT_FALSE(fs::exists(home / "kelvandrome.lock"));
}

using testing::kSanitized;

// A server that flushes a large log at once (a busy map, a buffer written
// out): every line reaches the raw journal and every kill and chat its own,
// in order, while the service's memory stays small — the log file is the
// buffer, not the service's queues.
TEST(EndToEnd, LogBurstReachesEveryJournalInBoundedMemory) {
  // The sanitizer build is several times slower and its memory is no guide.
  const size_t bytes = kSanitized ? (5u << 20) : (50u << 20);
  testing::TBurstRig rig("kv-burst");
  const std::string error = rig.Start();
  ASSERT_TRUE(error.empty()) << error;
  const auto burst = testing::MakeLogBurst(bytes);
  ASSERT_TRUE(rig.Append(burst.text));
  const bool arrived =
      rig.WaitForJournalSize("Kills.txt", static_cast<int64_t>(burst.kill_journal.size()), 90'000) &&
      rig.WaitForJournalSize("Debug_SSH.txt", static_cast<int64_t>(burst.raw_bytes), 10'000) &&
      rig.WaitForJournalSize("User_Chat.txt", static_cast<int64_t>(burst.chat_journal.size()), 10'000);
  const int64_t peak_kb = rig.MemoryKb("VmHWM");
  rig.Service().Signal(SIGINT);
  EXPECT_EQ(rig.Service().WaitExit(20'000), 0);
  EXPECT_TRUE(arrived);

  // Kills and chat: every one, in order, each kill with its weapon class.
  EXPECT_TRUE(testing::ReadFileText(rig.Journal("Kills.txt")) == burst.kill_journal)
      << testing::FileSize(rig.Journal("Kills.txt")) << " bytes instead of " << burst.kill_journal.size();
  EXPECT_TRUE(testing::ReadFileText(rig.Journal("User_Chat.txt")) == burst.chat_journal);
  // Raw lines: every one, in order, without its line end.
  // The simulated server logs each status poll as the game does ("Rcon from
  // ADDRESS:" and the command's first word); those lines are not the burst's.
  std::string raw;
  {
    const std::string journal = testing::ReadFileText(rig.Journal("Debug_SSH.txt"));
    raw.reserve(journal.size());
    bool skip_next = false;
    for (size_t start = 0; start < journal.size();) {
      size_t end = journal.find("\r\n", start);
      end = end == std::string::npos ? journal.size() : end + 2;
      const std::string_view line(journal.data() + start, end - start);
      if (skip_next)
        skip_next = false;
      else if (line.substr(0, 10) == "Rcon from ")
        skip_next = true;
      else
        raw.append(line);
      start = end;
    }
  }
  EXPECT_EQ(testing::CountLines(raw, "\r\n"), burst.lines);
  std::string expected_raw;
  expected_raw.reserve(burst.raw_bytes);
  for (size_t start = 0; start < burst.text.size();) {
    const size_t end = burst.text.find_first_of("\r\n", start);
    expected_raw.append(burst.text, start, end - start).append("\r\n");
    start = burst.text.find('\n', end) + 1;
  }
  EXPECT_TRUE(raw == expected_raw) << raw.size() << " bytes instead of " << expected_raw.size();
  // No worker failed, no journal was lost, the watchdog never lost the log.
  const std::string& printed = rig.Service().Output();
  for (const char* trouble : {"failed with", "Can not write to Log File", "was terminated"})
    EXPECT_EQ(printed.find(trouble), std::string::npos) << printed;

  if (!kSanitized) {
    EXPECT_GT(peak_kb, 0);
    EXPECT_LT(peak_kb, 64 * 1024) << "peak resident memory " << peak_kb / 1024 << " MB";
  }
}

}  // namespace
}  // namespace kv
