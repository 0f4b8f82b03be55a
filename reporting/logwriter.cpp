#include "reporting/logwriter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bus_hub.h"
#include "core/clock.h"
#include "core/regional.h"
#include "domain/domain.h"
#include "domain/events.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStartBanner = "******************Kelvandrome Started******************";
constexpr const char* kStopBanner = "******************Kelvandrome Stopped******************";

struct TKindFile {
  uint8_t kind;
  const char* file;
  TLogSwitch on;
};

// Kinds whose line is just the event's text.
constexpr TKindFile kTextKinds[] = {
    {ekNewLogFileEntry, "Debug_SSH.txt", lsSSH},
    {ekNewRconLog, "Debug_Rcon.txt", lsRcon},
    {ekBanOver, "User_BanOver.txt", lsBanDeleted},
    {ekBanAdded, "User_BanAdded.txt", lsNewBans},
    {ekSendRepMail, "Reports.txt", lsGeneration},
    {ekWriteRepFile, "Reports.txt", lsGeneration},
    {ekRemoteCommand, "RemoteCommands.txt", lsRemoteCommands},
    {ekRemoteConnection, "RemoteConnects.txt", lsRemoteConnection},
    {ekMessageSend, "MessagesSend.txt", lsMessagesSendToServer},
    {ekAntiCheatCommand, "ACCommands.txt", lsACCommand},
    {ekAntiCheatConnected, "ACConnects.txt", lsACConnected},
    {ekAntiCheatDisconnected, "ACDisconnects.txt", lsACDisconnected},
    {ekAntiCheatReport, "AntiCheatEmailReports.txt", lsACReport},
    {ekACClientKick, "ACClientKick.txt", lsACClientKick},
};

// Kinds whose line is the first player's name.
constexpr TKindFile kNameKinds[] = {
    {ekNewUser, "User_New.txt", lsNewUser},
    {ekWentOffline, "User_WentOffline.txt", lsWenfOffline},
    {ekUserBack, "User_Back.txt", lsUserBack},
};

std::string FirstName(const TMohaaEvent& e) { return e.log_entry ? e.log_entry->first_player.name : ""; }
std::string SecondName(const TMohaaEvent& e) { return e.log_entry ? e.log_entry->second_player.name : ""; }

std::string CommonText(const TMohaaEvent& e) {
  std::string out;
  if (e.history_entry && !e.history_entry->player.name.empty())
    out += " Player: " + e.history_entry->player.name;
  if (e.log_entry) {
    if (!FirstName(e).empty()) out += " Player1: " + FirstName(e);
    if (!SecondName(e).empty()) out += " Player2: " + SecondName(e);
  }
  if (!e.text.empty()) out += ": " + e.text;
  return out;
}

// Whether the category names an event kind: it contains "EVENT" in any case.
bool ContainsEvent(std::string_view category) {
  static constexpr std::string_view kEvent = "EVENT";
  for (size_t i = 0; i + kEvent.size() <= category.size(); ++i) {
    size_t k = 0;
    while (k < kEvent.size() && std::toupper(static_cast<unsigned char>(category[i + k])) == kEvent[k]) ++k;
    if (k == kEvent.size()) return true;
  }
  return false;
}

}  // namespace

TLogWriter::TLogWriter(TJournalSettings settings, std::string home)
    : settings_(std::move(settings)), home_(std::move(home)) {
  monitor_ = MakeThread<TMsgMonitor>(true);
  auto handler = [this](const std::string& category, const std::string& text, TMsgData& data, uint8_t level) {
    Handle(category, text, data, level);
  };
  for (uint8_t level = 0; level < kLevelCount; ++level) monitor_->SetLevelHandler(level, handler);
  monitor_->SetIdleHandler([this] { WritePendingFiles(); });
  subscription_ = Subscribe(*monitor_);
  if (Switch(lsGlobalMessages)) WriteLogLine("GlobalMessages.txt", kStartBanner);
}

TLogWriter::~TLogWriter() {
  const bool was_enabled = enabled_.exchange(false);
  subscription_.Reset();  // nothing more arrives
  monitor_.reset();       // the thread writes what it has, then stops
  if (was_enabled && Switch(lsGlobalMessages)) {
    enabled_ = true;
    WriteLogLine("GlobalMessages.txt", kStopBanner);
    enabled_ = false;
  }
  TLockGuard lock(files_mutex_);
  for (auto& [path, file] : files_) WritePending(file);
  by_name_.clear();
  files_.clear();
}

