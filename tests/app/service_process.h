// Runs the kelvandrome binary as a child process with its standard output on
// a pipe, for the tests that meet the service the way an operator does.
#pragma once

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/wait.h"

namespace kv::testing {

class TServiceProcess {
 public:
  static std::string Binary() { return std::string(KV_BINARY_DIR) + "/app/kelvandrome"; }

  // How the child is started, beyond `--home`.
  struct TLaunch {
    bool merge_stderr = false;           // standard error into the same pipe
    std::vector<int> close_fds;          // descriptors closed before the exec (0, 2, ...)
    int uid = -1;                        // run as this user (and its group) when >= 0
    std::vector<std::string> set_env;    // "NAME=value"
    std::vector<std::string> unset_env;  // names
  };

  // Starts `kelvandrome --home home`; false when it could not be started.
  bool Start(const std::string& home) { return Start(home, TLaunch{}); }
  bool Start(const std::string& home, const TLaunch& launch) {
    // Everything the child needs is made before the fork: after it, only
    // plain system calls are safe in a process that had threads.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      bool drop = false;
      for (const auto& n : launch.unset_env) drop = drop || n == name;
      for (const auto& s : launch.set_env) drop = drop || s.substr(0, s.find('=')) == name;
      if (!drop) env.push_back(entry);
    }
    env.insert(env.end(), launch.set_env.begin(), launch.set_env.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string binary = Binary();
    std::vector<char*> argv = {const_cast<char*>(binary.c_str()), const_cast<char*>("--home"),
                               const_cast<char*>(home.c_str()), nullptr};
    int out[2];
    if (::pipe(out) != 0) return false;
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      if (launch.merge_stderr) ::dup2(out[1], 2);
      ::close(out[0]);
      ::close(out[1]);
      for (int fd : launch.close_fds) ::close(fd);
      if (launch.uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(launch.uid)) != 0 ||
                              ::setuid(static_cast<uid_t>(launch.uid)) != 0))
        ::_exit(126);
      ::execve(binary.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    fd_ = out[0];
    return true;
  }

  pid_t Pid() const { return pid_; }

  ~TServiceProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }

  // Reads what the service prints until `needle` shows up, at most timeout_ms.
  bool ReadUntil(const std::string& needle, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (output_.find(needle) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
              .count();
      if (left <= 0 || fd_ < 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) return output_.find(needle) != std::string::npos;
      output_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }

  void Signal(int sig) { ::kill(pid_, sig); }

  // Waits for the exit; its exit code, or -1 when it did not end in time
  // (it is then killed) or ended by a signal.
  int WaitExit(int timeout_ms) {
    int status = 0;
    pid_t reaped = 0;
    WaitFor([&] { return (reaped = ::waitpid(pid_, &status, WNOHANG)) != 0; }, timeout_ms);
    if (reaped == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    // Take what is left in the pipe, up to its end.
    char buf[4096];
    for (pollfd p{fd_, POLLIN, 0}; fd_ >= 0 && ::poll(&p, 1, 1000) > 0;) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      output_.append(buf, static_cast<size_t>(n));
    }
    return reaped != 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& Output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string output_;
};

}  // namespace kv::testing
