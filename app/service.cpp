#include "app/service.h"

#include <filesystem>
#include <iostream>
#include <mutex>

#include "app/processes.h"
#include "app/remote_followers.h"
#include "app/service_commands.h"
#include "app/version.h"
#include "core/clock.h"
#include "core/cp1252.h"
#include "core/regional.h"
#include "domain/events.h"
#include "domain/setup_export.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "gamelink/file_session.h"
#include "gamelink/rcon.h"

namespace kv {

namespace fs = std::filesystem;

std::string TerminalText(const std::string& reply) {
  // Line ends and tabs stay; the game's colour bytes (the 0x02 of a
  // broadcast) and any other control byte would act on the terminal.
  std::string out;
  out.reserve(reply.size());
  for (char c : reply) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 ? u != 0x7F : (c == '\n' || c == '\t')) out += c;
  }
  return out;
}

std::string TerminalLine(double time, uint8_t level, const std::string& text) {
  return Cp1252ToUtf8(regional::DateToStr(time) + " " + regional::TimeToStr(time) + " " + LevelName(level) +
                      " " + text);
}

TKelvandromeService::TKelvandromeService(TServiceOptions options) : options_(std::move(options)) {
  RegisterServiceCommands(commands_, *this);
}

TKelvandromeService::~TKelvandromeService() { Close(); }

void TKelvandromeService::Open() {
  // Close undoes whatever part of the start-up ran, so a start that fails
  // half-way leaves no worker, subscriber or published hub behind.
  open_ = true;
  try {
    OpenSteps();
  } catch (...) {
    Close();
    throw;
  }
}

void TKelvandromeService::OpenSteps() {
  const fs::path home(options_.home);
  std::error_code ec;
  for (const char* sub : {"", "Data", "Logs", "Temp", "Stats"}) {
    fs::create_directories(home / sub, ec);
    if (ec) throw std::runtime_error("cannot create " + (home / sub).string() + ": " + ec.message());
  }
  SetMainLoop(&loop_);
  hub_ = TMsgMonitorInterface::Create(&loop_);
  StartExceptionLog();
  RegisterSystemCategories();
  StartTerminal();
  config_file_ = std::make_unique<TConfigFile>((home / "kelvandrome.ini").string());
  try {
    config_file_->Load();  // a settings file that cannot be read is no empty one
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("cannot read the settings: ") + e.what());
  }
  config_ = std::make_unique<TDynamicConfigData>(config_file_.get());
  SetConfig(config_.get());
  server_info_ = std::make_unique<TMohaaServerInfo>();
  // One rcon budget for every request of this service (the server's rate
  // limit counts them all); its limits are re-read at each request.
  server_info_->rcon_budget = std::make_shared<TRconBudget>();
  CreateLastConsoleMsgs();       // the flood filter of said messages
  InstallPlaceholderExpander();  // message templates for the console messages
  // What the journals need before their first line: where they go, and how
  // the first write of a run opens a file. Nothing is written back here;
  // the settings load stores what is missing.
  TSettings settings(*config_, home);
  TJournalSettings journals;
  for (const TLogSwitch sw : {lsGlobalMessages, lsAddTimeStamp, lsDelFilesOnRestart})
    journals.switches[sw] = settings.Bool(kLogSwitchKeys[sw]);
  journals.dir = settings.String("Logbasedir");
  if (journals.dir.empty()) journals.dir = SettingDefaultText(*FindSetting("Logbasedir"), home);
  log_writer_ = std::make_unique<TLogWriter>(std::move(journals), options_.home);
  SetRconTerminating(false);
  user_info_ = MakeThread<TUserInfoThread>(*server_info_);  // disabled until Start
  TFollowerFactory followers;
  followers.enable_refresh = [this](bool on) { user_info_->Enable(on); };
  // In FTP mode the local-file follower reads the downloader's copy once the
  // current downloader's first synchronisation is done.
  auto ftp_ready = std::make_shared<std::function<int64_t()>>();
  followers.file = [this, ftp_ready]() -> std::unique_ptr<TLogFollower> {
    if (!lifecycle_->LogSource()->use_ftp) return MakeFileFollower();
    return MakeFtpCopyFollower(server_info_.get(), options_.home, MakeLogParser(), *ftp_ready);
  };
  followers.ftp = [this, ftp_ready] {
    return MakeFtpFollower(*lifecycle_->LogSource(), options_.home, *ftp_ready);
  };
  followers.ssh = [this] {
    return MakeSshFollower(server_info_.get(), *lifecycle_->LogSource(), options_.home, MakeLogParser());
  };
  lifecycle_ = std::make_unique<TServiceLifecycle>(loop_, *server_info_, std::move(followers));
  // Replies to rcon commands are read like log text.
  rcon_parser_ = std::make_unique<TServerLogEventChecker>(
      [this](std::string_view w) { return classifier_.Classify(w); });
  SetRconReplySink([this](TMohaaServerInfo&, const std::string& reply) { ParseRconReply(reply); });
  PostGlobal(std::string(kProductName) + " " + VersionText() + " started in " + options_.home, mlInformation);
  LoadConfigNow();  // Open runs on the thread that is about to run the main loop
  loaded_ = true;
  if (!FindPlinkOrphans(options_.home).empty())
    PostGlobal("Found plink zombie(s) (maybe from old SSH Session), use Extra Menu to get rid of them.",
               mlCritical);
  if (settings.Bool("StartOnStartup")) lifecycle_->Start();
}

