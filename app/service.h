// The running service: owns the core runtime (main loop, bus hub,
// configuration store, server state) of one home directory, and tears it
// down in reverse order.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "app/lifecycle.h"
#include "core/bus_hub.h"
#include "core/bus_monitor.h"
#include "core/bus_subscription.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "core/mainloop.h"
#include "core/threads.h"
#include "domain/serverinfo.h"
#include "domain/settings.h"
#include "enforcement/weapon_classes.h"
#include "formats/config.h"
#include "gamelink/logparser.h"
#include "gamelink/userinfo.h"
#include "reporting/logwriter.h"

namespace kv {

struct TServiceOptions {
  std::string home;                  // absolute home directory
  std::ostream* terminal = nullptr;  // where "GLOBAL" messages are printed; none when null
};

class TKelvandromeService {
 public:
  explicit TKelvandromeService(TServiceOptions options);
  ~TKelvandromeService();
  TKelvandromeService(const TKelvandromeService&) = delete;
  TKelvandromeService& operator=(const TKelvandromeService&) = delete;

  // Creates the home directory's folders and the core objects, in order.
  // Throws with a one-line reason when the home cannot be used, after
  // undoing what was created. An INI that cannot be written is reported on
  // the bus and the service runs. Main thread.
  void Open();
  // Runs the main loop on the calling thread until RequestStop.
  void Run();
  // Any thread (signal watcher included): ends Run.
  void RequestStop();

  // The operator's service commands; any thread (they run on the main loop).
  void StartService();
  void StopService();
  bool IsRunning();
  // "save Config" and "load Config": every data file and the keys that
  // change at run time / every setting and data file. Errors are posted as
  // critical "GLOBAL" messages; the return value says whether all went well.
  bool SaveConfig();
  bool LoadConfig();
  // The setup export file (relative paths are taken from the home; a name
  // without an extension gets ".KVSetup"). Import then stores the imported
  // settings in the INI, saves every data file and loads the settings again,
  // so that the running service and its files hold the import. Return the
  // answer for the operator. Any thread (they run on the main loop).
  std::string ExportSetupFile(const std::string& file);
  std::string ImportSetupFile(const std::string& file);
  // Handles one command line of the terminal ("start", "stop", "quit")
  // through the command table; returns the answer to print (UTF-8). The
  // terminal reader's thread.
  std::string TerminalCommand(const std::string& line);
  // The operator commands: the service's own, and those of its parts.
  TCommandTable& Commands() { return commands_; }
  // Reverse of Open; idempotent. Main thread, after Run returned.
  void Close();

  TMainLoop& Loop() { return loop_; }
  TMohaaServerInfo& ServerInfo() { return *server_info_; }
  TServiceLifecycle& Lifecycle() { return *lifecycle_; }
  TDataFileRegistry& Registry() { return registry_; }
  TDynamicConfigData& ConfigData() { return *config_; }
  const std::string& Home() const { return options_.home; }

 private:
  void OpenSteps();
  std::string SetupPath(const std::string& file) const;
  void StartTerminal();
  void StartExceptionLog();
  void ApplyLoaded(const TLoadedSettings& loaded);
  bool LoadConfigNow();
  bool SaveConfigNow();
  void SetAutoSave(int64_t interval_ms);
  std::unique_ptr<TLogFollower> MakeFileFollower();
  std::unique_ptr<TLogEventChecker> MakeLogParser();
  void ParseRconReply(const std::string& reply);
  // Runs fn on the main loop and waits (inline when already there).
  void OnLoop(const std::function<void()>& fn);

  TServiceOptions options_;
  TMainLoop loop_;
  TCommandTable commands_{loop_};
  std::unique_ptr<TConfigFile> config_file_;
  std::unique_ptr<TDynamicConfigData> config_;
  std::shared_ptr<TMsgMonitorInterface> hub_;
  TThreadPtr<TMsgMonitor> terminal_;
  TBusSubscription terminal_subscription_;  // of terminal_: ends before it
  TThreadPtr<TFileMonitor> exception_log_;
  TBusSubscription exception_log_subscription_;
  std::unique_ptr<TMohaaServerInfo> server_info_;
  std::unique_ptr<TLogWriter> log_writer_;
  TThreadPtr<TUserInfoThread> user_info_;
  TDataFileRegistry registry_;
  // The last load's groups; those whose owners do not exist yet wait here.
  TLoadedSettings loaded_settings_;
  TWeaponClassifier classifier_;
  // Guards rcon_parser_. Not a leaf: the parser posts events and reads the
  // current player list under it (docs/ARCHITECTURE.md, lock order).
  std::mutex rcon_parser_mutex_;
  std::unique_ptr<TServerLogEventChecker> rcon_parser_;
  TTimerHandle auto_save_timer_;
  int64_t auto_save_ms_ = 0;
  std::unique_ptr<TServiceLifecycle> lifecycle_;
  bool open_ = false;
  bool loaded_ = false;  // the settings and data files were loaded
};

// A reply made fit for the terminal: control bytes other than line ends and
// tabs removed (8-bit text, still Windows-1252).
std::string TerminalText(const std::string& reply);
// One line as the terminal shows it: date and time, level name, text (UTF-8).
std::string TerminalLine(double time, uint8_t level, const std::string& text);

}  // namespace kv
