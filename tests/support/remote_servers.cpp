#include "tests/support/remote_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "tests/support/wait.h"

namespace kv::testing {

namespace fs = std::filesystem;

bool TChildProcess::Start(const std::vector<std::string>& args, const std::string& out_file,
                          std::string& error) {
  Kill();
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) {
    error = "cannot create " + out_file + ": " + std::strerror(errno);
    return false;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    ::close(out);
    return false;
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out);
  ::setpgid(pid, pid);
  pid_ = pid;
  return true;
}

bool TChildProcess::Wait(int64_t timeout_ms, int& status) {
  if (pid_ <= 0) return false;
  const bool done = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms);
  if (done) pid_ = 0;
  return done;
}

namespace {

// Every process below pid, found through the parents in /proc.
std::vector<pid_t> Descendants(pid_t pid) {
  std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, ppid)
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    const std::string stat = ReadFileText(e.path() / "stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    int ppid = 0;
    char state = 0;
    if (std::sscanf(stat.c_str() + paren + 1, " %c %d", &state, &ppid) == 2)
      parents.emplace_back(std::atoi(name.c_str()), ppid);
  }
  std::vector<pid_t> found{pid};
  for (size_t i = 0; i < found.size(); ++i)
    for (const auto& pp : parents)
      if (pp.second == found[i]) found.push_back(pp.first);
  found.erase(found.begin());
  return found;
}

}  // namespace

void TChildProcess::Kill() {
  if (pid_ <= 0) return;
  for (pid_t d : Descendants(pid_)) ::kill(d, SIGKILL);
  ::kill(-pid_, SIGKILL);
  ::kill(-pid_, SIGCONT);
  int st = 0;
  ::waitpid(pid_, &st, 0);
  pid_ = 0;
}

void TChildProcess::Pause() {
  if (pid_ > 0) ::kill(-pid_, SIGSTOP);
}
void TChildProcess::Resume() {
  if (pid_ > 0) ::kill(-pid_, SIGCONT);
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

namespace {

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// Runs a tool to its end (bounded); false with its output in error.
bool RunTool(const std::vector<std::string>& args, const fs::path& out, std::string& error) {
  TChildProcess p;
  if (!p.Start(args, out.string(), error)) return false;
  int st = 0;
  if (!p.Wait(20000, st)) {
    error = args[0] + " did not finish";
    return false;
  }
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
    error = args[0] + " failed: " + ReadFileText(out);
    return false;
  }
  return true;
}

bool Executable(const char* path) { return ::access(path, X_OK) == 0; }

constexpr const char* kFtpScript = R"(import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
authorizer = DummyAuthorizer()
authorizer.add_user(sys.argv[2], sys.argv[3], sys.argv[1], perm="elr")
FTPHandler.authorizer = authorizer
server = FTPServer(("127.0.0.1", int(sys.argv[4])), FTPHandler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
)";

}  // namespace

TFtpTestServer::TFtpTestServer(fs::path dir, int port) : dir_(std::move(dir)), port_(port) {
  if (!Executable("/usr/bin/python3")) {
    error_ = "/usr/bin/python3 is missing";
    return;
  }
  std::ofstream(work_ / "ftpd.py") << kFtpScript;
  Launch();
}

bool TFtpTestServer::Launch() {
  error_.clear();
  const fs::path out = work_ / "ftpd.out";
  if (!process_.Start({"/usr/bin/python3", (work_ / "ftpd.py").string(), dir_.string(), kUser, kPassword,
                       std::to_string(port_)},
                      out.string(), error_))
    return false;
  // The first line is the port; pyftpdlib missing shows as an import error.
  const bool up = WaitFor(
      [&] {
        const std::string text = ReadFileText(out);
        return text.find('\n') != std::string::npos || text.find("Error") != std::string::npos;
      },
      10000);
  const std::string text = ReadFileText(out);
  const int port = up ? std::atoi(text.c_str()) : 0;
  if (port <= 0) {
    error_ = "the FTP server (python3-pyftpdlib) did not start: " + text;
    process_.Kill();
    return false;
  }
  port_ = port;
  if (!WaitFor([&] { return Accepts(port_); }, 5000)) error_ = "the FTP server does not accept connections";
  return error_.empty();
}

