#include "app/processes.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "core/unique_fd.h"

namespace kv {

namespace fs = std::filesystem;

// --- the table -----------------------------------------------------------------

namespace {

bool ReadFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The real user id from /proc/N/status ("Uid:\treal\teffective\t...").
bool ReadUid(const std::string& dir, uid_t& uid) {
  std::ifstream in(dir + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Uid:", 0) != 0) continue;
    std::istringstream fields(line.substr(4));
    unsigned long value = 0;
    if (!(fields >> value)) return false;
    uid = static_cast<uid_t>(value);
    return true;
  }
  return false;
}

std::vector<std::string> SplitNul(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::atomic<TProcessTable*> g_table{nullptr};

}  // namespace

std::vector<TProcessInfo> TProcProcessTable::List() const {
  std::vector<TProcessInfo> list;
  DIR* proc = ::opendir("/proc");
  if (!proc) return list;
  while (dirent* e = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (!end || *end != '\0' || pid <= 0) continue;
    const std::string dir = std::string("/proc/") + e->d_name;
    TProcessInfo info;
    info.pid = static_cast<int>(pid);
    std::string comm, cmdline;
    if (!ReadFile(dir + "/comm", comm) || !ReadUid(dir, info.uid)) continue;  // ended meanwhile
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    info.comm = std::move(comm);
    if (ReadFile(dir + "/cmdline", cmdline)) info.args = SplitNul(cmdline);
    list.push_back(std::move(info));
  }
  ::closedir(proc);
  return list;
}

TProcessTable& ProcessTable() {
  static TProcProcessTable proc_table;
  TProcessTable* t = g_table.load(std::memory_order_acquire);
  return t ? *t : proc_table;
}

void SetProcessTable(TProcessTable* table) { g_table.store(table, std::memory_order_release); }

// --- orphaned plink clients ------------------------------------------------------

namespace {

// Lexically normal, without a trailing separator (except for "/" itself).
std::string Normal(const fs::path& p) {
  std::string s = p.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool Within(const std::string& path, const std::string& dir) {
  if (dir == "/") return true;
  return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

// The forms of an absolute path to compare: as written and with symbolic
// links resolved (the part that exists).
std::vector<std::string> Forms(const fs::path& path) {
  std::vector<std::string> forms{Normal(path)};
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(path, ec);
  if (!ec && Normal(real) != forms.front()) forms.push_back(Normal(real));
  return forms;
}

bool IsPlinkName(const std::string& comm) {
  static constexpr char kName[] = "plink";
  if (comm.size() < sizeof(kName) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kName); ++i)
    if (std::tolower(static_cast<unsigned char>(comm[i])) != kName[i]) return false;
  return true;
}

bool NamesHome(const TProcessInfo& p, const std::vector<std::string>& homes) {
  for (size_t i = 1; i < p.args.size(); ++i) {
    const std::string& arg = p.args[i];
    if (arg.empty() || arg[0] != '/') continue;  // relative to a directory we do not know
    for (const std::string& form : Forms(arg))
      for (const std::string& home : homes)
        if (Within(form, home)) return true;
  }
  return false;
}

}  // namespace

std::vector<int> FindPlinkOrphans(const std::string& home, int except_pid, const TProcessTable& table) {
  std::error_code ec;
  const std::vector<std::string> homes = Forms(fs::absolute(home, ec));
  const uid_t uid = ::getuid();
  const int self = ::getpid();
  std::vector<int> found;
  for (const TProcessInfo& p : table.List()) {
    if (p.pid <= 0 || p.pid == self || p.pid == except_pid || p.uid != uid) continue;
    if (IsPlinkName(p.comm) && NamesHome(p, homes)) found.push_back(p.pid);
  }
  return found;
}

// --- ending processes ------------------------------------------------------------

namespace {

using TSteady = std::chrono::steady_clock;

struct TTarget {
  int pid;
  TUniqueFd fd;  // pidfd, or none without pidfd support
  bool gone = false;
};

void Signal(TTarget& t, int sig) {
#ifdef SYS_pidfd_send_signal
  if (t.fd) {
    if (::syscall(SYS_pidfd_send_signal, t.fd.Get(), sig, nullptr, 0) != 0 && errno == ESRCH) t.gone = true;
    return;
  }
#endif
  if (::kill(t.pid, sig) != 0 && errno == ESRCH) t.gone = true;
}

// Without a pidfd: the id answers and its process has not ended (a zombie
// child has ended; only its parent's wait is missing).
bool AliveById(int pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
  std::string stat;
  if (!ReadFile("/proc/" + std::to_string(pid) + "/stat", stat)) return false;
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}

// Waits until every target has ended or the deadline has passed. Ends are
// seen through the pidfds; targets without one get a single wait until the
// deadline, as nothing can report their end.
void WaitGone(std::vector<TTarget>& targets, TSteady::time_point deadline) {
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<TTarget*> polled;
    bool unfollowed = false;
    for (TTarget& t : targets) {
      if (t.gone) continue;
      if (t.fd) {
        fds.push_back(pollfd{t.fd.Get(), POLLIN, 0});
        polled.push_back(&t);
      } else if (!(t.gone = !AliveById(t.pid))) {
        unfollowed = true;
      }
    }
    if (fds.empty() && !unfollowed) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TSteady::now()).count();
    if (left <= 0) return;
    if (fds.empty()) {
      std::this_thread::sleep_until(deadline);
      for (TTarget& t : targets)
        if (!t.gone && !t.fd) t.gone = !AliveById(t.pid);
      return;
    }
    const int n = ::poll(fds.data(), fds.size(), static_cast<int>(left));
    if (n < 0 && errno != EINTR) return;
    for (size_t i = 0; n > 0 && i < fds.size(); ++i)
      if (fds[i].revents != 0) polled[i]->gone = true;  // POLLIN: ended; errors: nothing to wait for
  }
}

bool AllGone(const std::vector<TTarget>& targets) {
  return std::all_of(targets.begin(), targets.end(), [](const TTarget& t) { return t.gone; });
}

}  // namespace

void KillProcesses(const std::vector<int>& pids, int64_t grace_ms) {
  const int self = ::getpid();
  std::vector<TTarget> targets;
  for (int pid : pids) {
    if (pid <= 0 || pid == self) continue;
    if (std::any_of(targets.begin(), targets.end(), [pid](const TTarget& t) { return t.pid == pid; }))
      continue;
    TUniqueFd fd(PidfdOpen(pid));
    if (!fd && errno == ESRCH) continue;  // already gone
    targets.push_back(TTarget{pid, std::move(fd)});
  }
  const auto grace = std::chrono::milliseconds(std::max<int64_t>(grace_ms, 0));
  for (TTarget& t : targets) Signal(t, SIGTERM);
  WaitGone(targets, TSteady::now() + grace);
  if (!AllGone(targets)) {
    for (TTarget& t : targets)
      if (!t.gone) Signal(t, SIGKILL);
    WaitGone(targets, TSteady::now() + grace);
  }
}

}  // namespace kv