bool TLogWriter::Flush(int64_t timeout_ms) {
  if (auto hub = GetMonitorInterface()) hub->Flush(timeout_ms);
  return monitor_ && monitor_->Flush(timeout_ms);
}

namespace {

// The journal thread's settings of the message it handles: one snapshot per
// message instead of one per switch it looks at.
thread_local const void* t_handling_writer = nullptr;
thread_local const TJournalSettings* t_handling_settings = nullptr;

struct THandling {
  THandling(const void* writer, const TJournalSettings* settings) {
    t_handling_writer = writer;
    t_handling_settings = settings;
  }
  ~THandling() {
    t_handling_writer = nullptr;
    t_handling_settings = nullptr;
  }
};

}  // namespace

const TJournalSettings& TLogWriter::Settings(std::shared_ptr<const TJournalSettings>& keep) const {
  if (t_handling_writer == this) return *t_handling_settings;
  keep = settings_.Get();
  return *keep;
}

bool TLogWriter::Switch(TLogSwitch s) const {
  std::shared_ptr<const TJournalSettings> keep;
  return Settings(keep).Switch(s);
}

std::string TLogWriter::LogDirectory(const TJournalSettings& settings) const {
  // The directory is read at each message, so a changed setting applies to
  // the next line; an empty one means the home's "Logs".
  const std::string& dir = settings.dir;
  return dir.empty() ? (fs::path(home_) / "Logs").string() : dir;
}

void TLogWriter::WriteLogLine(const std::string& file_name, const std::string& text) {
  AddLine(file_name, text, true);
}

void TLogWriter::AddLine(const std::string& file_name, const std::string& text, bool now) {
  if (!enabled_) return;
  std::string path, error;
  {
    TLockGuard lock(files_mutex_);
    TOpenFile* file = FileFor(file_name, path, error);
    if (file) {
      if (Switch(lsAddTimeStamp)) file->pending += "[" + regional::DateTimeToStr(Now()) + "] ";
      file->pending += text;
      file->pending += "\r\n";
      if (now || file->pending.size() >= kMaxPendingBytes) {
        error = WritePending(*file);
        if (!error.empty()) path = file->path;
      }
    }
  }
  if (!error.empty()) Failed(path, error);
}

TLogWriter::TOpenFile* TLogWriter::FileFor(const std::string& file_name, std::string& path,
                                           std::string& error) {
  // The directory setting is read at each line, so a change applies to the
  // next one; the files of the current directory are found by name.
  std::shared_ptr<const TJournalSettings> keep;
  const TJournalSettings& settings = Settings(keep);
  if (!names_valid_ || settings.dir != names_dir_setting_) {
    names_dir_setting_ = settings.dir;
    names_dir_ = LogDirectory(settings);
    if (!names_dir_.empty() && names_dir_.back() != '/') names_dir_ += '/';
    by_name_.clear();
    names_valid_ = true;
  }
  auto it = by_name_.find(file_name);
  if (it != by_name_.end()) return it->second;
  path = names_dir_ + file_name;
  TOpenFile* file = OpenFile(path, error);
  if (file) by_name_.emplace(file_name, file);
  return file;
}

TLogWriter::TOpenFile* TLogWriter::OpenFile(const std::string& path, std::string& error) {
  auto it = files_.find(path);
  if (it != files_.end()) return &it->second;
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (ec) return nullptr;  // an unusable directory drops the line; the writer stays on
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (Switch(lsDelFilesOnRestart) ? O_TRUNC : 0);
  TUniqueFd fd(::open(path.c_str(), flags, 0644));
  if (!fd) {
    error = std::strerror(errno);
    return nullptr;
  }
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    error = "the file is in use by another writer";
    return nullptr;
  }
  return &files_.emplace(path, TOpenFile{std::move(fd), path, {}}).first->second;
}

