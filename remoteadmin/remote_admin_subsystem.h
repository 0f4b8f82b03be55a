// The remote-administration server as a part of the service: its settings,
// the accounts and their file, the server's life from Open to Close, and
// the terminal's account commands. The server listens only once an
// account exists: a fresh home has none, and there is no built-in one.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "core/bus_subscription.h"
#include "core/snapshot.h"
#include "core/thread_annotations.h"
#include "core/threads.h"
#include "domain/runtime.h"
#include "domain/subsystem.h"
#include "remoteadmin/accounts.h"
#include "remoteadmin/accounts_throttle.h"
#include "remoteadmin/commands.h"
#include "remoteadmin/server.h"

namespace kv {

class TMsgMonitor;
class TMohaaEvent;

struct TRemoteAdminConfig {
  std::string port = "23203";
  std::string bind_address;  // empty: every interface
  bool compression = true;
  bool disabled = false;
  int32_t max_connections = 64;
};

inline constexpr const char* kNoAccountNotice =
    "Remote administration: no account exists, so the remote server does not listen. "
    "Create one on this terminal with: account add NAME";

class TRemoteAdminSubsystem : public TSubsystem {
 public:
  // `targets` are the parts the remote commands reach; they outlive this
  // subsystem (the service opens them before it and closes them after).
  TRemoteAdminSubsystem(TRuntime& runtime, TRemoteCommandTargets targets);
  ~TRemoteAdminSubsystem() override;

  static std::span<const TSettingRows> Rows();
  std::string_view Name() const override { return "remoteadmin"; }
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void RegisterDataFiles(TDataFileRegistry& registry) override;
  void RegisterCommands(TCommandTable& commands) override;
  void ApplySettings(TSettings& settings) override;
  void Open() override;
  void Close() override;

  // A terminal line that a command asked for (a password): the answer, or
  // none when no command waits for input (the line is a command then).
  // The terminal's thread.
  std::optional<std::string> PendingInput(const std::string& line);

  TAccountTable& Accounts() { return accounts_; }
  TLoginThrottle& Throttle() { return throttle_; }
  // The running server, or null. Main loop thread.
  TRemoteAdminServer* Server() { return server_.get(); }

 private:
  struct TPending;  // a password being typed
  // Starts the server when an account exists and it is not running. Main loop.
  void StartServerIfReady();
  void SaveAccountsSoon();
  void KeepDamagedAccounts(TStream& in, uint64_t start, const std::string& reason);
  TCommandResult AccountCommand(const std::string& args);
  TCommandResult AccountAdd(const std::string& name, const std::string& filter);
  TCommandResult AccountPassword(const std::string& name);
  TCommandResult AccountDel(const std::string& name);
  TCommandResult AccountList();
  TCommandResult AccountRights(const std::string& name, const std::string& changes);
  void AskPassword(std::unique_ptr<TPending> pending);
  // A player's chat line to every client's player-chat queue. The chat
  // subscriber's thread.
  void OnPlayerChat(const TMohaaEvent& event);

  TRuntime& rt_;
  TAccountTable accounts_;
  TLoginThrottle throttle_;
  TRemoteCommandHandler handler_;
  TSnapshot<TRemoteAdminConfig> config_;
  std::unique_ptr<TRemoteAdminServer> server_;  // main loop thread
  bool open_ = false;

  // The running server's client list for the chat subscriber; taken
  // before the list's own lock.
  TMutex chat_mutex_;
  TClientList* chat_clients_ GUARDED_BY(chat_mutex_) = nullptr;
  TThreadPtr<TMsgMonitor> chat_monitor_;
  TBusSubscription chat_subscription_;

  TMutex pending_mutex_;  // a leaf: guards pending_
  std::unique_ptr<TPending> pending_ GUARDED_BY(pending_mutex_);
};

// Applies "+Right,-Right,..." to a list of rights: items separated by
// commas, each "+" (grant) or "-" (take away) followed by a command name
// (letter case ignored), its number, or "all". Throws std::invalid_argument
// naming an unknown right.
std::vector<std::string> ChangeRights(std::vector<std::string> rights, const std::string& changes);

}  // namespace kv
