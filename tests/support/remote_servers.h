// Real FTP and SSH servers on 127.0.0.1 for the remote log followers' tests:
// Debian's pyftpdlib run by /usr/bin/python3, and OpenSSH's sshd with its own
// configuration, throw-away host key and client key (converted for plink by
// puttygen). Each runs in a process group of its own that goes with the
// object. A server that cannot run here says why (Error) so the test skips.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/temp_home.h"

namespace kv::testing {

// A child process in its own process group; killed (the whole group) and
// reaped when the object goes.
class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess() { Kill(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Starts args with standard output and error into out_file. False with
  // the reason in error.
  bool Start(const std::vector<std::string>& args, const std::string& out_file, std::string& error);
  // Waits (bounded) for the process to end by itself; its exit status.
  bool Wait(int64_t timeout_ms, int& status);
  // Kills the process, its group and every descendant (sshd puts each
  // connection in a session of its own), and reaps it.
  void Kill();
  // Stops or continues the whole group (a server that stops answering).
  void Pause();
  void Resume();
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
};

// A free TCP port on 127.0.0.1 (bound and released at once).
int FreeLoopbackPort();

class TFtpTestServer {
 public:
  static constexpr const char* kUser = "kvlog";
  static constexpr const char* kPassword = "follow-me";

  // Serves dir to kUser/kPassword (read only). port 0: a free one.
  explicit TFtpTestServer(std::filesystem::path dir, int port = 0);
  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  int Port() const { return port_; }
  // A server restart: the process goes, a new one listens on the same port.
  bool Restart();
  void Stop() { process_.Kill(); }
  void Pause() { process_.Pause(); }
  void Resume() { process_.Resume(); }

 private:
  bool Launch();

  std::filesystem::path dir_;
  TTempHome work_{"ftpd"};
  int port_ = 0;
  std::string error_;
  TChildProcess process_;
};

class TSshTestServer {
 public:
  TSshTestServer();
  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  int Port() const { return port_; }
  // The user the server lets in with the client key: the test's own user.
  const std::string& User() const { return user_; }
  // The client key for plink (.ppk) and the server's key fingerprint.
  std::string KeyFile() const { return (work_ / "client.ppk").string(); }
  const std::string& HostKey() const { return host_key_; }
  bool Restart();
  void Stop() { process_.Kill(); }

 private:
  bool Launch();

  TTempHome work_{"sshd"};
  int port_ = 0;
  std::string user_, host_key_, error_;
  TChildProcess process_;
};

// True while a process with this id exists and has not ended.
bool Alive(int pid);
// A remote `tail` has opened this log (it may not have reached its end yet).
bool TailFollows(const std::filesystem::path& log);
// tail -n 0 opens the log before it seeks to its end, and a line written in
// between is never sent. Waits until tail has the log open, then appends a
// probe line now and then until lines() ends with the latest one: from then
// on every line written arrives. False when none arrives in time.
bool WaitUntilTailFollows(const std::filesystem::path& log,
                          const std::function<std::vector<std::string>()>& lines);

}  // namespace kv::testing