std::string TLogWriter::WritePending(TOpenFile& file) {
  const char* p = file.pending.data();
  size_t left = file.pending.size();
  std::string error;
  while (left > 0) {
    const ssize_t n = ::write(file.fd.Get(), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::strerror(errno);
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  file.pending.clear();
  if (file.pending.capacity() > 4 * kMaxPendingBytes) file.pending.shrink_to_fit();
  return error;
}

void TLogWriter::WritePendingFiles() {
  std::vector<std::pair<std::string, std::string>> failures;
  {
    TLockGuard lock(files_mutex_);
    for (auto& [path, file] : files_) {
      if (file.pending.empty()) continue;
      std::string error = WritePending(file);
      if (!error.empty()) failures.emplace_back(path, std::move(error));
    }
  }
  for (const auto& [path, error] : failures) Failed(path, error);
}

void TLogWriter::Failed(const std::string& path, const std::string& error) {
  if (!enabled_.exchange(false)) return;  // told once
  PostGlobal(
      "Can not write to Log File - Check your Setup and Restart Kelvandrome: [" + path + "] Error: " + error,
      mlCritical);
}

TLogWriter::TLine TLogWriter::EventLine(const TMohaaEvent& e) const {
  for (const auto& k : kTextKinds)
    if (e.kind == k.kind) return {Switch(k.on) ? k.file : "", e.text};
  for (const auto& k : kNameKinds)
    if (e.kind == k.kind) return {Switch(k.on) ? k.file : "", FirstName(e)};
  const std::string first = FirstName(e);
  const std::string address = e.log_entry ? e.log_entry->first_player.address : "";
  switch (e.kind) {
    case ekKill:
      // The parser puts the victim first and the killer second; the journal
      // reads the natural way round.
      return {Switch(lsKills) ? "Kills.txt" : "",
              SecondName(e) + " killed " + first + " with " + EventWeaponName(e)};
    case ekNickChanged:
      return {Switch(lsNickChange) ? "User_NickChanged.txt" : "", e.text + " renamed to " + first};
    case ekMapChange: {
      const bool on = Switch(lsGlobalMapChange) || Switch(lsUserMapChange);
      if (e.history_entry)
        return {on ? "User_MapChanged.txt" : "", e.history_entry->player.name + " - Map:" + e.text};
      return {on ? "MapChanged.txt" : "", e.text};
    }
    case ekUserBanned:
    case ekUseripBanned:
      return {Switch(lsBanMatch) ? "User_Banned.txt" : "",
              e.log_entry ? first + " Ip:" + address + " Message:" + e.text : " Message:" + e.text};
    case ekUserKicked:
      return {Switch(lsKicks) ? "User_Kicked.txt" : "",
              e.log_entry ? first + " Ip:" + address + " Reason:" + e.text : " Reason:" + e.text};
    case ekChatMessage: return {Switch(lsChat) ? "User_Chat.txt" : "", first + ": " + e.text};
    case ekAntiCheatUserQconsoleLog: {
      std::string line;
      if (e.log_entry) {
        if (!first.empty()) line += " Player1: " + first;
        if (!SecondName(e).empty()) line += " Player2: " + SecondName(e);
      }
      return {Switch(lsACUserRconLog) ? "ACUserRcon.txt" : "", line + e.text};
    }
    case ekCheckAntiCheatUser: {
      TVariant id, nick;
      e.variables.TryGetValue("ACID", id);
      std::string line = e.text + " ID:[" + id.AsString() + "]";
      if (e.variables.TryGetValue("NickName", nick)) line += " NickName:[" + nick.AsString() + "]";
      return {Switch(lsACCheckACUser) ? "ACUserChecks.txt" : "", line};
    }
    case ekSelfKill: return {Switch(lsServiceEvents) ? "SystemEvents.txt" : "", CommonText(e)};
    default:
      return {Switch(lsAllOtherEvents) ? "Events.txt" : "",
              std::string("Typ: ") + EventKindName(e.kind) + " " + CommonText(e)};
  }
}

void TLogWriter::Handle(const std::string& category, const std::string& text, TMsgData& data, uint8_t level) {
  if (!enabled_) return;
  const std::shared_ptr<const TJournalSettings> settings = settings_.Get();
  const THandling handling(this, settings.get());
  try {
    if (ContainsEvent(category)) {
      const auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data);
      const auto* event = object ? dynamic_cast<const TMohaaEvent*>(object->get()) : nullptr;
      if (!event) return;  // an event category without an event: nothing to write
      const TLine line = EventLine(*event);
      if (!line.file.empty()) AddLine(line.file, line.text, false);
      return;
    }
    if (Switch(lsGlobalMessages))
      AddLine("GlobalMessages.txt", "[" + category + "] -  [" + LevelName(level) + "] " + text, false);
  } catch (const std::exception&) {
    // A line that cannot even be composed silences the writer for the run.
    enabled_ = false;
  }
}

}  // namespace kv
