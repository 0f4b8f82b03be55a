// LoadAllSettings and SaveAllData: the start-up load and the periodic save
// of every setting and data file, in the catalogue's order.
#include "core/regional.h"
#include "domain/settings.h"

namespace kv {
namespace fs = std::filesystem;

namespace {

// The SSH and rcon groups: a key that cannot be read or deciphered ends its
// group silently; what was taken over before keeps its new value, the rest
// keeps the previous one.
template <class F>
void ReadGroup(F&& read) {
  try {
    read();
  } catch (const std::exception&) {
  }
}

void ReadConnectionKeys(TSettings& s, TMohaaServerInfo& info, TLoadedSettings& r) {
  TLogSourceSettings& src = r.log_source;
  ReadGroup([&] {
    src.ssh_host = s.Enc("SSHHost");
    src.ssh_port = s.String("SSHPORT");
    src.ssh_login = s.Enc("SSHLOGIN");
    src.ssh_password = s.Enc("SSHPASSWORD");
    src.ssh_command = s.Enc("SSHCOMMAND");
  });
  src.ssh_key_file = s.String("SSHKEYFILE");
  src.ssh_client = s.String("SSHClient");
  src.ssh_host_key = s.String("SSHHOSTKEY");
  ReadGroup([&] {
    const std::string host = s.Enc("RCONHost");
    // A fresh home has no game server yet: resolving nothing would only
    // greet the operator with a critical resolver error.
    if (!host.empty() || !info.ServerHost().empty()) info.SetServerHost(host);
    r.rcon.port = s.String("RCONPORT");
    r.rcon.password = s.Enc("RCONPASSWORD");
  });
  src.ftp_host = s.String("FTPLOGFILEHost");
  src.ftp_port = regional::IntToStr(s.Int("FTPLOGFILEPort"));
  src.ftp_file = s.String("FTPLOGFILEFile");
  src.ftp_login = s.String("FTPLOGFILELogin");
  src.ftp_password = s.EncOrEmpty("FTPLOGFILEPASS");
  src.ftp_poll_ms = s.Int("FTPLOGFILETimeOut");
  src.ftp_passive = s.Bool("FTPLOGFILEPassive");
  TProxySettings& proxy = src.ftp_proxy;
  proxy.host = s.String("FTPLOGPROXYIP");
  proxy.port = regional::IntToStr(s.Int("FTPLOGPROXYPORT"));
  proxy.user = s.String("FTPLOGPROXYLOGIN");
  proxy.password = s.EncOrEmpty("FTPLOGPROXYPASS");
  proxy.method = s.Int("FTPLOGPROXYMethod");
  r.remote_admin.server_port = s.String("ServerPort");
  r.remote_admin.ac_server_port = s.String("ACServerPort");
  r.remote_admin.server_disabled = s.Bool("ServerDisabled");
  r.remote_admin.ac_server_disabled = s.Bool("ACServerDisabled");
}

// A value written back at load: a file that cannot be written leaves the
// value in use and the reason in `not_saved`.
template <class F>
void WriteBack(std::string& not_saved, F&& write) {
  try {
    write();
  } catch (const std::exception& e) {
    if (not_saved.empty()) not_saved = e.what();
  }
}

// Exactly one log source: the first set flag in this order wins, later set
// ones are cleared and written back; with none set the local file is used.
void ReadLogSource(TSettings& s, TLogSourceSettings& src, std::string& not_saved) {
  static const char* const kKeys[4] = {"UseSSH", "UseFTP", "UseDirect", "UseNoLog"};
  bool* const fields[4] = {&src.use_ssh, &src.use_ftp, &src.use_direct, &src.use_no_log};
  bool found = false;
  for (int i = 0; i < 4; ++i) {
    bool v = s.Bool(kKeys[i]);
    if (v && found) {
      v = false;
      WriteBack(not_saved, [&] { s.Config().SetBool(kKeys[i], false); });
    }
    found = found || v;
    *fields[i] = v;
  }
  if (!found) {
    src.use_direct = true;
    WriteBack(not_saved, [&] { s.Config().SetBool("UseDirect", true); });
  }
}

void ReadLogKeys(TSettings& s, TLoadedSettings& r) {
  r.log_source.local_log_file = s.String("LocalLogFile");
  r.dialect.windows_version = s.Bool("WindowsVersion");
  const bool dir_set = !s.String("Logbasedir").empty();
  r.journals = ReadJournalSettings(s);
  if (!dir_set) WriteBack(r.not_saved, [&] { s.Config().SetString("Logbasedir", r.journals.dir); });
}

void ReadProtectionKeys(TSettings& s, TLoadedSettings& r) {
  TProtectionSettings& p = r.protections;
  r.kicks.kick_repeat = s.Int("MKickRepeat");
  r.kicks.kick_delay = s.Int("MKickDelay");
  r.kicks.ban_kick_repeat = s.Int("BKickRepeat");
  r.kicks.ban_kick_delay = s.Int("BKickDelay");
  r.ui.last_x_lines = s.Int("lastxlines");
  p.ban_immune_nicks = s.String("BanimmuneNicks");
  p.ban_immune_ips = s.String("BanimmuneIps");
  r.dialect.team_messages = r.journals.switches[lsUseTeamMessages] = s.Bool("UseTeamMessages");
  p.stats_only_for_nick = s.String("StatsonlyforthatNick");
  p.weapon_detect_on = s.Bool("EnableWeaponDetect");
  for (size_t i = 0; i < r.weapon_class_exprs.size(); ++i)
    r.weapon_class_exprs[i] = s.String(std::string("WeaponRegExpr") + kWeaponClassNames[i]);
  r.ping.check_enabled = s.Bool("PingCheckEnabled");
  r.ping.measure_count = s.Int("PingMessure");
  r.ping.time_max = s.Int("PingTime");
  r.ping.time_min = s.Int("PingTimeMin");
  r.ping.message = s.String("PingMessage");
  r.ping.message_min = s.String("PingMessageMin");
  r.ping.ignore = s.String("PingIgnore");
  r.ping.ignore_nick = s.String("PingIgnoreNick");
  r.sprees.killing_detect = s.Bool("KillingSpringDetect");
  r.sprees.killing_reset_on_new_round = s.Bool("KillingSpringResetonNewRound");
  r.sprees.losing_detect = s.Bool("LoosingSpringDetect");
  r.sprees.losing_reset_on_new_round = s.Bool("LoosingSpringResetonNewRound");
  p.score_formula = s.String("ScoreFormular");
}

void ReadSkinAndTeamKeys(TSettings& s, TProtectionSettings& p) {
  p.skin_detect_on = s.Bool("EnableSkinDetect");
  p.skin_only_detect = s.Bool("SkinOnlyDetect");
  p.skin_scan_seconds = s.Int("ScanSkinsallXSeconds");
  p.skin_kick_msg = s.String("SkinKickMsg");
  p.skin_kick_delay = s.Int("SkinKickDelay");
  p.tk_detect_on = s.Bool("EnableTKDetect");
  p.tk_forgive_minutes = s.Int("ForgiveTKAfter");
  p.tk_auto_team_kick_msg = s.String("TKAutoTeamKickMsg");
  p.tk_auto_team_kick_delay = s.Int("TKAutoTeamKickDelay");
  p.tk_team_change_flood_msg = s.String("TKTeamChangeFloodMsg");
  // The key the setup dialog writes; the delay is never read under another.
  p.tk_team_change_flood_delay = s.Int("TKTeamChangeFloodTimeDelay");
  p.tk_team_change_flood_timeout = s.Int("TKTeamChangeFloodTimeOut");
  p.unknown_team_msg_repeat = s.Int("TKUnkownMessageRep");
  p.unknown_team_msg = s.String("TKUnkownMessage");
  p.unknown_team_kick_msg = s.String("TKUnkownMessageKick");
}

TDetectionRecord ReadDetectionRecord(TSettings& s, const std::string& prefix) {
  TDetectionRecord r;
  r.max_count = s.Int(prefix + "Max");
  r.kick_delay = s.Int(prefix + "KickDelay");
  r.kick_repeat = s.Int(prefix + "KickRep");
  r.ban_after_kicks = s.Int(prefix + "BanAfterXKicks");
  r.send_warnings = s.Bool(prefix + "SendWarnings");
  r.ban_time = s.Int(prefix + "BanTime");
  r.warning_message = s.String(prefix + "WarningMessage");
  r.kick_message = s.String(prefix + "KickMessage");
  r.ban_message = s.String(prefix + "BanMessage");
  r.ban_address_too = s.Bool(prefix + "BanIp");
  return r;
}

// A negative interval is as meaningless to a timer as zero: both leave it off.
int64_t MinutesToMs(int32_t minutes) { return minutes > 0 ? int64_t{minutes} * 60'000 : 0; }

// One guarded step: a failure adds a line break, the label and the message.
template <class F>
void Guarded(std::string& errors, const std::string& label, F&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    errors += "\r\n" + label + e.what();
  }
}

}  // namespace

TJournalSettings ReadJournalSettings(TSettings& s) {
  TJournalSettings j;
  for (int i = 0; i < kLogSwitchCount; ++i) j.switches[static_cast<size_t>(i)] = s.Bool(kLogSwitchKeys[i]);
  j.dir = s.String("Logbasedir");
  if (j.dir.empty()) j.dir = SettingDefaultText(*FindSetting("Logbasedir"), s.Home());
  return j;
}

int64_t ReadAutoSaveIntervalMs(TDynamicConfigData& config) {
  return MinutesToMs(TSettings(config, fs::path()).Int("SaveTimer"));
}

TLoadedSettings LoadAllSettings(const fs::path& home, TDynamicConfigData& config, TMohaaServerInfo& info,
                                const TDataFileRegistry& registry, const TLoadedSettings& previous) {
  TSettings s(config, home);
  // Built aside and published whole at the end: a reader on another thread
  // keeps the values it took until then.
  TLoadedSettings r;
  r.log_source = previous.log_source;  // what a failing group keeps
  r.rcon = *info.rcon.Get();
  WriteBack(r.not_saved, [&] { StoreMissingSettings(s.Config(), home); });
  r.ui.no_refresh_if_hidden = s.Bool("NoRefreshifhidden");
  ReadConnectionKeys(s, info, r);
  ReadLogSource(s, r.log_source, r.not_saved);
  ReadLogKeys(s, r);
  ReadProtectionKeys(s, r);
  r.auto_save_interval_ms = MinutesToMs(s.Int("SaveTimer"));
  r.auto_stats_interval_ms = MinutesToMs(s.Int("StatsReportInterval"));

  std::string errors;
  Guarded(errors, "Data: ", [&] { TDataFileRegistry::EnsureDataDir(home); });
  for (const TDataFileId id : kDataFileLoadOrder)
    Guarded(errors, DataFileInfo(id).load_label, [&] { registry.Load(id, home); });

  ReadSkinAndTeamKeys(s, r.protections);
  Guarded(errors, DataFileInfo(TDataFileId::HotKeys).load_label,
          [&] { registry.Load(TDataFileId::HotKeys, home); });
  TProtectionSettings& p = r.protections;
  p.tk_rule = ReadDetectionRecord(s, "TKDetect");
  p.spawn_detect_on = s.Bool("EnableSpawnDetect");
  p.spawn_forgive_minutes = s.Int("ForgiveSpawnAfter");
  p.spawn_detect_timeout = s.Int("SpawnDetectTimeOut");
  p.spawn_rule = ReadDetectionRecord(s, "SpawnDetect");
  info.rcon.Publish(r.rcon);
  info.kicks.Publish(r.kicks);
  info.dialect.Publish(r.dialect);

  if (!errors.empty()) {
    r.error = "\r\n" + errors;
    throw ESettingsLoadError(std::move(r));
  }
  return r;
}

void SaveAllData(const fs::path& home, TDynamicConfigData& config, const TProtectionSettings& protections,
                 const TDataFileRegistry& registry, const TOperatorInterfaceSettings& ui) {
  // Every file is attempted even when one fails: stopping at the first
  // failure would lose the changes of every owner saved after it.
  std::string errors;
  Guarded(errors, "Data: ", [&] { TDataFileRegistry::EnsureDataDir(home); });
  for (const TDataFileId id : kDataFileSaveOrder)
    Guarded(errors, std::string(DataFileInfo(id).file_name) + ": ", [&] { registry.Save(id, home); });
  Guarded(errors, "Settings: ", [&] {
    TDynamicConfigData& c = config;
    c.SetBool("EnableSkinDetect", protections.skin_detect_on);
    c.SetBool("SkinOnlyDetect", protections.skin_only_detect);
    c.SetInteger("lastxlines", ui.last_x_lines);
    c.SetInteger("ScanSkinsallXSeconds", protections.skin_scan_seconds);
    c.SetString("SkinKickMsg", protections.skin_kick_msg);
  });
  Guarded(errors, std::string(DataFileInfo(TDataFileId::HotKeys).file_name) + ": ",
          [&] { registry.Save(TDataFileId::HotKeys, home); });
  if (!errors.empty()) throw ECfgError(errors);
}

}  // namespace kv
