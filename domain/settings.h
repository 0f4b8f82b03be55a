// The settings catalogue: every INI key with its type and default, made of
// the tables their owners register (each part's rows, plus the rows whose
// owner is not built yet: settings_unowned.cpp); the loader that reads the
// start-up keys into the server state and loads the data files
// (LoadAllSettings), and the periodic save of all data (SaveAllData).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/datafiles.h"
#include "domain/domain.h"
#include "domain/serverinfo.h"
#include "domain/settings_reader.h"
#include "formats/config.h"

namespace kv {

// enc: a text stored enciphered with the settings pass phrase as Base64.
enum class TSettingType { String, Int, Bool, Enc };

// Defaults that depend on the home directory.
enum class THomeDefault { None, LogDir, ReportDir };

struct TSettingDef {
  std::string_view key;
  TSettingType type;
  std::string_view def;  // the default as the INI holds it ("1"/"0" for booleans)
  bool startup;          // read into the running objects by LoadAllSettings
  THomeDefault home_default = THomeDefault::None;
};
// The "startup" of a row as the tables spell it.
inline constexpr bool kStartup = true;
inline constexpr bool kOnUse = false;

// Where a table's rows stand in the INI file, in the file's order. A fresh
// INI lists the keys place by place (tables of one place in the order they
// were registered), so the file keeps its layout whichever part owns which
// rows, and a part that moves its rows keeps their place.
enum class TSettingPlace : uint8_t {
  GameServer,     // the game server and rcon
  LogSource,      // which log the service follows
  SshSource,      // the SSH log source
  FtpSource,      // the FTP log source
  LogWatch,       // the followers' time-outs and the restart rule
  RemoteAdmin,    // the remote-administration servers
  Kicks,          // kick repetitions and delays
  BanWatch,       // ban immunity
  Identity,       // the tracker's rules of who may play: one per address, stats nick
  PlayerRules,    // per-player rules: team kills
  TeamChanges,    // per-player rules: automatic team joins, team-change floods
  KillRules,      // per-player rules: players in no known team, spawn kills, sprees
  PingAndSkins,   // the ping and skin checks
  WeaponClasses,  // the nine weapon-class expressions
  ConsoleFilter,  // the flood filter of console messages
  EventMessages,  // the event messages' switch
  Messages,       // chat commands, the bad-word list
  BadWordRules,   // what bad words cost: warnings, kicks, bans
  Statistics,     // score formula and reports
  AutoSave,       // the AutoSave timer
  StatusPoll,     // the player-list refresh
  PlayerCache,    // the player cache
  Journals,       // the category journals
  Startup,        // what the service does when it starts
  Windows,        // operator console views
  Update,         // the update service
};

// One owner's rows at one place. Owners keep their tables static: the
// catalogue refers to them for the rest of the process.
struct TSettingRows {
  TSettingPlace place;
  std::span<const TSettingDef> rows;
};

// Adds an owner's tables to the catalogue (the subsystem list does it for
// each part's SettingRows()). A table added before is skipped, so every
// service of a process may add its parts' tables. A key that another table
// holds already is a programming error (std::logic_error). The catalogue
// holds constant tables only, so one serves the whole process. Any thread.
void RegisterSettingRows(std::span<const TSettingRows> tables);
// The rows whose owners are not built yet; always in the catalogue. When an
// owner is built, it takes its rows out of this table into its own.
std::span<const TSettingRows> NotYetOwnedSettingRows();

// Every registered row in INI order.
std::vector<std::reference_wrapper<const TSettingDef>> SettingsCatalogue();
// The entry of a key (letter case ignored), or nullptr when no registered
// table holds it. Any thread.
const TSettingDef* FindSetting(std::string_view key);
// The default text of an entry, with home-relative defaults resolved.
std::string SettingDefaultText(const TSettingDef& def, const std::filesystem::path& home);
// Writes every catalogue key the INI lacks, in one rewrite of the file (none
// when nothing is missing): with the value a reader already used, else the
// catalogue's default. Throws when the file cannot be written; the values
// are in use all the same. Returns the number of keys written.
size_t StoreMissingSettings(TDynamicConfigData& config, const std::filesystem::path& home);

// Enciphered values. An empty value stays empty. DecipherSetting throws
// ECfgError when the stored text is no well-formed Base64 or does not
// decipher to a plain text (a hand-typed plain value, another pass phrase).
std::string EncipherSetting(std::string_view plain);
std::string DecipherSetting(std::string_view stored);

// Typed reads and writes of catalogue keys through the configuration
// store, with the catalogue's default. A key outside the catalogue is a
// programming error (std::logic_error). Any thread.
class TSettings {
 public:
  TSettings(TDynamicConfigData& config, std::filesystem::path home)
      : config_(config), home_(std::move(home)) {}
  std::string String(std::string_view key);
  int32_t Int(std::string_view key);
  bool Bool(std::string_view key);
  // Throws ECfgError when the stored value cannot be deciphered.
  std::string Enc(std::string_view key);
  // A damaged value reads as empty text (the fallback of a text).
  std::string EncOrEmpty(std::string_view key);
  void SetEnc(std::string_view key, std::string_view plain);
  TDynamicConfigData& Config() { return config_; }
  const std::filesystem::path& Home() const { return home_; }

