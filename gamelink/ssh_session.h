// The SSH log follower: runs the terminal client (plink) with a remote
// command that prints the growing game log (typically a tail of
// qconsole.log) and hands everything the client prints, line by line, to
// its own line queue. The password reaches the client through a file only
// this user can read, never on its command line.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/threads.h"
#include "domain/server_settings.h"
#include "domain/serverinfo.h"
#include "domain/settings.h"
#include "gamelink/logbuffer.h"
#include "gamelink/logparser.h"

namespace kv {

class TSShSession : public TGeneralThread {
 public:
  // Its rows of the settings catalogue (the SSH source); registered by
  // whoever runs the follower (the service's lifecycle).
  static std::span<const TSettingRows> SettingRows();

  // home: the service's home directory; the password file goes to its
  // Temp/, a relative client or key path is taken from it. Creates the
  // line queue (raw kind 3) with the parser, starts the follower and waits
  // until its thread runs. server may be null. Main loop thread.
  static TThreadPtr<TSShSession> Create(const TMohaaServerInfo* server, TLogSourceSettings settings,
                                        std::string home, std::unique_ptr<TLogEventChecker> parser);

  TSShSession(const TMohaaServerInfo* server, TLogSourceSettings settings, std::string home,
              std::unique_ptr<TLogEventChecker> parser);
  ~TSShSession() override;

  // Ends the client (SIGTERM, SIGKILL after a second), drains what it
  // printed and ends the thread; the destructor waits for all of it. Any
  // thread.
  void Stop() { Terminate(); }
  void Terminate() override;

  bool Running() const { return running_.load(std::memory_order_acquire); }
  // When the line queue last received text (construction time at first).
  double LastNewMessageTime() const { return buffer_->LastNewMessageTime(); }
  // The last piece passed to the queue, or the failure text. Any thread.
  std::string LastText() const;
  // The running client's process id; 0 when none runs. Any thread.
  int ClientPid() const { return client_pid_.load(std::memory_order_acquire); }
  // The argument list the client was started with (after the start).
  std::vector<std::string> ClientArgs() const;
  // The password file of the running client; empty when none. Any thread.
  std::string PasswordFile() const;
  TLogBuffer& Buffer() { return *buffer_; }

  // The program that runs as the client: the SSHClient setting (relative
  // to home), else home/Data/plink when it is there, else "plink" on PATH.
  static std::string ClientProgram(const TLogSourceSettings& settings, const std::string& home);

 protected:
  void Execute() override;

 private:
  class TChild;

  void Body();
  void Follow(TChild& child);
  void Take(std::string_view raw);
  void Answer(TChild& child);
  void Deliver(std::string text);
  void SetLastText(const std::string& text);
  std::string WritePasswordFile();

  TLogSourceSettings settings_;
  const std::string home_;
  const TSettingsReader store_;  // the server's store (ConsoleCodePage)
  TThreadPtr<TLogBuffer> buffer_;
  std::atomic<bool> running_{false};
  std::atomic<int> client_pid_{0};
  int wake_fd_ = -1;  // eventfd: Terminate wakes the body

  mutable std::mutex mutex_;  // guards last_text_, args_, password_file_; a leaf
  std::string last_text_;
  std::vector<std::string> args_;
  std::string password_file_;

  // Body only.
  std::string tail_;      // printed text after the last line end
  bool skip_lf_ = false;  // the last piece ended in CR
};

// The process ids of the clients the SSH followers of this process run:
// they are no orphans. Any thread.
std::vector<int> SshClientPids();

}  // namespace kv
