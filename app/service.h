// The running service: owns the core runtime (main loop, bus hub,
// configuration store, server state) of one home directory, and tears it
// down in reverse order.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/lifecycle.h"
#include "core/bus_hub.h"
#include "core/bus_monitor.h"
#include "core/bus_subscription.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "core/mainloop.h"
#include "core/threads.h"
#include "domain/runtime.h"
#include "domain/serverinfo.h"
#include "domain/settings.h"
#include "domain/subsystem.h"
#include "formats/config.h"
#include "gamelink/logparser.h"

namespace kv {

struct TServiceOptions {
  std::string home;                  // absolute home directory
  std::ostream* terminal = nullptr;  // where "GLOBAL" messages are printed; none when null
};

class TJournalSubsystem;
class TLifecycleSubsystem;
class TStatusPollSubsystem;
class TKickThreadList;
class THistoryUserList;
class TMohaaConfigList;
class TPlayerChecks;
class TWeaponClassSubsystem;
class TRemoteAdminSubsystem;
class TLogFollower;

// Adds parts to the service's subsystem list; runs inside Open, once the
// runtime exists.
using TSubsystemFactory = std::function<void(TRuntime& runtime, TSubsystemList& list)>;

class TKelvandromeService {
 public:
  explicit TKelvandromeService(TServiceOptions options);
  ~TKelvandromeService();
  TKelvandromeService(const TKelvandromeService&) = delete;
  TKelvandromeService& operator=(const TKelvandromeService&) = delete;

  // Parts added to the list by the caller (player tracking, bans, kicks):
  // each factory runs in Open, in the order given, and its parts take their
  // place after the service's rcon reply parser and console messages and
  // before the status poll and the log followers, so they are open (and
  // started) before the first line or poll reaches them, and closed after
  // the followers and the poll have stopped but before the final save.
  // Before Open; main thread.
  void AddSubsystems(TSubsystemFactory factory) { factories_.push_back(std::move(factory)); }

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
  TServiceLifecycle& Lifecycle();
  // While open: the shared objects and the ordered parts.
  TRuntime& Runtime() { return *runtime_; }
  TSubsystemList& Subsystems() { return *subsystems_; }
  // The player checks (the skin check list for the remote administration);
  // nullptr before Open. Its skin lists are safe from any thread.
  TPlayerChecks* Checks() { return checks_; }
  TDataFileRegistry& Registry() { return registry_; }
  // The server configuration sets (the remote administration's list,
  // change and activation operations); after Open. Thread-safe.
  TMohaaConfigList& ConfigList() { return *configs_; }
  TDynamicConfigData& ConfigData() { return *config_; }
  const std::string& Home() const { return options_.home; }

 private:
  void OpenSteps();
  std::string SetupPath(const std::string& file) const;
  void StartTerminal();
  void StartExceptionLog();
  void CreateRuntime();
  void BuildSubsystems();
  void ApplyLoaded(const TLoadedSettings& loaded);
  // Every part reads the settings store again (a configuration set switched
  // some of them). On the main loop.
  void ReapplySettings();
  bool LoadConfigNow();
  bool SaveConfigNow();
  std::unique_ptr<TLogFollower> MakeFileFollower();
  std::unique_ptr<TLogEventChecker> MakeLogParser();
  // Runs fn on the main loop and waits (inline when already there).
  void OnLoop(const std::function<void()>& fn);

  TServiceOptions options_;
  TMainLoop loop_;
  TCommandTable commands_{loop_};
  std::unique_ptr<TConfigFile> config_file_;
  std::unique_ptr<TDynamicConfigData> config_;
  std::shared_ptr<TMsgMonitorInterface> hub_;
  bool own_hub_ = false;  // this service made the hub (and stops it)
  TThreadPtr<TMsgMonitor> terminal_;
  TBusSubscription terminal_subscription_;  // of terminal_: ends before it
  TThreadPtr<TFileMonitor> exception_log_;
  TBusSubscription exception_log_subscription_;
  std::unique_ptr<TMohaaServerInfo> server_info_;
  TDataFileRegistry registry_;
  std::unique_ptr<TRuntime> runtime_;
  // The last load's groups; those whose owners do not exist yet wait here.
  TLoadedSettings loaded_settings_;
  std::vector<TSubsystemFactory> factories_;
  // Declared after what the parts refer to: the list goes first.
  std::unique_ptr<TSubsystemList> subsystems_;
  // Parts of the list the service itself talks to (owned by the list).
  TLifecycleSubsystem* lifecycle_ = nullptr;
  TStatusPollSubsystem* status_poll_ = nullptr;
  TKickThreadList* kicks_ = nullptr;     // the kick registry, for the rules that kick
  THistoryUserList* tracker_ = nullptr;  // live player tracking
  TMohaaConfigList* configs_ = nullptr;  // the server configuration sets
  TPlayerChecks* checks_ = nullptr;      // ping, skin, team-change and bad-word checks
  TWeaponClassSubsystem* weapons_ = nullptr;
  TRemoteAdminSubsystem* remote_admin_ = nullptr;  // accounts and the remote server
  bool open_ = false;
};

// A reply made fit for the terminal: control bytes other than line ends and
// tabs removed (8-bit text, still Windows-1252).
std::string TerminalText(const std::string& reply);
// One line as the terminal shows it: date and time, level name, text (UTF-8).
std::string TerminalLine(double time, uint8_t level, const std::string& text);

}  // namespace kv
