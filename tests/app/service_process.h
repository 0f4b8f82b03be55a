// Runs the kelvandrome binary as a child process with its standard output on
// a pipe, for the tests that meet the service the way an operator does.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace kv::testing {

class TServiceProcess {
 public:
  static std::string Binary() { return std::string(KV_BINARY_DIR) + "/app/kelvandrome"; }

  // Starts `kelvandrome --home home`; false when it could not be started.
  bool Start(const std::string& home) {
    int out[2];
    if (::pipe(out) != 0) return false;
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      const std::string binary = Binary();
      ::execl(binary.c_str(), binary.c_str(), "--home", home.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    fd_ = out[0];
    return true;
  }

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
    for (int waited = 0; waited < timeout_ms && (reaped = ::waitpid(pid_, &status, WNOHANG)) == 0;
         waited += 20)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string output_;
};

}  // namespace kv::testing
