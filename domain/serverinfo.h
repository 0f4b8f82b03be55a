// TMohaaServerInfo: the central server state — the loaded settings, the
// game server address cache and (as later parts attach them) the
// long-lived workers.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/thread_annotations.h"

namespace kv {

class TRconBudget;  // gamelink/rcon_budget.h

// One rule of team-kill or spawn-kill detection; the settings share a key
// prefix ("TKDetect" or "SpawnDetect").
struct TDetectionRecord {
  int32_t max_count = 0;
  int32_t kick_delay = 0;
  int32_t kick_repeat = 0;
  int32_t ban_after_kicks = 0;
  bool send_warnings = false;
  int32_t ban_time = 0;
  std::string warning_message;
  std::string kick_message;
  std::string ban_message;
  bool ban_address_too = false;
};

struct TProxySettings {
  std::string host;
  std::string port;
  std::string user;
  std::string password;
  int32_t method = 0;
};

// The 33 log switches, in their order.
enum TLogSwitch : int {
  lsChat,
  lsKicks,
  lsKills,
  lsGlobalMapChange,
  lsUserMapChange,
  lsNewBans,
  lsBanDeleted,
  lsBanMatch,
  lsGeneration,
  lsSSH,
  lsRcon,
  lsAllOtherEvents,
  lsServiceEvents,
  lsHandeled,
  lsUnhandeled,
  lsRemoteCommands,
  lsNewUser,
  lsUserBack,
  lsWenfOffline,
  lsNickChange,
  lsGlobalMessages,
  lsMessagesSendToServer,
  lsRemoteConnection,
  lsACCommand,
  lsACConnected,
  lsACDisconnected,
  lsACUserRconLog,
  lsACReport,
  lsACCheckACUser,
  lsACClientKick,
  lsUseTeamMessages,
  lsAddTimeStamp,
  lsDelFilesOnRestart,
  kLogSwitchCount
};
extern const char* const kLogSwitchKeys[kLogSwitchCount];  // "LogChat", ...

// Address lookup used by the cache; replaceable for tests. Returns false and
// an error text when the host cannot be resolved.
using TResolveFn = bool (*)(const std::string& host, std::string& address, std::string& error);
bool ResolveHostIPv4(const std::string& host, std::string& address, std::string& error);

class TMohaaServerInfo {
 public:
  TMohaaServerInfo();
  ~TMohaaServerInfo();
  TMohaaServerInfo(const TMohaaServerInfo&) = delete;
  TMohaaServerInfo& operator=(const TMohaaServerInfo&) = delete;

  // The game server's address; re-resolves the configured host when the
  // last resolution is more than 240 seconds old. Any thread.
  std::string GetServerIP();
  // Sets the host and resolves it now; on failure posts "Error on resolving
  // host ..." and keeps the host text as the address. Any thread.
  void SetServerHost(const std::string& host);
  std::string ServerHost() const;
  void SetResolver(TResolveFn fn) { resolve_ = fn; }

  // Settings, written by the settings loader on the main loop thread.
  std::string rcon_port;
  std::string rcon_password;
  std::string ssh_host, ssh_port, ssh_password, ssh_login, ssh_command;
  bool use_ssh = false, use_ftp = false, use_direct = false, use_no_log = false;
  std::string local_log_file;
  std::string server_port = "23203";
  std::string ac_server_port = "24203";
  bool server_disabled = false, ac_server_disabled = false;
  int32_t kick_delay = 5;
  int32_t kick_repeat = 1;
  int32_t ban_kick_repeat = 1;
  int32_t ban_kick_delay = 0;
  TDetectionRecord tk_rule;
  bool tk_detect_on = false;
  bool weapon_detect_on = false;
  int32_t tk_forgive_minutes = 0;
  std::string tk_auto_team_kick_msg;
  int32_t tk_auto_team_kick_delay = 0;
  int32_t tk_team_change_flood_delay = 0;
  std::string tk_team_change_flood_msg;
  int32_t tk_team_change_flood_timeout = 0;
  bool skin_detect_on = false;
  bool skin_only_detect = false;
  int32_t skin_scan_seconds = 0;
  std::string skin_kick_msg;
  int32_t skin_kick_delay = 0;
  int32_t unknown_team_msg_repeat = 0;
  std::string unknown_team_msg;
  std::string unknown_team_kick_msg;
  std::string ban_immune_nicks;
  std::string ban_immune_ips;
  std::string score_formula;
  bool spawn_detect_on = false;
  int32_t spawn_detect_timeout = 0;
  int32_t spawn_forgive_minutes = 0;
  TDetectionRecord spawn_rule;
  std::array<std::atomic<bool>, kLogSwitchCount> log_switches{};  // read by the journal thread
  std::string log_dir;
  std::string stats_only_for_nick;
  bool windows_version = false;
  std::unique_ptr<TProxySettings> ftp_proxy;
  std::string ftp_host, ftp_port, ftp_file;
  bool ftp_passive = false;
  std::string ftp_login, ftp_password;
  int32_t ftp_poll_ms = 1000;
  // The budget every rcon request to this server waits its turn in; none
  // means no limit. Set by the service before the first request.
  std::shared_ptr<TRconBudget> rcon_budget;
  // Date-time of the last "Status" reply the poll accepted (0: none yet):
  // the game server is alive even when its log stays quiet. Any thread.
  std::atomic<double> last_status_reply{0.0};

 private:
  mutable TMutex address_mutex_;  // guards host_, address_, resolved_at_ (a leaf)
  std::string host_ GUARDED_BY(address_mutex_);
  std::string address_ GUARDED_BY(address_mutex_);
  double resolved_at_ GUARDED_BY(address_mutex_);
  TResolveFn resolve_ = &ResolveHostIPv4;
};

}  // namespace kv
