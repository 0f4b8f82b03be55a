// The settings groups the loader reads, one struct per owner. Each owner
// publishes its group as an immutable snapshot (core/snapshot.h) and takes
// one value per unit of work, so a reload never changes a field that
// another thread is reading.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kv {

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

// How requests reach the game server's console (the host is in the server
// state's address cache).
struct TRconSettings {
  std::string port = "12203";
  std::string password;
};

// How the game server's log and replies read: the Windows server's chat
// lines, and team messages as their own events.
struct TLogDialectSettings {
  bool windows_version = false;
  bool team_messages = false;
};

// The kick timing of the messages and kicks.
struct TKickSettings {
  int32_t kick_delay = 5;
  int32_t kick_repeat = 1;
  int32_t ban_kick_repeat = 1;
  int32_t ban_kick_delay = 0;
};

// Where the game server's log is read from: exactly one of the four
// sources is on after a load.
struct TLogSourceSettings {
  bool use_ssh = false, use_ftp = false, use_direct = false, use_no_log = false;
  std::string local_log_file;
  std::string ssh_host, ssh_port, ssh_password, ssh_login, ssh_command;
  std::string ssh_key_file, ssh_client;  // empty: password login; plink from Data/ or PATH
  std::string ssh_host_key;              // fingerprints, blank-separated; empty: first contact decides
  std::string ftp_host, ftp_port, ftp_file;
  bool ftp_passive = false;
  std::string ftp_login, ftp_password;
  int32_t ftp_poll_ms = 1000;
  TProxySettings ftp_proxy;
};

// The category journals: their switches and directory.
struct TJournalSettings {
  std::array<bool, kLogSwitchCount> switches{};
  std::string dir;  // empty: the home's "Logs"
  bool Switch(TLogSwitch s) const { return switches[static_cast<size_t>(s)]; }
};

// The remote administration servers.
struct TRemoteAdminSettings {
  std::string server_port = "23203";
  std::string ac_server_port = "24203";
  bool server_disabled = false, ac_server_disabled = false;
};

// The protection rules: team kills, spawn kills, skins, team changes, ban
// immunity and the score formula.
struct TProtectionSettings {
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
  std::string stats_only_for_nick;
};

}  // namespace kv
