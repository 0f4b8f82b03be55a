#include "app/processes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Two homes side by side under a temporary directory, "home-a" also reached
// through a symbolic link; "home-ab" is the prefix trap.
class ProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"home-a/Temp", "home-ab/Temp", "bin"}) fs::create_directories(root_ / d);
    fs::create_directory_symlink(root_ / "home-a", root_ / "link-a");
  }
  std::string Path(const std::string& rel) const { return (root_ / rel).string(); }
  testing::TTempHome root_{"processes"};
};

class TFakeTable : public TProcessTable {
 public:
  std::vector<TProcessInfo> List() const override { return rows; }
  std::vector<TProcessInfo> rows;
};

TEST_F(ProcessesTest, OrphansAreOurPlinkClientsThatNameThisHome) {
  const uid_t me = ::getuid();
  const std::string pw = Path("home-a/Temp/plink.pw");
  struct TCase {
    TProcessInfo p;
    bool found;
  };
  const TCase cases[] = {
      {{101, me, "plink", {"plink", "-batch", "-pwfile", pw}}, true},
      {{102, me, "PLINK.exe", {"plink", Path("home-a")}}, true},              // the home itself, any case
      {{103, me, "plink", {"plink", Path("link-a/Logs/ssh.log")}}, true},     // through the link
      {{104, me + 1, "plink", {"plink", "-pwfile", pw}}, false},              // another user's
      {{105, me, "plink", {"plink", Path("home-ab/Temp/plink.pw")}}, false},  // prefix trap
      {{106, me, "plink", {"plink", Path("home-a/../home-ab/x")}}, false},    // leaves the home
      {{107, me, "ssh", {"ssh", "-i", pw}}, false},                           // not plink
      {{108, me, "plink", {Path("home-a/bin/plink"), "-batch"}}, false},      // only the program is there
      {{109, me, "plink", {"plink", "home-a/Temp/plink.pw"}}, false},         // relative: no telling
      {{::getpid(), me, "plink", {"plink", pw}}, false},                      // ourselves
      {{110, me, "plink", {"plink", pw}}, false},                             // the session in use
  };
  TFakeTable table;
  std::vector<int> expected;
  for (const TCase& c : cases) {
    table.rows.push_back(c.p);
    if (c.found) expected.push_back(c.p.pid);
  }
  EXPECT_EQ(FindPlinkOrphans(Path("home-a"), 110, table), expected);
  // Named through the link, the home is the same directory.
  EXPECT_EQ(FindPlinkOrphans(Path("link-a/"), 110, table), expected);
  // The other home sees only its own clients.
  EXPECT_EQ(FindPlinkOrphans(Path("home-ab"), 0, table), (std::vector<int>{105, 106}));
}

// A stand-in for an SSH client: a copy of tail named "plink" that follows a
// file of the given home until it is ended (or this test process is gone).
// `ignore_term` makes it deaf to SIGTERM.
pid_t StartFakePlink(const std::string& program, const std::string& file, bool ignore_term = false) {
  std::ofstream(file).put('\n');
  const std::string watch = "--pid=" + std::to_string(::getpid());
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (ignore_term) ::signal(SIGTERM, SIG_IGN);  // kept across exec
    ::execl(program.c_str(), "plink", "-f", watch.c_str(), file.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

// True once the child runs the fake (before exec it still has our name).
bool Runs(pid_t pid) {
  return testing::WaitFor([pid] {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    return std::getline(comm, name) && name == "plink";
  });
}

int EndSignal(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

TEST_F(ProcessesTest, RealClientsOfThisHomeAreFoundAndEndedOthersAreLeftAlone) {
  const std::string program = Path("bin/plink");
  fs::copy_file("/usr/bin/tail", program);
  const pid_t ours = StartFakePlink(program, Path("home-a/Temp/ssh.log"));
  const pid_t deaf = StartFakePlink(program, Path("home-a/Temp/ssh2.log"), true);
  const pid_t theirs = StartFakePlink(program, Path("home-ab/Temp/ssh.log"));
  ASSERT_TRUE(Runs(ours) && Runs(deaf) && Runs(theirs));

  std::vector<int> found = FindPlinkOrphans(Path("home-a"));
  std::sort(found.begin(), found.end());
  std::vector<int> expected{ours, deaf};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);

  KillProcesses({static_cast<int>(::getpid())});  // never ourselves: we are still here
  const auto start = std::chrono::steady_clock::now();
  KillProcesses(found, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(EndSignal(ours), SIGTERM);
  EXPECT_EQ(EndSignal(deaf), SIGKILL);  // after the grace time
  int status = 0;
  EXPECT_EQ(::waitpid(theirs, &status, WNOHANG), 0);  // the other home's client runs on
  ::kill(theirs, SIGKILL);
  ::waitpid(theirs, &status, 0);
}

}  // namespace
}  // namespace kv
