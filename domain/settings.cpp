#include "domain/settings.h"

#include <unordered_map>

#include "core/cp1252.h"
#include "core/regional.h"
#include "formats/base64.h"
#include "formats/cipher.h"

namespace kv {
namespace {

using T = TSettingType;
constexpr bool kStartup = true;
constexpr bool kOnUse = false;

#define KV_SCORE_FORMULA                                                                                   \
  "IIF((%DATAMapsPlayed%>20);((((%DATAhaskilled% - %DATAwaskilled%) * (%DATAhaskilled%/%DATAwaskilled%))/" \
  "%DATAMapsPlayed%) * 10000);\"not enough maps played\")"

// Every key of the INI file. "startup" marks the keys LoadAllSettings reads;
// the others are read where they are used, with the default given here.
const TSettingDef kCatalogue[] = {
    // Game server and rcon
    {"RCONHost", T::Enc, "", kStartup},
    {"RCONPORT", T::String, "12203", kStartup},
    {"RCONPASSWORD", T::Enc, "", kStartup},
    {"QuakeRCON", T::Bool, "0", kOnUse},
    {"SpearheadServer", T::Bool, "0", kOnUse},
    {"WindowsVersion", T::Bool, "0", kStartup},
    {"UDPTimeOut", T::Int, "3", kOnUse},
    {"RconMaxRetry", T::Int, "20", kOnUse},
    {"RconFailSleep", T::Int, "200", kOnUse},
    // Rcon budget: a burst of requests, then so many a minute (0 = no limit)
    {"RconBurst", T::Int, "8", kOnUse},
    {"RconRatePerMinute", T::Int, "60", kOnUse},
    {"Servername", T::String, "Unknown Server", kOnUse},
    {"ConsoleCodePage", T::Int, "0", kOnUse},  // 437: log and status replies are converted
    // Log source
    {"UseSSH", T::Bool, "0", kStartup},
    {"UseFTP", T::Bool, "0", kStartup},
    {"UseDirect", T::Bool, "1", kStartup},
    {"UseNoLog", T::Bool, "0", kStartup},
    {"LocalLogFile", T::String, "", kStartup},
    {"SSHHost", T::Enc, "", kStartup},
    {"SSHPORT", T::String, "22", kStartup},
    {"SSHLOGIN", T::Enc, "", kStartup},
    {"SSHPASSWORD", T::Enc, "", kStartup},
    {"SSHCOMMAND", T::Enc, "", kStartup},
    {"SSHKEYFILE", T::String, "", kStartup},  // private key (.ppk) in place of the password
    {"SSHClient", T::String, "", kStartup},   // the plink program; empty: Data/plink, else PATH
    {"SSHHOSTKEY", T::String, "", kStartup},  // the server's key fingerprint(s): only these are accepted
    {"FTPLOGFILEHost", T::String, "", kStartup},
    {"FTPLOGFILEPort", T::Int, "21", kStartup},
    {"FTPLOGFILEFile", T::String, "", kStartup},
    {"FTPLOGFILELogin", T::String, "", kStartup},
    {"FTPLOGFILEPASS", T::Enc, "", kStartup},
    {"FTPLOGFILETimeOut", T::Int, "1000", kStartup},
    {"FTPLOGFILEPassive", T::Bool, "1", kStartup},
    {"FTPLOGPROXYIP", T::String, "", kStartup},
    {"FTPLOGPROXYPORT", T::Int, "0", kStartup},
    {"FTPLOGPROXYLOGIN", T::String, "", kStartup},
    {"FTPLOGPROXYPASS", T::Enc, "", kStartup},
    {"FTPLOGPROXYMethod", T::Int, "0", kStartup},
    {"LogFileSSHTimeOut", T::Int, "60", kOnUse},
    {"LogFileDirectTimeOut", T::Int, "30", kOnUse},
    {"LogFileFTPTimeOut", T::Int, "240", kOnUse},
    {"RestartOnError", T::Bool, "1", kOnUse},
    {"ErrorRestartTimeOut", T::Int, "60", kOnUse},
    {"ErrorRestartDelay", T::Int, "10", kOnUse},
    // Remote administration server
    {"ServerPort", T::String, "23203", kStartup},
    {"ServerDisabled", T::Bool, "0", kStartup},
    {"ServerCompression", T::Bool, "1", kOnUse},
    {"ACServerPort", T::String, "24203", kStartup},
    {"ACServerDisabled", T::Bool, "0", kStartup},
    // Kicks, bans and protections
    {"MKickRepeat", T::Int, "1", kStartup},
    {"MKickDelay", T::Int, "5", kStartup},
    {"BKickRepeat", T::Int, "1", kStartup},
    {"BKickDelay", T::Int, "-1", kStartup},
    {"BanimmuneNicks", T::String, "\\[Z\\.A\\.Q\\]", kStartup},
    {"BanimmuneIps", T::String, "", kStartup},
    {"OnlyOnePlayerPerIp", T::Bool, "1", kOnUse},
    {"ResetPing", T::Bool, "0", kOnUse},
    {"StatsonlyforthatNick", T::String, "", kStartup},
    // Team kills and team changes
    {"EnableTKDetect", T::Bool, "1", kStartup},
    {"UseTeamMessages", T::Bool, "0", kStartup},
    {"TKDetectMax", T::Int, "3", kStartup},
    {"TKDetectKickDelay", T::Int, "3", kStartup},
    {"TKDetectKickRep", T::Int, "1", kStartup},
    {"TKDetectBanAfterXKicks", T::Int, "2", kStartup},
    {"TKDetectSendWarnings", T::Bool, "1", kStartup},
    {"TKDetectBanTime", T::Int, "30", kStartup},
    {"TKDetectBanIp", T::Bool, "0", kStartup},
    {"TKDetectWarningMessage", T::String, "%playernick% you are TEAMKILLING STOP IT or get KICKED", kStartup},
    {"TKDetectKickMessage", T::String, "%playernick% gets kicked because of TeamKilling", kStartup},
    {"TKDetectBanMessage", T::String, "%playernick% is banned because of TeamKilling", kStartup},
    {"ForgiveTKAfter", T::Int, "10", kStartup},
    {"TKAutoTeamKickMsg", T::String, "%playernick% do nit user AUTOTEAM on this Server", kStartup},
    {"TKAutoTeamKickDelay", T::Int, "3", kStartup},
    {"TKTeamChangeFloodMsg", T::String,
     "%playernick% do not change teams that fast !!!! This is not welcome on this Server", kStartup},
    {"TKTeamChangeFloodTimeDelay", T::Int, "3", kStartup},
    {"TKTeamChangeFloodTimeOut", T::Int, "30", kStartup},
    {"TKUnkownMessage", T::String, "%playernick% you not in a known Team please rejoin youre Team", kStartup},
    {"TKUnkownMessageRep", T::Int, "1", kStartup},
    {"TKUnkownMessageKick", T::String, "%playernick% get kicked because - player in unkown Team", kStartup},
    // Spawn kills
    {"EnableSpawnDetect", T::Bool, "1", kStartup},
    {"SpawnDetectTimeOut", T::Int, "10", kStartup},
    {"SpawnKillMinTime", T::Int, "500", kOnUse},
    {"SpawnDetectMax", T::Int, "3", kStartup},
    {"SpawnDetectKickDelay", T::Int, "3", kStartup},
    {"SpawnDetectKickRep", T::Int, "1", kStartup},
    {"SpawnDetectBanAfterXKicks", T::Int, "2", kStartup},
    {"SpawnDetectSendWarnings", T::Bool, "1", kStartup},
    {"SpawnDetectBanTime", T::Int, "30", kStartup},
    {"SpawnDetectBanIp", T::Bool, "0", kStartup},
    {"SpawnDetectWarningMessage", T::String, "%playernick% you are SPAWN KILLING STOP IT or get KICKED",
     kStartup},
    {"SpawnDetectKickMessage", T::String, "%playernick% gets kicked because of SpawnKilling", kStartup},
    {"SpawnDetectBanMessage", T::String, "%playernick% is banned because of SpawnKilling", kStartup},
    {"ForgiveSpawnAfter", T::Int, "10", kStartup},
    // Sprees
    {"KillingSpringDetect", T::Bool, "1", kStartup},
    {"KillingSpringResetonNewRound", T::Bool, "1", kStartup},
    {"LoosingSpringDetect", T::Bool, "1", kStartup},
    {"LoosingSpringResetonNewRound", T::Bool, "1", kStartup},
    // Ping, skins and weapons
    {"PingCheckEnabled", T::Bool, "1", kStartup},
    {"PingMessure", T::Int, "10", kStartup},
    {"PingTime", T::Int, "3000", kStartup},
    {"PingTimeMin", T::Int, "-1", kStartup},
    {"PingMessage", T::String,
     "%playernick% gets kicked because a high ping for a long time (Ping: %playerping%)", kStartup},
    {"PingMessageMin", T::String,
     "%playernick% gets kicked because a to low ping for a long time (Ping: %playerping%)", kStartup},
    {"PingIgnore", T::String, "127\\.0\\.0\\.1|192\\.168\\.|10\\.", kStartup},
    {"PingIgnoreNick", T::String, "", kStartup},
    {"EnableSkinDetect", T::Bool, "1", kStartup},
    {"SkinOnlyDetect", T::Bool, "0", kStartup},
    {"ScanSkinsallXSeconds", T::Int, "120", kStartup},
    {"SkinKickMsg", T::String, "%playernick% get kicked because of a banned Skin - %skin% - %side%",
     kStartup},
    {"SkinKickDelay", T::Int, "120", kStartup},
    {"EnableWeaponDetect", T::Bool, "1", kStartup},
    // Sorted by the game's obituary phrases, as the kill line reads once
    // both names are out of it (" was sniped by  in the head").
    {"WeaponRegExprunknown", T::String, ".*", kStartup},
    {"WeaponRegExprRifle", T::String, "was rifled by", kStartup},
    {"WeaponRegExprSniper", T::String, "was sniped by", kStartup},
    {"WeaponRegExprSub Machinegun", T::String, "was perforated by", kStartup},
    {"WeaponRegExprMachine Gun", T::String, "was machine-gunned by", kStartup},
    {"WeaponRegExprRocket", T::String, "took .*'s rocket (right in the kisser|in the face)", kStartup},
    {"WeaponRegExprShotgun", T::String, "was hunted down by|was pumped full of buckshot by", kStartup},
    {"WeaponRegExprGrenade", T::String, "tripped on .*'s grenade|is picking .*'s shrapnel out of his teeth",
     kStartup},
    {"WeaponRegExprPistol", T::String, "was gunned down by", kStartup},
    // Messages, chat commands and bad words
    {"FilterMessagesSend", T::Bool, "1", kOnUse},
    {"FilterMessagesSendMaxCount", T::Int, "10", kOnUse},
    {"FilterMessagesSendMaxOccured", T::Int, "2", kOnUse},
    {"StopEventMessage", T::Bool, "0", kOnUse},
    {"ChatCommandTimeout", T::Int, "5", kOnUse},
    {"ChatCommandEnableHelp", T::Bool, "1", kOnUse},
    {"ChatCommandEnableKick", T::Bool, "1", kOnUse},
    {"ChatCommandEnableConsoleCommand", T::Bool, "1", kOnUse},
    {"ChatCommandEnableConsoleChatCommand", T::Bool, "1", kOnUse},
    {"ChatCommandEnableSkills", T::Bool, "1", kOnUse},
    {"ChatCommandEnableNick", T::Bool, "1", kOnUse},
    {"ChatCommandEnableStats", T::Bool, "1", kOnUse},
    {"ChatCommandEnableIP", T::Bool, "1", kOnUse},
    {"UserStatsTimeOut", T::Int, "60", kOnUse},
    {"ChatCommandEnableStatshasKilled", T::Bool, "1", kOnUse},
    {"ChatCommandEnableStatsOther", T::Bool, "1", kOnUse},
    {"ChatCommandEnableStatsSpree", T::Bool, "1", kOnUse},
    {"ChatCommandEnableStatsSpecialLine", T::String, "", kOnUse},
    {"ChatCommandEnableACUser", T::Bool, "1", kOnUse},
    {"ChatCommandEnableACConnect", T::Bool, "1", kOnUse},
    {"ChatCommandEnableACKick", T::Bool, "1", kOnUse},
    {"BadWords", T::String, "", kOnUse},
    {"BadWordKickCount", T::Int, "3", kOnUse},
    {"BadWordBanCount", T::Int, "2", kOnUse},
    {"BadWordBanTime", T::Int, "-1", kOnUse},
    {"BadWordWarning", T::String, "%playernick% dont use bad Words or get kicked", kOnUse},
    {"BadWordKick", T::String, "%playernick% get kicked because of bad Words", kOnUse},
    {"BadWordBan", T::String, "%playernick% is banned because bad Words", kOnUse},
    // Statistics, saving and polling
    {"ScoreFormular", T::String, KV_SCORE_FORMULA, kStartup},
    {"ReportDir", T::String, "", kOnUse, THomeDefault::ReportDir},
    {"StatsReportInterval", T::Int, "0", kStartup},
    {"SaveTimer", T::Int, "10", kStartup},
    {"UserRefrestTimer", T::Int, "3", kOnUse},
    {"UserCacheTimeOut", T::Int, "120", kOnUse},
    // Category log files (the 33 switches follow the server state's order)
    {"Logbasedir", T::String, "", kStartup, THomeDefault::LogDir},
    {"LogChat", T::Bool, "0", kStartup},
    {"LogKicks", T::Bool, "0", kStartup},
    {"LogKills", T::Bool, "0", kStartup},
    {"LogGlobalMapChange", T::Bool, "0", kStartup},
    {"LogUserMapChange", T::Bool, "0", kStartup},
    {"LogNewBans", T::Bool, "0", kStartup},
    {"LogBanDeleted", T::Bool, "0", kStartup},
    {"LogBanMatch", T::Bool, "0", kStartup},
    {"LogGeneration", T::Bool, "0", kStartup},
    {"LogSSH", T::Bool, "0", kStartup},
    {"LogRcon", T::Bool, "0", kStartup},
    {"LogAllOtherEvents", T::Bool, "0", kStartup},
    {"LogServiceEvents", T::Bool, "0", kStartup},
    {"LogHandeled", T::Bool, "0", kStartup},
    {"LogUnhandeled", T::Bool, "0", kStartup},
    {"LogRemoteCommands", T::Bool, "0", kStartup},
    {"LogNewUser", T::Bool, "0", kStartup},
    {"LogUserBack", T::Bool, "0", kStartup},
    {"LogWenfOffline", T::Bool, "0", kStartup},
    {"LogNickChange", T::Bool, "0", kStartup},
    {"LogGlobalMessages", T::Bool, "0", kStartup},
    {"LogMessagesSendToServer", T::Bool, "0", kStartup},
    {"LogRemoteConnection", T::Bool, "0", kStartup},
    {"LogACCommand", T::Bool, "0", kStartup},
    {"LogACConnected", T::Bool, "0", kStartup},
    {"LogACDisconnected", T::Bool, "0", kStartup},
    {"LogACUserRconLog", T::Bool, "0", kStartup},
    {"LogACReport", T::Bool, "0", kStartup},
    {"LogACCheckACUser", T::Bool, "0", kStartup},
    {"LogACClientKick", T::Bool, "0", kStartup},
    {"LogAddTimeStamp", T::Bool, "0", kStartup},
    {"LogDelFilesOnRestart", T::Bool, "0", kStartup},
    // Start-up and windows
    {"StartOnStartup", T::Bool, "0", kOnUse},
    {"IconifyOnStartup", T::Bool, "0", kOnUse},
    {"StartupWithOutLogo", T::Bool, "0", kOnUse},
    {"NoRefreshifhidden", T::Bool, "0", kStartup},
    {"ChatMAXLINES", T::Int, "200", kOnUse},
    {"lastxlines", T::Int, "100", kStartup},
    {"ShowDebug", T::Bool, "0", kOnUse},
    {"EVENTLISTMAXLINES", T::Int, "200", kOnUse},
    {"RCONMAXLINES", T::Int, "200", kOnUse},
    {"SSHMAXLINES", T::Int, "200", kOnUse},
    {"LogCategories", T::String, "", kOnUse},
    {"MarkEvent", T::String, "", kOnUse},
    {"MarkPlayer1", T::String, "", kOnUse},
    {"MarkPlayer2", T::String, "", kOnUse},
    {"MarkWeapon", T::String, "", kOnUse},
    {"MarkDiscription", T::String, "", kOnUse},
    {"MarkTime", T::String, "", kOnUse},
    {"MarkColor", T::Int, "255", kOnUse},
    {"SupressEvent", T::String, "", kOnUse},
    {"SupressPlayer1", T::String, "", kOnUse},
    {"SupressPlayer2", T::String, "", kOnUse},
    {"SupressWeapon", T::String, "", kOnUse},
    {"SupressDiscription", T::String, "", kOnUse},
    {"SupressTime", T::String, "", kOnUse},
    // Update service
    {"UpdateBaseUrl", T::String, "http://update.kelvandrome.invalid/Kelvandrome-Version.list", kOnUse},
    {"UpdateUser", T::String, "", kOnUse},
    {"UpdatePass", T::Enc, "", kOnUse},
    {"CheckUpdateOnStartup", T::Bool, "1", kOnUse},
    {"CheckUpdatePeriodic", T::Bool, "1", kOnUse},
    {"ProxyIp", T::String, "", kOnUse},
    {"ProxyPort", T::String, "", kOnUse},
    {"ProxyUser", T::String, "", kOnUse},
    {"ProxyPass", T::Enc, "", kOnUse},
};

#undef KV_SCORE_FORMULA

bool StrictBase64(std::string_view s) {
  if (s.size() % 4 != 0) return false;
  size_t pad = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '=') {
      ++pad;
      continue;
    }
    const bool alpha =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!alpha || pad > 0) return false;  // "=" only at the end
  }
  return pad <= 2;
}

}  // namespace

