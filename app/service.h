// The running service: owns the core runtime (main loop, bus hub,
// configuration store, server state) of one home directory, and tears it
// down in reverse order.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "core/bus_hub.h"
#include "core/bus_monitor.h"
#include "core/config.h"
#include "core/mainloop.h"
#include "core/serverinfo.h"
#include "core/threads.h"
#include "app/lifecycle.h"
#include "core/logwriter.h"
#include "gamelink/userinfo.h"

namespace kv {

struct TServiceOptions {
  std::string home;            // absolute home directory
  std::ostream* terminal = nullptr;  // where "GLOBAL" messages are printed; none when null
};

class TKelvandromeService {
 public:
  explicit TKelvandromeService(TServiceOptions options);
  ~TKelvandromeService();
  TKelvandromeService(const TKelvandromeService&) = delete;
  TKelvandromeService& operator=(const TKelvandromeService&) = delete;

  // Creates the home directory's folders and the core objects, in order.
  // Throws with a one-line reason when the home cannot be used. Main thread.
  void Open();
  // Runs the main loop on the calling thread until RequestStop.
  void Run();
  // Any thread (signal watcher included): ends Run.
  void RequestStop();

  // The operator's service commands; any thread (they run on the main loop).
  void StartService();
  void StopService();
  bool IsRunning();
  // Handles one command line of the terminal ("start", "stop", "quit");
  // returns the answer to print.
  std::string TerminalCommand(const std::string& line);
  // Reverse of Open; idempotent. Main thread, after Run returned.
  void Close();

  TMainLoop& Loop() { return loop_; }
  TMohaaServerInfo& ServerInfo() { return *server_info_; }
  TServiceLifecycle& Lifecycle() { return *lifecycle_; }
  TDynamicConfigData& ConfigData() { return *config_; }
  const std::string& Home() const { return options_.home; }

 private:
  void StartTerminal();
  void StartExceptionLog();
  // Runs fn on the main loop and waits (inline when already there).
  void OnLoop(const std::function<void()>& fn);

  TServiceOptions options_;
  TMainLoop loop_;
  std::unique_ptr<TConfigFile> config_file_;
  std::unique_ptr<TDynamicConfigData> config_;
  std::shared_ptr<TMsgMonitorInterface> hub_;
  TThreadPtr<TMsgMonitor> terminal_;
  TThreadPtr<TFileMonitor> exception_log_;
  std::unique_ptr<TMohaaServerInfo> server_info_;
  std::unique_ptr<TLogWriter> log_writer_;
  TThreadPtr<TUserInfoThread> user_info_;
  std::unique_ptr<TServiceLifecycle> lifecycle_;
  bool open_ = false;
};

// One line as the terminal shows it: date and time, level name, text (UTF-8).
std::string TerminalLine(double time, uint8_t level, const std::string& text);

}  // namespace kv
