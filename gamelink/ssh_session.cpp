#include "gamelink/ssh_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "core/bus.h"
#include "core/cp1252.h"
#include "core/unique_fd.h"

namespace kv {

namespace fs = std::filesystem;

namespace {

constexpr size_t kReadBlock = 64 * 1024;
// A client asked to end gets this long before it is killed.
constexpr int kKillGraceMs = 1000;
constexpr const char* kPasswordFilePrefix = "plink-pw-";

std::mutex g_pids_mutex;  // guards g_pids; a leaf
std::vector<int> g_pids;

void AddPid(int pid) {
  std::lock_guard lock(g_pids_mutex);
  g_pids.push_back(pid);
}
void RemovePid(int pid) {
  std::lock_guard lock(g_pids_mutex);
  g_pids.erase(std::remove(g_pids.begin(), g_pids.end(), pid), g_pids.end());
}

std::runtime_error SystemError(const std::string& what, int err = errno) {
  return std::runtime_error(what + std::strerror(err));
}

}  // namespace

std::vector<int> SshClientPids() {
  std::lock_guard lock(g_pids_mutex);
  return g_pids;
}

// The running client: its pipes and its process, which it ends and reaps
// when it goes, whatever happened.
class TSShSession::TChild {
 public:
  TChild(const std::vector<std::string>& args) {
    std::array<int, 2> in{-1, -1}, out{-1, -1}, status{-1, -1};
    if (::pipe2(in.data(), O_CLOEXEC) != 0) throw SystemError("");
    in_write_.Reset(in[1]);
    TUniqueFd in_read(in[0]);
    if (::pipe2(out.data(), O_CLOEXEC) != 0) throw SystemError("");
    out_read_.Reset(out[0]);
    TUniqueFd out_write(out[1]);
    // Tells the parent why the program could not be started.
    if (::pipe2(status.data(), O_CLOEXEC) != 0) throw SystemError("");
    TUniqueFd status_read(status[0]), status_write(status[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw SystemError("");
    if (pid == 0) {
      // Only async-signal-safe calls from here on. A session of its own:
      // without a controlling terminal every prompt comes through the
      // pipes; and the client dies with the thread that started it.
      ::setsid();
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(in_read.Get(), 0);
      ::dup2(out_write.Get(), 1);
      ::dup2(out_write.Get(), 2);
      ::signal(SIGPIPE, SIG_DFL);
      ::execvp(argv[0], argv.data());
      const int err = errno;
      [[maybe_unused]] const ssize_t n = ::write(status_write.Get(), &err, sizeof err);
      ::_exit(127);
    }
    pid_ = pid;
    pidfd_.Reset(PidfdOpen(pid));
    status_write.Reset();
    in_read.Reset();
    out_write.Reset();
    int err = 0;
    ssize_t n;
    while ((n = ::read(status_read.Get(), &err, sizeof err)) < 0 && errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof err)) {
      Reap(true);
      throw SystemError("Cannot start \"" + args.front() + "\". ", err);
    }
    ::fcntl(in_write_.Get(), F_SETFL, O_NONBLOCK);
  }
  ~TChild() { End(); }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  int Pid() const { return pid_; }
  int Output() const { return out_read_.Get(); }
  // Readable once the process has ended; -1 without pidfd support.
  int EndFd() const { return pidfd_.Get(); }
  bool Ended() { return Reap(false); }
  // Sends an answer to a prompt; the client's input then stays open.
  void Write(const std::string& text) {
    if (!in_write_) return;
    [[maybe_unused]] const ssize_t n = ::write(in_write_.Get(), text.data(), text.size());
  }
  // No more input: a prompt the client shows then fails at once instead
  // of waiting for an answer that never comes.
  void CloseInput() { in_write_.Reset(); }
  // Ends the process (SIGTERM, then SIGKILL after the grace time) and
  // reaps it. Returns at once when it has ended already.
  void End() {
    if (pid_ <= 0) return;
    if (!Reap(false)) {
      Signal(SIGTERM);
      if (!WaitEnd(kKillGraceMs)) {
        Signal(SIGKILL);
        WaitEnd(-1);  // SIGKILL cannot be refused
      }
    }
  }

 private:
  void Signal(int sig) {
#ifdef SYS_pidfd_send_signal
    if (pidfd_) {
      ::syscall(SYS_pidfd_send_signal, pidfd_.Get(), sig, nullptr, 0);
      return;
    }
#endif
    ::kill(pid_, sig);
  }
  // True once the process has ended (and has been reaped).
  bool Reap(bool block) {
    if (pid_ <= 0) return true;
    int st = 0;
    pid_t r;
    while ((r = ::waitpid(pid_, &st, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r == 0) return false;
    pid_ = 0;  // reaped (or not ours to reap any more)
    return true;
  }
  bool WaitEnd(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!Reap(false)) {
      if (ms < 0) return Reap(true);
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
              .count();
      if (left <= 0) return false;
      if (pidfd_) {
        pollfd p{pidfd_.Get(), POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left));
      } else {
        ::usleep(10000);  // no pidfd (kernels before 5.3): look every 10 ms
      }
    }
    return true;
  }

  pid_t pid_ = 0;
  TUniqueFd in_write_, out_read_, pidfd_;
};

std::string TSShSession::ClientProgram(const TLogSourceSettings& settings, const std::string& home) {
  if (!settings.ssh_client.empty()) {
    const fs::path p(settings.ssh_client);
    return p.is_absolute() || p.parent_path().empty() ? p.string() : (fs::path(home) / p).string();
  }
  const fs::path local = fs::path(home) / "Data" / "plink";
  if (::access(local.c_str(), X_OK) == 0) return local.string();
  return "plink";
}

TThreadPtr<TSShSession> TSShSession::Create(const TMohaaServerInfo* server, TLogSourceSettings settings,
                                            std::string home, std::unique_ptr<TLogEventChecker> parser) {
  return MakeThread<TSShSession>(server, std::move(settings), std::move(home), std::move(parser));
}

TSShSession::TSShSession(const TMohaaServerInfo* server, TLogSourceSettings settings, std::string home,
                         std::unique_ptr<TLogEventChecker> parser)
    : settings_(std::move(settings)),
      home_(std::move(home)),
      store_(server ? server->Settings() : TSettingsReader()),
      buffer_(TLogBuffer::Create(server, ekNewLogFileEntry)) {
  buffer_->SetChecker(std::move(parser));
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TSShSession::~TSShSession() {
  TerminateAndJoin();
  buffer_.reset();
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void TSShSession::Terminate() {
  TGeneralThread::Terminate();
  if (buffer_) buffer_->StopWaiting();
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
  }
}

std::string TSShSession::LastText() const {
  std::lock_guard lock(mutex_);
  return last_text_;
}
std::vector<std::string> TSShSession::ClientArgs() const {
  std::lock_guard lock(mutex_);
  return args_;
}
std::string TSShSession::PasswordFile() const {
  std::lock_guard lock(mutex_);
  return password_file_;
}
void TSShSession::SetLastText(const std::string& text) {
  std::lock_guard lock(mutex_);
  last_text_ = text;
}

void TSShSession::Execute() {
  running_.store(true, std::memory_order_release);
  SetStarted(true);
  PostGlobal("TSShSession Started", mlInformation);
  try {
    Body();
  } catch (const std::exception& e) {
    SetLastText(e.what());
    PostGlobal(std::string("TSShSession Stopped with Exception: ") + e.what(), mlCritical);
  }
  {
    std::lock_guard lock(mutex_);
    if (!password_file_.empty()) ::unlink(password_file_.c_str());
    password_file_.clear();
  }
  // Ended before it says so: whoever hears the message finds it ended.
  running_.store(false, std::memory_order_release);
  PostGlobal("TSShSession Stopped", mlInformation);
}

std::string TSShSession::WritePasswordFile() {
  const fs::path dir = fs::path(home_) / "Temp";
  std::error_code ec;
  fs::create_directories(dir, ec);
  // A file left by a session that was killed holds a password: it goes.
  // One service runs per home, so no other session's file is here.
  for (const auto& entry : fs::directory_iterator(dir, ec))
    if (entry.path().filename().string().rfind(kPasswordFilePrefix, 0) == 0) fs::remove(entry.path(), ec);
  std::string path = (dir / (std::string(kPasswordFilePrefix) + "XXXXXX")).string();
  // mkstemp creates it for this user alone (0600).
  TUniqueFd fd(::mkstemp(path.data()));
  if (!fd) throw SystemError("Cannot create the password file in \"" + dir.string() + "\". ");
  {
    std::lock_guard lock(mutex_);
    password_file_ = path;
  }
  ::fcntl(fd.Get(), F_SETFD, FD_CLOEXEC);
  const std::string& pw = settings_.ssh_password;
  if (::write(fd.Get(), pw.data(), pw.size()) != static_cast<ssize_t>(pw.size()) || fd.Close() != 0)
    throw SystemError("Cannot write the password file \"" + path + "\". ");
  return path;
}

void TSShSession::Body() {
  if (settings_.ssh_login.empty()) throw std::runtime_error("Can\xB4t connect with SSH - Username missing");
  // A key file stands in for the password.
  if (settings_.ssh_password.empty() && settings_.ssh_key_file.empty())
    throw std::runtime_error("Can\xB4t connect with SSH - Passwort missing");
  const std::string port = settings_.ssh_port.empty() ? "22" : settings_.ssh_port;
  std::vector<std::string> args{ClientProgram(settings_, home_), "-ssh", "-P", port};
  if (!settings_.ssh_password.empty()) {
    args.push_back("-pwfile");
    args.push_back(WritePasswordFile());
  }
  if (!settings_.ssh_key_file.empty()) {
    const fs::path key(settings_.ssh_key_file);
    args.push_back("-i");
    args.push_back(key.is_absolute() ? key.string() : (fs::path(home_) / key).string());
  }
  // Pinned host keys: the client accepts only these and asks nothing.
  std::istringstream keys(settings_.ssh_host_key);
  for (std::string key; keys >> key;) {
    args.push_back("-hostkey");
    args.push_back(key);
  }
  args.push_back(settings_.ssh_login + "@" + settings_.ssh_host);
  args.push_back(settings_.ssh_command);
  {
    std::lock_guard lock(mutex_);
    args_ = args;
  }
  if (Terminated()) return;
  TChild child(args);
  const int pid = child.Pid();
  client_pid_.store(pid, std::memory_order_release);
  AddPid(pid);
  struct TForget {
    TSShSession& session;
    int pid;
    ~TForget() {
      RemovePid(pid);
      session.client_pid_.store(0, std::memory_order_release);
    }
  };
  {
    // Declared after the child: the id is given up only once it is reaped.
    TForget forget{*this, pid};
    Follow(child);
    child.End();
  }
  if (!tail_.empty()) Deliver(std::move(tail_));
  tail_.clear();
}

void TSShSession::Follow(TChild& child) {
  SetLastText({});
  std::array<char, kReadBlock> block;
  bool output_open = true;
  while (output_open) {
    if (Terminated()) {
      // Ended here; what it printed before it went is still read below.
      child.End();
    }
    std::array<pollfd, 2> fds{{{child.Output(), POLLIN, 0}, {wake_fd_, POLLIN, 0}}};
    // The output pipe closes when the client ends (nothing else holds its
    // write end), so it alone tells the end; the wake-up brings a stop.
    const nfds_t count = Terminated() ? 1 : 2;
    if (::poll(fds.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      throw SystemError("");
    }
    if (count == 2 && (fds[1].revents & POLLIN)) {
      uint64_t value;
      [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &value, sizeof value);
    }
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t n = ::read(child.Output(), block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      output_open = false;
      break;
    }
    try {
      Take(std::string_view(block.data(), static_cast<size_t>(n)));
      Answer(child);
    } catch (const std::exception& e) {
      PostGlobal(std::string("TSShSession failed with: ") + e.what(), mlWarning);
    }
  }
}

void TSShSession::Take(std::string_view raw) {
  std::string clean;
  if (std::memchr(raw.data(), '\0', raw.size()) != nullptr) {
    for (char c : raw)
      if (c != '\0') clean += c;
    raw = clean;
  }
  const bool ascii = std::all_of(raw.begin(), raw.end(), [](char c) { return (c & 0x80) == 0; });
  std::string text = ascii ? std::string(raw) : FromConsoleCodePage(store_, raw);
  if (skip_lf_ && !text.empty()) {
    if (text.front() == '\n') text.erase(0, 1);
    skip_lf_ = false;
  }
  const size_t end = text.find_last_of("\r\n");
  if (end == std::string::npos) {
    tail_ += text;
    return;
  }
  skip_lf_ = text[end] == '\r' && end + 1 == text.size();
  std::string complete = std::move(tail_);
  complete.append(text, 0, end + 1);
  tail_.assign(text, end + 1);
  Deliver(std::move(complete));
}

void TSShSession::Answer(TChild& child) {
  // Prompts end without a line end: they wait in the tail.
  if (tail_.empty()) return;
  if (tail_.find("Store key in cache?") != std::string::npos) {
    // First contact with this host: its key is taken and kept, as an
    // operator at the console would.
    Deliver(std::move(tail_));
    tail_.clear();
    child.Write("y\r");
    return;
  }
  // A changed host key or a password asked again (the one given was
  // refused) would wait for an answer for ever: no more input makes the
  // client give up and end, and the watchdog takes over.
  static const char* const kNoAnswer[] = {"Update cached key?", "assword:", "Passphrase for key"};
  for (const char* prompt : kNoAnswer) {
    if (tail_.find(prompt) != std::string::npos) {
      Deliver(std::move(tail_));
      tail_.clear();
      child.CloseInput();
      return;
    }
  }
}

void TSShSession::Deliver(std::string text) {
  if (text.empty()) return;
  SetLastText(text);
  buffer_->AddText(text);
}

}  // namespace kv