 private:
  const TSettingDef& Def(std::string_view key, TSettingType type) const;
  TDynamicConfigData& config_;
  std::filesystem::path home_;
};

// Window-only and desktop-only keys: read where the loader always read
// them so the INI lists them, and kept for the operator console.
struct TOperatorInterfaceSettings {
  bool no_refresh_if_hidden = false;
  int32_t last_x_lines = 100;
};

struct TPingSettings {
  bool check_enabled = true;
  int32_t measure_count = 10;
  int32_t time_max = 3000;
  int32_t time_min = -1;
  std::string message, message_min, ignore, ignore_nick;
};

struct TSpreeSwitches {
  bool killing_detect = true, killing_reset_on_new_round = true;
  bool losing_detect = true, losing_reset_on_new_round = true;
};

// Everything LoadAllSettings read, one group per owner: the loader
// publishes the connection and kick groups in the server state, the service
// hands the others to their owners (and keeps those whose owners do not
// exist yet).
struct TLoadedSettings {
  TRconSettings rcon;
  TKickSettings kicks;
  TLogDialectSettings dialect;
  TLogSourceSettings log_source;
  TJournalSettings journals;
  TRemoteAdminSettings remote_admin;
  TProtectionSettings protections;
  int64_t auto_save_interval_ms = 0;   // 0: the AutoSave timer stays off
  int64_t auto_stats_interval_ms = 0;  // 0: the AutoStats timer stays off
  TOperatorInterfaceSettings ui;
  TPingSettings ping;
  TSpreeSwitches sprees;
  std::array<std::string, kWeaponClassCount>
      weapon_class_exprs;  // keys "WeaponRegExpr" + kWeaponClassNames[i]
  // Empty when every data file loaded; otherwise a line break followed by
  // one line (line break, label, message) per failed step.
  std::string error;
  // Why the INI could not be written (missing defaults, written-back log
  // source or log directory); empty when it was. Loading goes on regardless.
  std::string not_saved;
};

inline constexpr const char* kStatusConfigLoaded = "Config Loaded";
inline constexpr const char* kStatusConfigSaved = "Config Saved";

// The collected load error; carries what was loaded so the caller can still
// set its timers.
class ESettingsLoadError : public std::runtime_error {
 public:
  explicit ESettingsLoadError(TLoadedSettings loaded)
      : std::runtime_error(loaded.error), loaded_(std::move(loaded)) {}
  const TLoadedSettings& Loaded() const { return loaded_; }

 private:
  TLoadedSettings loaded_;
};

// Writes the missing keys (StoreMissingSettings), reads every start-up key
// through `config` into the result, creates home/Data and loads the data
// files in the catalogue's order, each failure collected under its label
// while the rest still loads. A group of enciphered keys that fails part-way
// keeps the rest of `previous` (the last load's result). Sets the server's
// host and publishes the rcon and kick groups in `info`. Throws
// ESettingsLoadError when a file failed; an INI that cannot be written only
// fills `not_saved`. Main loop thread.
TLoadedSettings LoadAllSettings(const std::filesystem::path& home, TDynamicConfigData& config,
                                TMohaaServerInfo& info, const TDataFileRegistry& registry,
                                const TLoadedSettings& previous = {});

// Writes every data file (each atomically) and the keys that change outside
// the setup dialogs. A file that cannot be written does not stop the others:
// the failures are raised together at the end (ECfgError, one line per
// file). Main loop thread.
void SaveAllData(const std::filesystem::path& home, TDynamicConfigData& config,
                 const TProtectionSettings& protections, const TDataFileRegistry& registry,
                 const TOperatorInterfaceSettings& ui);

// The journals' switches and directory as the INI holds them (an empty
// directory is the home's "Logs"). Writes nothing.
TJournalSettings ReadJournalSettings(TSettings& settings);

// SaveTimer x 60,000 ms (0 when off); re-read after a timer-driven save.
int64_t ReadAutoSaveIntervalMs(TDynamicConfigData& config);

}  // namespace kv
