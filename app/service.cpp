#include "app/service.h"

#include <filesystem>
#include <iostream>
#include <mutex>

#include "app/processes.h"
#include "app/remote_followers.h"
#include "app/remote_targets.h"
#include "app/service_commands.h"
#include "app/service_subsystems.h"
#include "app/version.h"
#include "automation/chat_watch.h"
#include "automation/event_messages.h"
#include "automation/weapon_watch.h"
#include "core/clock.h"
#include "core/cp1252.h"
#include "core/regional.h"
#include "domain/events.h"
#include "domain/setup_export.h"
#include "enforcement/banwatch.h"
#include "enforcement/kicks.h"
#include "enforcement/templates.h"
#include "enforcement/weapon_class_subsystem.h"
#include "gamelink/file_session.h"
#include "gamelink/gamelink_subsystems.h"
#include "gamelink/rcon.h"
#include "gamelink/rcon_budget.h"
#include "players/history_subsystem.h"
#include "players/tracker.h"
#include "remoteadmin/remote_admin_subsystem.h"
#include "reporting/journal_subsystem.h"
#include "rules/checks.h"
#include "serverconfig/configlist.h"
#include "rules/kills.h"
#include "stats/stats_subsystem.h"

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
  CreateRuntime();
  BuildSubsystems();
  subsystems_->RegisterAll(registry_, commands_);
  RegisterClosingCommands(commands_, *this);
  PostGlobal(std::string(kProductName) + " " + VersionText() + " started in " + options_.home, mlInformation);
  LoadConfigNow();  // Open runs on the thread that is about to run the main loop
  subsystems_->OpenAll();
  if (!FindPlinkOrphans(options_.home).empty())
    PostGlobal("Found plink zombie(s) (maybe from old SSH Session), use Extra Menu to get rid of them.",
               mlCritical);
  if (TSettings(*config_, home).Bool("StartOnStartup") && !lifecycle_->Lifecycle()->Running())
    subsystems_->StartAll();
}

void TKelvandromeService::CreateRuntime() {
  const fs::path home(options_.home);
  SetMainLoop(&loop_);
  // The bus is process-wide: a second service in the process (tests) posts
  // on the hub the first one made and leaves its end to that one.
  hub_ = GetMonitorInterface();
  own_hub_ = !hub_;
  if (own_hub_) hub_ = TMsgMonitorInterface::Create(&loop_);
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
  server_info_ = std::make_unique<TMohaaServerInfo>();
  server_info_->UseConfig(config_.get());  // keys read at their moment of use
  // One rcon budget for every request of this service (the server's rate
  // limit counts them all); its limits are re-read at each request.
  server_info_->rcon_budget = std::make_shared<TRconBudget>(kRconBurstDefault, kRconRatePerMinuteDefault,
                                                            &server_info_->rcon_terminating);
  runtime_.reset(
      new TRuntime{home, Clock(), loop_, *config_, registry_, *server_info_, commands_, hub_.get()});
}