std::span<const TSettingDef> SettingsCatalogue() { return kCatalogue; }

const TSettingDef* FindSetting(std::string_view key) {
  // Keys are looked up at every use (each rcon request, each message): an
  // index by the key in lower case instead of a walk through the table.
  static const std::unordered_map<std::string, const TSettingDef*> index = [] {
    std::unordered_map<std::string, const TSettingDef*> m;
    for (const auto& d : kCatalogue) m.emplace(AnsiLowerCase(d.key), &d);
    return m;
  }();
  const auto it = index.find(AnsiLowerCase(key));
  return it == index.end() ? nullptr : it->second;
}

namespace {

const TSettingDef& CheckedDef(std::string_view key, TSettingType type) {
  const TSettingDef* d = FindSetting(key);
  if (!d) throw std::logic_error("setting not in the catalogue: " + std::string(key));
  if (d->type != type || d->home_default != THomeDefault::None)
    throw std::logic_error("setting read with another type: " + std::string(key));
  return *d;
}

int32_t IntDefault(const TSettingDef& d) {
  int64_t v = 0;
  regional::TryStrToInt(d.def, v);
  return static_cast<int32_t>(v);
}

}  // namespace

int32_t SettingInt(std::string_view key) {
  const int32_t def = IntDefault(CheckedDef(key, T::Int));
  return HasConfig() ? Config().GetIntegerDef(key, def) : def;
}