bool TFtpTestServer::Restart() {
  process_.Kill();
  // The same port again (pyftpdlib reuses the address).
  return Launch();
}

TSshTestServer::TSshTestServer() {
  for (const char* tool : {"/usr/sbin/sshd", "/usr/bin/ssh-keygen", "/usr/bin/puttygen", "/usr/bin/plink"}) {
    if (!Executable(tool)) {
      error_ = std::string(tool) + " is missing (openssh-server, openssh-client, putty-tools)";
      return;
    }
  }
  const passwd* pw = ::getpwuid(::getuid());
  if (!pw) {
    error_ = "this user has no name";
    return;
  }
  user_ = pw->pw_name;
  // Run as root, sshd wants its privilege separation directory.
  if (::geteuid() == 0 && !fs::exists("/run/sshd")) {
    std::error_code ec;
    fs::create_directories("/run/sshd", ec);
    ::chmod("/run/sshd", 0755);
  }
  const fs::path log = work_ / "tool.out";
  const std::string host = (work_ / "host_key").string(), client = (work_ / "client_key").string();
  if (!RunTool({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", host}, log, error_) ||
      !RunTool({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", client}, log, error_) ||
      !RunTool({"/usr/bin/puttygen", client, "-O", "private", "-o", KeyFile()}, log, error_) ||
      !RunTool({"/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f", host + ".pub"}, log, error_))
    return;
  // "256 SHA256:... comment (ED25519)"
  const std::string listing = ReadFileText(log);
  const size_t start = listing.find("SHA256:");
  host_key_ = listing.substr(start, listing.find(' ', start) - start);
  fs::copy_file(client + ".pub", work_ / "authorized_keys");
  ::chmod((work_ / "authorized_keys").c_str(), 0600);
  port_ = FreeLoopbackPort();
  std::ofstream(work_ / "sshd_config")
      << "Port " << port_ << "\nListenAddress 127.0.0.1\nHostKey " << host << "\nAuthorizedKeysFile "
      << (work_ / "authorized_keys").string() << "\nPidFile " << (work_ / "sshd.pid").string()
      << "\nStrictModes no\nUsePAM no\nPasswordAuthentication yes\n"
         "KbdInteractiveAuthentication no\nPermitRootLogin yes\n"
         "MaxStartups 50\n";
  Launch();
}

bool TSshTestServer::Launch() {
  error_.clear();
  const fs::path out = work_ / "sshd.out";
  if (!process_.Start({"/usr/sbin/sshd", "-D", "-e", "-f", (work_ / "sshd_config").string()}, out.string(),
                      error_))
    return false;
  if (!WaitFor([&] { return Accepts(port_) || ReadFileText(out).find("rror") != std::string::npos; },
               10000) ||
      !Accepts(port_)) {
    error_ = "sshd did not start: " + ReadFileText(out);
    process_.Kill();
    return false;
  }
  return true;
}

bool TSshTestServer::Restart() {
  process_.Kill();
  return Launch();
}

bool Alive(int pid) {
  const std::string stat = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

bool TailFollows(const std::filesystem::path& log) {
  namespace fs = std::filesystem;
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string cmdline = ReadFileText(e.path() / "cmdline");
    if (cmdline.rfind("tail", 0) != 0 || cmdline.find(log.string()) == std::string::npos) continue;
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator(e.path() / "fd", ec))
      if (fs::read_symlink(fd.path(), ec) == log) return true;
  }
  return false;
}

bool WaitUntilTailFollows(const std::filesystem::path& log,
                          const std::function<std::vector<std::string>()>& lines) {
  if (!WaitFor([&] { return TailFollows(log); }, 15000)) return false;
  for (int i = 0; i < 40; ++i) {
    const std::string probe = "probe " + std::to_string(i);
    std::ofstream(log, std::ios::binary | std::ios::app) << probe << "\n";
    if (WaitFor(
            [&] {
              const std::vector<std::string> now = lines();
              return !now.empty() && now.back() == probe;
            },
            500))
      return true;
  }
  return false;
}

}  // namespace kv::testing