// The order of the list is the order of opening and starting; closing and
// stopping go the other way (docs/ARCHITECTURE.md, "Subsystems").
void TKelvandromeService::BuildSubsystems() {
  TRuntime& rt = *runtime_;
  subsystems_ = std::make_unique<TSubsystemList>();
  TSubsystemList& list = *subsystems_;
  // The journals are made at once, so they record the start-up itself. They
  // read UseTeamMessages, a row of the kill rules, when they are made.
  RegisterSettingRows(TKillRules::Rows());
  list.Add(std::make_unique<TJournalSubsystem>(rt));
  list.Add(std::make_unique<TDataSaveSubsystem>([this] { return SaveConfigNow(); },
                                                std::string(kProductName) + " stopped"));
  weapons_ = &list.Add(std::make_unique<TWeaponClassSubsystem>());
  TWeaponClassSubsystem* weapons = weapons_;
  list.Add(std::make_unique<TRconReplySubsystem>(
      rt, [weapons](std::string_view w) { return weapons->Classify(w); }));
  list.Add(std::make_unique<TConsoleSubsystem>(rt, PlaceholderExpander()));
  // Every rule that throws a player off goes through the one kick registry;
  // the ban watch is the first of them.
  kicks_ = &list.Add(std::make_unique<TKickThreadList>(rt));
  TBanWatch& ban_watch = list.Add(std::make_unique<TBanWatch>(rt, *kicks_));
  // The store closes after the tracker, its only writer, so the final
  // flush holds what the tracker learned last.
  THUserList& store = list.Add(std::make_unique<THistoryStoreSubsystem>(rt)).Store();
  auto tracker = std::make_unique<THistoryUserList>(rt, store, KickThrough(*kicks_));
  // The kill rules plug into the tracker before it opens and stay open
  // until it has closed: the bans its last events bring are still added.
  list.Add(std::make_unique<TKillRules>(rt, *tracker, *kicks_, &ban_watch.List()));
  tracker_ = &list.Add(std::move(tracker));
  // The checks plug into the tracker before it opens and close before it.
  checks_ = &list.Add(std::make_unique<TPlayerChecks>(rt, *tracker_, *kicks_, &ban_watch.List()));
  // After the console (it says its messages through it) and the tracker
  // (whose arrivals it greets): it closes before either.
  list.Add(std::make_unique<TEventMessageController>(rt));
  // Says its answers through the console, looks players up in the tracker
  // and kicks through the kick workers; its bad-word events reach the
  // checks through the tracker. It closes before all of them.
  list.Add(std::make_unique<TChatWatch>(rt, *tracker_, *kicks_));
  // Judges kills on the tracker's thread: added before the tracker opens.
  list.Add(std::make_unique<TWeaponWatchList>(rt, *tracker_, *kicks_, &ban_watch.List()));
  // Reads the store: it closes, ending a generation under way, before the
  // store's final flush. Its score function serves the messages and chat
  // commands from its Open on.
  list.Add(std::make_unique<TStatsSubsystem>(rt, store));
  // Configuration sets switch the checks above (their settings are applied
  // again afterwards) and talk to the server: opened once the rules are.
  configs_ = &list.Add(
      std::make_unique<TMohaaConfigList>(rt, [this] { loop_.Post([this] { ReapplySettings(); }); }));
  // Remote administrators reach the bans, kicks, players and histories: the
  // server opens after them and closes before them.
  TRemoteCommandTargets remote_targets;
  remote_targets.server = server_info_.get();
  remote_targets.bans = &ban_watch.List();
  remote_targets.kicks = kicks_;
  remote_targets.history = &store;
  remote_targets.configs = RemoteConfigSets(*configs_);
  remote_targets.skins = RemoteSkinList(checks_->Skins());
  remote_admin_ = &list.Add(std::make_unique<TRemoteAdminSubsystem>(rt, std::move(remote_targets)));
  for (const TSubsystemFactory& factory : factories_) factory(rt, list);
  status_poll_ = &list.Add(std::make_unique<TStatusPollSubsystem>(rt));
  TFollowerFactory followers;
  followers.enable_refresh = [this](bool on) { status_poll_->Enable(on); };
  // In FTP mode the local-file follower reads the downloader's copy once the
  // current downloader's first synchronisation is done.
  auto ftp_ready = std::make_shared<std::function<int64_t()>>();
  followers.file = [this, ftp_ready]() -> std::unique_ptr<TLogFollower> {
    if (!Lifecycle().LogSource()->use_ftp) return MakeFileFollower();
    return MakeFtpCopyFollower(server_info_.get(), options_.home, MakeLogParser(), *ftp_ready);
  };
  followers.ftp = [this, ftp_ready] {
    return MakeFtpFollower(*Lifecycle().LogSource(), options_.home, *ftp_ready);
  };
  followers.ssh = [this] {
    return MakeSshFollower(server_info_.get(), *Lifecycle().LogSource(), options_.home, MakeLogParser());
  };
  lifecycle_ = &list.Add(std::make_unique<TLifecycleSubsystem>(rt, std::move(followers), loaded_settings_));
  list.Add(std::make_unique<TAutoSaveSubsystem>(
      rt, [this] { return SaveConfigNow(); }, loaded_settings_));
}

TServiceLifecycle& TKelvandromeService::Lifecycle() { return *lifecycle_->Lifecycle(); }