bool SettingBool(std::string_view key) {
  const bool def = CheckedDef(key, T::Bool).def == "1";
  return HasConfig() ? Config().GetBoolDef(key, def) : def;
}

std::string SettingString(std::string_view key) {
  const std::string_view def = CheckedDef(key, T::String).def;
  return HasConfig() ? Config().GetStringDef(key, def) : std::string(def);
}

std::string SettingDefaultText(const TSettingDef& def, const std::filesystem::path& home) {
  switch (def.home_default) {
    case THomeDefault::LogDir: return (home / "Logs").string() + "/";
    case THomeDefault::ReportDir: return (home / "Stats").string();
    case THomeDefault::None: break;
  }
  return std::string(def.def);
}

size_t StoreMissingSettings(TDynamicConfigData& config, const std::filesystem::path& home) {
  std::vector<TConfigDefault> defaults;
  defaults.reserve(std::size(kCatalogue));
  for (const TSettingDef& d : kCatalogue) {
    const std::string text = SettingDefaultText(d, home);
    switch (d.type) {
      case T::Int: {
        int64_t v = 0;
        regional::TryStrToInt(text, v);
        defaults.push_back({std::string(d.key), vtInteger, TVariant(static_cast<int32_t>(v))});
        break;
      }
      case T::Bool: defaults.push_back({std::string(d.key), vtBoolean, TVariant(text == "1")}); break;
      case T::String:
      case T::Enc: defaults.push_back({std::string(d.key), vtString, TVariant(text)}); break;
    }
  }
  return config.StoreMissing(defaults);
}

