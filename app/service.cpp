#include "app/service.h"

#include <filesystem>
#include <iostream>
#include <mutex>

#include "app/version.h"
#include "core/clock.h"
#include "core/cp1252.h"
#include "core/events.h"
#include "core/regional.h"
#include "gamelink/rcon.h"

namespace kv {

namespace fs = std::filesystem;

std::string TerminalLine(double time, uint8_t level, const std::string& text) {
  return Cp1252ToUtf8(regional::DateToStr(time) + " " + regional::TimeToStr(time) + " " + LevelName(level) +
                      " " + text);
}

TKelvandromeService::TKelvandromeService(TServiceOptions options) : options_(std::move(options)) {}

TKelvandromeService::~TKelvandromeService() { Close(); }

void TKelvandromeService::Open() {
  const fs::path home(options_.home);
  std::error_code ec;
  for (const char* sub : {"", "Data", "Logs", "Temp", "Stats"}) {
    fs::create_directories(home / sub, ec);
    if (ec) throw std::runtime_error("cannot create " + (home / sub).string() + ": " + ec.message());
  }
  config_file_ = std::make_unique<TConfigFile>((home / "kelvandrome.ini").string());
  config_ = std::make_unique<TDynamicConfigData>(config_file_.get());
  SetConfig(config_.get());
  SetMainLoop(&loop_);
  hub_ = TMsgMonitorInterface::Create(&loop_);
  StartExceptionLog();
  RegisterSystemCategories();
  StartTerminal();
  server_info_ = std::make_unique<TMohaaServerInfo>();
  server_info_->log_switches[lsGlobalMessages] = config_->GetBoolDef("LogGlobalMessages", false);
  std::string log_dir = config_->GetStringDef("Logbasedir", (home / "Logs").string());
  if (log_dir.empty()) log_dir = (home / "Logs").string();
  config_->SetString("Logbasedir", log_dir);
  server_info_->log_dir = log_dir;
  log_writer_ = std::make_unique<TLogWriter>(*server_info_, options_.home);
  SetRconTerminating(false);
  user_info_ = MakeThread<TUserInfoThread>(*server_info_);  // disabled until Start
  TFollowerFactory followers;
  followers.enable_refresh = [this](bool on) { user_info_->Enable(on); };
  lifecycle_ = std::make_unique<TServiceLifecycle>(loop_, *server_info_, std::move(followers));
  open_ = true;
  PostGlobal(std::string(kProductName) + " " + VersionText() + " started in " + options_.home, mlInformation);
  if (!FindPlinkOrphans().empty())
    PostGlobal("Found plink zombie(s) (maybe from old SSH Session), use Extra Menu to get rid of them.", mlCritical);
  // Open runs on the thread that is about to run the main loop.
  if (config_->GetBoolDef("StartOnStartup", false)) lifecycle_->Start();
}

void TKelvandromeService::StartExceptionLog() {
  exception_log_ = MakeThread<TFileMonitor>(false);
  exception_log_->AddCategory("Exceptions");
  exception_log_->SetShowTime(true);
  exception_log_->SetLogFile(mlError, (fs::path(options_.home) / "Logs" / "Exceptions.txt").string());
  hub_->AddMonitor(exception_log_.get());
}

void TKelvandromeService::OnLoop(const std::function<void()>& fn) {
  // Queued until the loop runs; refused (and dropped) once it has stopped.
  if (loop_.IsLoopThread()) fn();
  else loop_.Invoke(fn);
}

void TKelvandromeService::StartService() {
  OnLoop([this] { lifecycle_->Start(); });
}

void TKelvandromeService::StopService() {
  OnLoop([this] { lifecycle_->Stop(); });
}

bool TKelvandromeService::IsRunning() {
  bool running = false;
  OnLoop([&] { running = lifecycle_->Running(); });
  return running;
}

std::string TKelvandromeService::TerminalCommand(const std::string& line) {
  std::string cmd;
  for (char c : line)
    if (c != ' ' && c != '\t' && c != '\r') cmd += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (cmd.empty()) return "";
  if (cmd == "start") {
    StartService();
    return lifecycle_->Status();
  }
  if (cmd == "stop") {
    StopService();
    return lifecycle_->Status();
  }
  if (cmd == "status") return IsRunning() ? "Kelvandrome running" : "Kelvandrome stopped";
  if (cmd == "quit") {
    RequestStop();
    return "Kelvandrome is going down .....";
  }
  return "unknown command '" + line + "' (start, stop, status, quit)";
}

void TKelvandromeService::StartTerminal() {
  if (!options_.terminal) return;
  terminal_ = MakeThread<TMsgMonitor>(false);
  terminal_->AddCategory("GLOBAL");
  std::ostream* out = options_.terminal;
  auto print = [out](const std::string&, const std::string& text, TMsgData&, uint8_t level) {
    static std::mutex print_mutex;
    std::lock_guard lock(print_mutex);
    *out << TerminalLine(Now(), level, text) << std::endl;
  };
  for (uint8_t level = 0; level < kLevelCount; ++level) terminal_->SetLevelHandler(level, print);
  hub_->AddMonitor(terminal_.get());
}

void TKelvandromeService::Run() { loop_.Run(); }

void TKelvandromeService::RequestStop() { loop_.Stop(); }

void TKelvandromeService::Close() {
  if (!open_) return;
  open_ = false;
  // Requests in flight end at once; the followers and the poll stop; then
  // the journals write their stop banner.
  SetRconTerminating(true);
  lifecycle_.reset();
  user_info_.reset();
  PostGlobal(std::string(kProductName) + " stopped", mlInformation);
  if (hub_) hub_->Flush(2000);
  if (log_writer_) log_writer_->Flush(2000);
  log_writer_.reset();
  server_info_.reset();
  // Let the last messages reach the subscribers before they stop; a
  // subscriber drops what arrives once the hub has gone.
  if (hub_) hub_->Flush(2000);
  terminal_.reset();
  exception_log_.reset();
  if (hub_) hub_->Stop();
  hub_.reset();
  SetMainLoop(nullptr);
  SetConfig(nullptr);
  config_.reset();
  config_file_.reset();
}

}  // namespace kv