namespace {

// The local-file follower as the lifecycle sees it.
class TFileFollower : public TLogFollower {
 public:
  explicit TFileFollower(TThreadPtr<TFileSession> session) : session_(std::move(session)) {}
  double LastNewMessageTime() const override { return session_->LastNewMessageTime(); }
  bool IsAlive() const override { return session_->Running() && session_->ErrorFlag() == 0; }
  void Stop() override { session_.reset(); }

 private:
  TThreadPtr<TFileSession> session_;
};

}  // namespace

std::unique_ptr<TLogEventChecker> TKelvandromeService::MakeLogParser() {
  return std::make_unique<TServerLogEventChecker>(
      [this](std::string_view w) { return classifier_.Classify(w); });
}

std::unique_ptr<TLogFollower> TKelvandromeService::MakeFileFollower() {
  auto session =
      TFileSession::Create(server_info_.get(), lifecycle_->LogSource()->local_log_file, MakeLogParser());
  if (!session) return nullptr;
  return std::make_unique<TFileFollower>(std::move(session));
}

void TKelvandromeService::ParseRconReply(const std::string& reply) {
  std::lock_guard lock(rcon_parser_mutex_);
  if (!rcon_parser_) return;
  size_t start = 0;
  for (size_t i = 0; i <= reply.size(); ++i) {
    if (i == reply.size() || reply[i] == '\r' || reply[i] == '\n') {
      if (i > start) rcon_parser_->CheckLogForEvents(server_info_.get(), reply.substr(start, i - start));
      start = i + 1;
    }
  }
}

void TKelvandromeService::ApplyLoaded(const TLoadedSettings& loaded) {
  if (!loaded.not_saved.empty())
    PostGlobal("Settings file not written - Kelvandrome goes on with the settings read and the defaults: " +
                   loaded.not_saved,
               mlCritical);
  loaded_settings_ = loaded;
  if (log_writer_) log_writer_->SetSettings(loaded.journals);
  if (lifecycle_) lifecycle_->SetLogSource(loaded.log_source);
  classifier_.LoadFromConfig();
  SetAutoSave(loaded.auto_save_interval_ms);
}

void TKelvandromeService::SetAutoSave(int64_t interval_ms) {
  if (interval_ms == auto_save_ms_ && auto_save_timer_.Active() == (interval_ms > 0)) return;
  auto_save_timer_.Reset();
  auto_save_ms_ = interval_ms;
  if (interval_ms <= 0) return;
  auto_save_timer_ = loop_.StartTimer(interval_ms, [this] {
    SaveConfigNow();
    SetAutoSave(ReadAutoSaveIntervalMs());  // a changed SaveTimer applies from now on
  });
}

bool TKelvandromeService::LoadConfig() {
  bool ok = true;
  OnLoop([&] { ok = LoadConfigNow(); });
  return ok;
}

bool TKelvandromeService::LoadConfigNow() {
  const auto failed = [](const char* why) {
    PostGlobal(std::string("Error Loading Config - maybe the format has changed - Please restart, if it not "
                           "helps please del all Config Files \r\n") +
                   why,
               mlCritical);
    return false;
  };
  try {
    ApplyLoaded(LoadAllSettings(options_.home, *server_info_, registry_, loaded_settings_));
    PostGlobal(kStatusConfigLoaded, mlInformation);
    return true;
  } catch (const ESettingsLoadError& e) {
    ApplyLoaded(e.Loaded());  // what did load still counts
    return failed(e.what());
  } catch (const std::exception& e) {
    return failed(e.what());
  }
}

bool TKelvandromeService::SaveConfig() {
  bool ok = true;
  OnLoop([&] { ok = SaveConfigNow(); });
  return ok;
}