std::string EncipherSetting(std::string_view plain) {
  return plain.empty() ? std::string() : EncipherText(TCipherPurpose::Settings, plain);
}

std::string DecipherSetting(std::string_view stored) {
  if (stored.empty()) return {};
  // The Base64 decoder forgives anything; a stored secret must be exactly
  // what EncipherSetting wrote, so a hand-typed plain value is refused
  // instead of being used as garbage.
  if (!StrictBase64(stored)) throw ECfgError("Der Wert ist nicht verschl\xFCsselt");
  std::string plain = DecipherText(TCipherPurpose::Settings, stored);
  // Host names, logins, passwords and commands hold no control characters;
  // finding one means the value was enciphered with another pass phrase.
  for (const unsigned char c : plain)
    if (c < 0x20) throw ECfgError("Der Wert l\xE4sst sich nicht entschl\xFCsseln");
  return plain;
}

const TSettingDef& TSettings::Def(std::string_view key, TSettingType type) const {
  const TSettingDef* d = FindSetting(key);
  if (!d) throw std::logic_error("setting not in the catalogue: " + std::string(key));
  if (d->type != type) throw std::logic_error("setting read with another type: " + std::string(key));
  return *d;
}

std::string TSettings::String(std::string_view key) {
  return config_.GetStringDef(key, SettingDefaultText(Def(key, T::String), home_));
}

int32_t TSettings::Int(std::string_view key) {
  int64_t def = 0;
  regional::TryStrToInt(Def(key, T::Int).def, def);
  return config_.GetIntegerDef(key, static_cast<int32_t>(def));
}

bool TSettings::Bool(std::string_view key) { return config_.GetBoolDef(key, Def(key, T::Bool).def == "1"); }

std::string TSettings::Enc(std::string_view key) {
  return DecipherSetting(config_.GetStringDef(key, Def(key, T::Enc).def));
}

std::string TSettings::EncOrEmpty(std::string_view key) {
  try {
    return Enc(key);
  } catch (const ECfgError&) {
    return {};
  }
}

void TSettings::SetEnc(std::string_view key, std::string_view plain) {
  Def(key, T::Enc);
  config_.SetString(key, EncipherSetting(plain));
}

}  // namespace kv