std::unique_ptr<TLogEventChecker> TKelvandromeService::MakeLogParser() {
  TWeaponClassSubsystem* weapons = weapons_;
  return std::make_unique<TServerLogEventChecker>(
      [weapons](std::string_view w) { return weapons->Classify(w); }, server_info_->Settings());
}

std::unique_ptr<TLogFollower> TKelvandromeService::MakeFileFollower() {
  auto session =
      TFileSession::Create(server_info_.get(), Lifecycle().LogSource()->local_log_file, MakeLogParser());
  if (!session) return nullptr;
  return std::make_unique<TFileFollower>(std::move(session));
}

void TKelvandromeService::ApplyLoaded(const TLoadedSettings& loaded) {
  if (!loaded.not_saved.empty())
    PostGlobal("Settings file not written - Kelvandrome goes on with the settings read and the defaults: " +
                   loaded.not_saved,
               mlCritical);
  loaded_settings_ = loaded;
  TSettings settings(*config_, options_.home);
  subsystems_->ApplySettings(settings);
}

void TKelvandromeService::ReapplySettings() {
  if (!subsystems_) return;
  TSettings settings(*config_, options_.home);
  // The switches a configuration set writes also live in the last load's
  // groups, and the save writes some of them back to the INI file: they
  // take the new values, or the next save would undo the set's switch.
  TLoadedSettings& r = loaded_settings_;
  r.protections.skin_detect_on = settings.Bool("EnableSkinDetect");
  r.protections.weapon_detect_on = settings.Bool("EnableWeaponDetect");
  r.ping.check_enabled = settings.Bool("PingCheckEnabled");
  r.sprees.killing_detect = settings.Bool("KillingSpringDetect");
  r.sprees.losing_detect = settings.Bool("LoosingSpringDetect");
  subsystems_->ApplySettings(settings);
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
    ApplyLoaded(LoadAllSettings(options_.home, *config_, *server_info_, registry_, loaded_settings_));
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
    SaveAllData(options_.home, *config_, loaded_settings_.protections, registry_, loaded_settings_.ui);
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
  OnLoop([this] {
    if (!Lifecycle().Running()) subsystems_->StartAll();
  });
}

void TKelvandromeService::StopService() {
  // Always: the operator's stop also ends a planned retry of a halted run.
  OnLoop([this] { subsystems_->StopAll(); });
}

bool TKelvandromeService::IsRunning() {
  bool running = false;
  OnLoop([&] { running = Lifecycle().Running(); });
  return running;
}

std::string TKelvandromeService::TerminalCommand(const std::string& input) {
  // The terminal speaks UTF-8; texts inside the system are Windows-1252.
  // A command that asked for a password takes the next line as it.
  if (remote_admin_)
    if (auto answer = remote_admin_->PendingInput(Utf8ToCp1252(input))) return *answer;
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
      ExportSetup(path, *config_, registry_);
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
      ImportSetup(path, options_.home, *config_, registry_);
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
  // The parts stop and close in reverse order: AutoSave, the followers,
  // the status poll, the added parts, console messages and rcon, the rcon
  // reply parser; then every data file is saved and "stopped" is said;
  // the journals end last (stop banner). The main loop has ended: this
  // thread is the only one left here.
  if (subsystems_) {
    subsystems_->StopAll();
    subsystems_->CloseAll();
  }
  subsystems_.reset();  // a list that never opened ends its parts here
  lifecycle_ = nullptr;
  status_poll_ = nullptr;
  weapons_ = nullptr;
  checks_ = nullptr;
  runtime_.reset();
  server_info_.reset();
  // Let the last messages reach the subscribers before they stop; a
  // subscriber drops what arrives once the hub has gone.
  if (hub_) hub_->Flush(2000);
  terminal_subscription_.Reset();
  terminal_.reset();
  exception_log_subscription_.Reset();
  exception_log_.reset();
  if (hub_ && own_hub_) hub_->Stop();
  hub_.reset();
  // Another service of the process may have installed its own since.
  if (MainLoop() == &loop_) SetMainLoop(nullptr);
  config_.reset();
  config_file_.reset();
}

}  // namespace kv