bool TKelvandromeService::SaveConfigNow() {
  try {
    SaveAllData(options_.home, loaded_settings_.protections, registry_, loaded_settings_.ui);
    PostGlobal(kStatusConfigSaved, mlInformation);
    return true;
  } catch (const std::exception& e) {
    PostGlobal(std::string("Error Saving Config: ") + e.what(), mlCritical);
    return false;
  }
}

void TKelvandromeService::StartExceptionLog() {
  exception_log_ = MakeThread<TFileMonitor>(false);
  exception_log_->AddCategory("Exceptions");
  exception_log_->SetShowTime(true);
  exception_log_->SetLogFile(mlError, (fs::path(options_.home) / "Logs" / "Exceptions.txt").string());
  exception_log_subscription_ = Subscribe(*hub_, *exception_log_);
}

void TKelvandromeService::OnLoop(const std::function<void()>& fn) {
  // Queued until the loop runs; refused (and dropped) once it has stopped.
  if (loop_.IsLoopThread())
    fn();
  else
    loop_.Invoke(fn);
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

std::string TKelvandromeService::TerminalCommand(const std::string& input) {
  // The terminal speaks UTF-8; texts inside the system are Windows-1252.
  return commands_.RunLine(TCommandContext{}, Utf8ToCp1252(input)).text;
}

std::string TKelvandromeService::SetupPath(const std::string& file) const {
  // The terminal's text is Windows-1252 by now; file names are UTF-8.
  fs::path path(Cp1252ToUtf8(file));
  if (!path.has_extension()) path += ".KVSetup";
  if (path.is_relative()) path = fs::path(options_.home) / path;
  return path.string();
}

std::string TKelvandromeService::ExportSetupFile(const std::string& file) {
  const std::string path = SetupPath(file);
  std::string answer;
  OnLoop([&] {
    try {
      ExportSetup(path, registry_);
      answer = "Setup saved to " + path;
    } catch (const std::exception& e) {
      answer = "Setup not saved to " + path + ": " + Cp1252ToUtf8(e.what());
    }
  });
  return answer;
}

std::string TKelvandromeService::ImportSetupFile(const std::string& file) {
  const std::string path = SetupPath(file);
  std::string answer;
  OnLoop([&] {
    try {
      ImportSetup(path, options_.home, registry_);
    } catch (const std::exception& e) {
      answer = "Setup not loaded from " + path + ": " + Cp1252ToUtf8(e.what());
      return;
    }
    // What an operator imports is meant to hold: the settings reach the INI,
    // the data sets their files, and the running objects take both.
    answer = "Setup loaded from " + path;
    try {
      config_->StoreCache();
    } catch (const std::exception& e) {
      answer += " - the settings file was not written: " + Cp1252ToUtf8(e.what());
    }
    if (SaveConfigNow())
      LoadConfigNow();
    else
      answer += " - not every data file was saved (see the messages above); 'save' tries again";
  });
  return answer;
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
  terminal_subscription_ = Subscribe(*hub_, *terminal_);
}

void TKelvandromeService::Run() { loop_.Run(); }

void TKelvandromeService::RequestStop() { loop_.Stop(); }

void TKelvandromeService::Close() {
  if (!open_) return;
  open_ = false;
  // The followers and the poll stop, every data file is saved, requests
  // still in flight end at once; then the journals write their stop banner.
  auto_save_timer_.Reset();
  lifecycle_.reset();
  // A request waiting for its turn would hold up the poll worker's end.
  if (server_info_ && server_info_->rcon_budget) server_info_->rcon_budget->Cancel();
  user_info_.reset();
  // The main loop has ended: this thread is the only one left here. A start
  // that failed before the data files were loaded saves nothing: it would
  // replace them with empty lists.
  const bool was_loaded = loaded_;
  if (loaded_) SaveConfigNow();
  loaded_ = false;
  SetRconTerminating(true);
  SetRconReplySink({});
  ConsoleMessageThreads().Clear();
  DestroyLastConsoleMsgs();
  {
    std::lock_guard lock(rcon_parser_mutex_);
    rcon_parser_.reset();
  }
  if (was_loaded) PostGlobal(std::string(kProductName) + " stopped", mlInformation);
  if (hub_) hub_->Flush(2000);
  if (log_writer_) log_writer_->Flush(2000);
  log_writer_.reset();
  server_info_.reset();
  // Let the last messages reach the subscribers before they stop; a
  // subscriber drops what arrives once the hub has gone.
  if (hub_) hub_->Flush(2000);
  terminal_subscription_.Reset();
  terminal_.reset();
  exception_log_subscription_.Reset();
  exception_log_.reset();
  if (hub_) hub_->Stop();
  hub_.reset();
  SetMainLoop(nullptr);
  SetConfig(nullptr);
  config_.reset();
  config_file_.reset();
}

}  // namespace kv
