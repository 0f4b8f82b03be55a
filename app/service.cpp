#include "app/service.h"

#include <filesystem>
#include <iostream>
#include <mutex>

#include "app/version.h"
#include "core/clock.h"
#include "core/cp1252.h"
#include "core/events.h"
#include "core/regional.h"

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
  RegisterSystemCategories();
  StartTerminal();
  server_info_ = std::make_unique<TMohaaServerInfo>();
  open_ = true;
  PostGlobal(std::string(kProductName) + " " + VersionText() + " started in " + options_.home, mlInformation);
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
  PostGlobal(std::string(kProductName) + " stopped", mlInformation);
  server_info_.reset();
  // Let the last messages reach the subscribers before they stop; a
  // subscriber drops what arrives once the hub has gone.
  if (hub_) hub_->Flush(2000);
  terminal_.reset();
  if (hub_) hub_->Stop();
  hub_.reset();
  SetMainLoop(nullptr);
  SetConfig(nullptr);
  config_.reset();
  config_file_.reset();
}

}  // namespace kv
