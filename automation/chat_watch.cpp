#include "automation/chat_watch.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <shared_mutex>
#include <stdexcept>

#include "automation/chat_text.h"
#include "core/bus.h"
#include "core/bus_hub.h"
#include "core/bus_monitor.h"
#include "core/cp1252.h"
#include "core/datafiles.h"
#include "core/regional.h"
#include "core/stream.h"
#include "core/version.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "domain/serverinfo.h"
#include "domain/settings.h"
#include "enforcement/kicks.h"
#include "enforcement/pattern.h"
#include "enforcement/templates.h"
#include "formula/arith.h"
#include "gamelink/console.h"
#include "players/tracker.h"

namespace kv {

namespace {

using T = TSettingType;

// The chat commands and the bad-word list, where the INI has always listed
// them. (The three ChatCommandEnableAC* switches belong to the same group
// of the INI; they stand here to keep its order, nothing here reads them.)
constexpr TSettingDef kRows[] = {
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
};
constexpr TSettingRows kTables[] = {{TSettingPlace::Messages, kRows}};

constexpr double kSecond = 1.0 / 86400.0;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string Trimmed(std::string_view text) {
  size_t a = 0, b = text.size();
  while (a < b && static_cast<unsigned char>(text[a]) <= ' ') ++a;
  while (b > a && static_cast<unsigned char>(text[b - 1]) <= ' ') --b;
  return std::string(text.substr(a, b - a));
}

// A counter as a whole number.
std::string WholeText(const TVariant& v) {
  try {
    if (v.IsInteger()) return std::to_string(v.AsInt64());
    if (v.IsFloat()) return std::to_string(static_cast<int64_t>(std::llround(v.AsDouble())));
    return v.AsString();
  } catch (const std::exception&) {
    return {};
  }
}

// A date-time as regional date and time; nothing for 0.
std::string DateText(const TVariant& v) {
  try {
    const double d = v.AsDouble();
    return d == 0 ? std::string() : regional::DateTimeToStr(d);
  } catch (const std::exception&) {
    return {};
  }
}

// " Label: [value]" for a variable that exists, else nothing.
std::string Piece(const TVarList& vars, const char* label, const char* name, bool date = false) {
  TVariant v;
  if (!vars.TryGetValue(name, v)) return {};
  return std::string(" ") + label + ": [" + (date ? DateText(v) : WholeText(v)) + "]";
}

constexpr const char* kHelpVersion = "Command: !VERSION or !CONSOLE  Info: show Version Information";
constexpr const char* kHelpAbout = "Command: !ABOUT - Info: Informations";
constexpr const char* kHelpNick = "Command: !NICK <nick> Info: show Informations about that Player";
constexpr const char* kHelpStats = "Command: !STATS Info: show youre own stats";
constexpr const char* kHelpSkills = "Command: !SKILLS (<nick>) Info: Get youre own Score or Score from Nick";
constexpr const char* kHelpKick = "Command: !KICK  Info: Kick me from the Server";
constexpr const char* kHelpIp = "Command: !IP  Info: Show the Mohaa Ip and Port";

constexpr const char* kWeaponClassOrder[] = {"unknown", "Rifle",   "Sniper",  "Sub Machinegun", "Machine Gun",
                                             "Rocket",  "Shotgun", "Grenade", "Pistol"};

}  // namespace

std::span<const TSettingRows> TChatWatch::Rows() { return kTables; }

// The watch's thread: sleeps on the queue until a chat line or the end.
class TChatWatch::TWorker : public TGeneralThread {
 public:
  explicit TWorker(TChatWatch& owner) : owner_(owner) {}
  ~TWorker() override { TerminateAndJoin(); }
  void Terminate() override {
    TGeneralThread::Terminate();
    std::lock_guard lock(owner_.queue_mutex_);
    owner_.queue_cv_.notify_all();
  }

 protected:
  void Execute() override {
    SetStarted(true);
    PostGlobal("TChatWatch Started", mlInformation);
    std::shared_ptr<const TMohaaEvent> event;
    while (owner_.TakeNext(event, *this)) {
      owner_.HandleChat(*event);
      event.reset();
    }
    PostGlobal("TChatWatch Stopped", mlInformation);
  }

 private:
  TChatWatch& owner_;
};

// Says the lines of one answer in the background, one after the other, so
// the players read them in order. The texts are final: a nick in them is
// not read as a template.
class TChatWatch::TChatSender : public TGeneralThread {
 public:
  TChatSender(TMohaaServerInfo& info, std::vector<TChatLine> lines) : info_(info), lines_(std::move(lines)) {}
  ~TChatSender() override { TerminateAndJoin(); }

 protected:
  void Execute() override {
    SetStarted(true);
    for (const auto& line : lines_) {
      if (Terminated() || info_.rcon_terminating.IsSet()) return;
      try {
        SayFinalText(info_, line.text, line.skip_filter);
      } catch (const std::exception& e) {
        PostGlobal("SendConsoleMessage error: " + std::string(e.what()) + " Message:" + line.text,
                   mlCritical);
      }
    }
  }

 private:
  TMohaaServerInfo& info_;
  std::vector<TChatLine> lines_;
};

TChatWatch::TChatWatch(TRuntime& runtime, THistoryUserList& tracker, TKicker& kicker)
    : runtime_(runtime), tracker_(tracker), kicker_(kicker) {}

TChatWatch::~TChatWatch() { Close(); }

void TChatWatch::RegisterDataFiles(TDataFileRegistry& registry) {
  TDataFileHandler handler;
  handler.load = [this](TStream& in) {
    for (const auto& broken : triggers_.Load(in)) PostGlobal(broken, mlCritical);
  };
  handler.save = [this](TStream& out) { triggers_.Save(out); };
  registry.Register(TDataFileId::ChatTrigger, std::move(handler));
}

void TChatWatch::ApplySettings(TSettings& settings) { ReadSettings(settings); }

void TChatWatch::ReadSettings(TSettings& settings) {
  TChatSettings s;
  s.command_timeout = settings.Int("ChatCommandTimeout");
  s.stats_timeout = settings.Int("UserStatsTimeOut");
  s.help = settings.Bool("ChatCommandEnableHelp");
  s.console_command = settings.Bool("ChatCommandEnableConsoleCommand");
  s.console_chat = settings.Bool("ChatCommandEnableConsoleChatCommand");
  s.nick = settings.Bool("ChatCommandEnableNick");
  s.stats = settings.Bool("ChatCommandEnableStats");
  s.skills = settings.Bool("ChatCommandEnableSkills");
  s.kick = settings.Bool("ChatCommandEnableKick");
  s.ip = settings.Bool("ChatCommandEnableIP");
  s.stats_has_killed = settings.Bool("ChatCommandEnableStatshasKilled");
  s.stats_other = settings.Bool("ChatCommandEnableStatsOther");
  s.stats_spree = settings.Bool("ChatCommandEnableStatsSpree");
  s.special_line = settings.String("ChatCommandEnableStatsSpecialLine");
  s.rcon_host = settings.EncOrEmpty("RCONHost");
  s.rcon_port = settings.String("RCONPORT");
  for (auto& text : SplitChatCommaText(settings.String("BadWords"))) {
    TChatSettings::TBadWord w;
    w.pattern = TPattern::Compile(text, w.error);
    w.text = std::move(text);
    s.bad_words.push_back(std::move(w));
  }
  settings_.Publish(std::move(s));
}

// --- the queue ---------------------------------------------------------------

void TChatWatch::Open() {
  {
    TLockGuard lock(monitor_mutex_);
    if (monitor_) return;
    worker_ = MakeThread<TWorker>(*this);
    monitor_ = MakeThread<TMsgMonitor>(false);
    monitor_->SetAcceptedLevels({mlInformation});
    monitor_->AddCategory(EventCategory(ekChatMessage));
    monitor_->SetLevelHandler(
        mlInformation, [this](const std::string& category, const std::string&, TMsgData& data, uint8_t) {
          if (AnsiUpperCase(category).find("EVENT") == std::string::npos) return;
          const auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data);
          if (!object) return;
          // A copy: the shared event is only ours while the handler runs.
          const auto* event = dynamic_cast<const TMohaaEvent*>(object->get());
          if (!event || event->kind != ekChatMessage) return;
          try {
            Enqueue(CloneEvent(event));
          } catch (const std::exception& e) {
            PostGlobal(std::string("TChatWatch failed with: ") + e.what(), mlCritical);
          }
        });
    subscription_ = kv::Subscribe(*monitor_);
  }
}

void TChatWatch::Close() {
  TThreadPtr<TMsgMonitor> monitor;
  {
    TLockGuard lock(monitor_mutex_);
    if (!monitor_) return;
    monitor = std::move(monitor_);
  }
  subscription_.Reset();
  monitor.reset();  // queues what it had, then ends
  {
    // The lines already queued are still handled.
    std::unique_lock lock(queue_mutex_);
    idle_cv_.wait_for(lock, std::chrono::seconds(5), [&] { return queue_.empty() && !busy_; });
  }
  worker_.reset();
  std::lock_guard lock(queue_mutex_);
  queue_.clear();
}

void TChatWatch::Enqueue(std::shared_ptr<const TMohaaEvent> event) {
  bool report = false;
  {
    std::lock_guard lock(queue_mutex_);
    if (queue_.size() >= queue_limit_) {
      // Chat is not worth holding up the log for: the line is dropped.
      ++dropped_;
      report = !overflow_reported_;
      overflow_reported_ = true;
    } else {
      queue_.push_back(std::move(event));
      if (queue_.size() < queue_limit_ / 2) overflow_reported_ = false;
    }
  }
  if (report)
    PostGlobal("TChatWatch: more than " + std::to_string(queue_limit_) +
                   " chat lines wait - new ones are dropped until the queue drains",
               mlError);
  queue_cv_.notify_one();
}

bool TChatWatch::TakeNext(std::shared_ptr<const TMohaaEvent>& event, const TGeneralThread& worker) {
  std::unique_lock lock(queue_mutex_);
  busy_ = false;
  idle_cv_.notify_all();
  queue_cv_.wait(lock, [&] { return !queue_.empty() || worker.Terminated(); });
  if (queue_.empty()) return false;
  event = std::move(queue_.front());
  queue_.pop_front();
  busy_ = true;
  ++handled_;
  return true;
}

bool TChatWatch::Flush(int64_t timeout_ms) {
  const auto hub = GetMonitorInterface();
  if (hub && !hub->Flush(timeout_ms)) return false;
  {
    TLockGuard lock(monitor_mutex_);
    if (monitor_ && !monitor_->Flush(timeout_ms)) return false;
  }
  std::unique_lock lock(queue_mutex_);
  return idle_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return queue_.empty() && !busy_; });
}

uint64_t TChatWatch::Dropped() const {
  std::lock_guard lock(queue_mutex_);
  return dropped_;
}

uint64_t TChatWatch::Handled() const {
  std::lock_guard lock(queue_mutex_);
  return handled_;
}

// --- one chat line -----------------------------------------------------------

void TChatWatch::HandleChat(const TMohaaEvent& event) {
  try {
    if (event.kind == ekChatMessage) HandleLine(event);
  } catch (const std::exception& e) {
    PostGlobal(std::string("TChatWatch warning exception ") + e.what(), mlDebug);
  }
  try {
    SendSaid();
  } catch (const std::exception& e) {
    said_.clear();
    PostGlobal(std::string("TChatWatch warning exception ") + e.what(), mlDebug);
  }
}

void TChatWatch::HandleLine(const TMohaaEvent& event) {
  const auto settings = settings_.Get();
  TUserListEntry speaker;
  if (event.log_entry) speaker = event.log_entry->first_player;
  CheckBadWords(*settings, event, speaker);
  // After an answer every line is left alone for a while, so a crowd
  // typing commands cannot make the server flood the chat.
  if (event.time < last_command_ + settings->command_timeout * kSecond) return;
  if (RunCommand(*settings, event, speaker)) return;
  RunTriggers(event, speaker);
}

void TChatWatch::CheckBadWords(const TChatSettings& s, const TMohaaEvent& event,
                               const TUserListEntry& speaker) {
  std::vector<std::string> broken;
  for (const auto& w : s.bad_words) {
    if (!w.pattern) {
      PostGlobal("Bad Words: filter [" + w.text + "] deleted Error on parsing : " + w.error, mlInformation);
      broken.push_back(w.text);
      continue;
    }
    std::string matched;
    // A search that runs into the engine's work limit counts as no match:
    // a player's long line must not delete the operator's filter.
    if (!w.pattern->Search(event.text, matched)) continue;
    auto bad = std::make_shared<TMohaaEvent>(ekBadWord, "Match: " + matched + "  Chat: " + event.text);
    bad->time = event.time;
    bad->log_entry = std::make_unique<TLogEntry>();
    bad->log_entry->first_player = speaker;
    bad->log_entry->line = event.log_entry ? event.log_entry->line : std::string();
    PostEvent(std::move(bad));
  }
  if (broken.empty()) return;
  // The broken filters leave the snapshot and the setting at once, so each
  // is reported once. (The store is written after the snapshot's update
  // lock is released: nothing else is taken under it.)
  std::string rest;
  settings_.Update([&](TChatSettings& next) {
    std::erase_if(next.bad_words, [&](const TChatSettings::TBadWord& w) {
      return std::find(broken.begin(), broken.end(), w.text) != broken.end();
    });
    std::vector<std::string> texts;
    for (const auto& w : next.bad_words) texts.push_back(w.text);
    rest = JoinChatCommaText(texts);
  });
  runtime_.config.SetString("BadWords", rest);
}

void TChatWatch::Answer(double when, const std::string& text, bool skip_filter) {
  last_command_ = when;
  Say(text, skip_filter);
}

bool TChatWatch::RunCommand(const TChatSettings& s, const TMohaaEvent& event, const TUserListEntry& speaker) {
  const std::string upper = AnsiUpperCase(event.text);
  const double when = event.time;
  if (StartsWith(upper, "!ABOUT")) {
    Answer(when, std::string("ZAQ Kelvandrome is coded by ") + kChatContactMail, true);
    return true;
  }
  if (StartsWith(upper, "!HELP") && s.help) {
    last_command_ = when;
    if (s.console_command) Say(kHelpVersion);
    Say(kHelpAbout);
    if (s.nick) Say(kHelpNick);
    if (s.stats) Say(kHelpStats);
    if (s.skills) Say(kHelpSkills);
    if (s.kick) Say(kHelpKick);
    if (s.ip) Say(kHelpIp);
    return true;
  }
  if (StartsWith(upper, "!NICK") && s.nick) {
    last_command_ = when;
    const std::string nick = Trimmed(std::string_view(event.text).substr(5));
    if (nick.empty()) {
      Say(kHelpNick);
      return true;
    }
    const auto history = tracker_.Store().GetUserEntry(nick);
    if (!history)
      Say("User not Found");
    else
      StatsAnswer(s, history);
    return true;
  }
  if (StartsWith(upper, "!SKILLS") && s.skills) {
    last_command_ = when;
    const std::string nick = Trimmed(std::string_view(event.text).substr(7));
    if (nick.empty()) {
      const auto history = tracker_.GetUserByIdOrNick(speaker.client_number, speaker.name);
      if (!history)
        Say("HMM - User [" + speaker.name + "] not Found");
      else
        ScoreAnswer(s, history);
      return true;
    }
    const auto history = tracker_.Store().GetUserEntry(nick);
    if (!history)
      Say("User not Found");
    else
      ScoreAnswer(s, history);
    return true;
  }
  if (StartsWith(upper, "!STATS") && s.stats) {
    last_command_ = when;
    const auto history = tracker_.GetUserByIdOrNick(speaker.client_number, speaker.name);
    if (!history)
      Say("HMM - User [" + speaker.name + "] not Found");
    else
      StatsAnswer(s, history);
    return true;
  }
  if (((s.console_chat && upper.find("CONSOLE") != std::string::npos) || StartsWith(upper, "!VERSION")) &&
      s.console_command) {
    Answer(when, std::string("hi i`m ZAQ Kelvandrome  - Version: ") + kVersionText + " running - " +
                     kChatWebAddress + " " + kChatContactMail + " use !help to get a command listing");
    return true;
  }
  if (StartsWith(upper, "!IP") && s.ip) {
    Answer(when, "ServerIP: " + s.rcon_host + " ServerPort: " + s.rcon_port +
                     " ServerName: " + tracker_.ServerName());
    return true;
  }
  if (StartsWith(upper, "!KICK") && s.kick) {
    last_command_ = when;
    const auto timing = runtime_.server.kicks.Get();
    kicker_.AddKickThread(speaker.client_number, timing->kick_repeat, timing->kick_delay, {},
                          kSelfKickReason);
    return true;
  }
  return false;
}

void TChatWatch::RunTriggers(const TMohaaEvent& event, const TUserListEntry& speaker) {
  for (const auto& fired : triggers_.Fire(event.text, event.time)) {
    try {
      if (!fired.error.empty()) throw std::runtime_error(fired.error);
      PostGlobal("Chat Trigger [" + fired.trigger + "] matching sending message", mlDebug);
      for (const auto& line : SplitReactionLines(DecodeReactionEscapes(fired.reaction))) {
        if (line.size() > kMaxConsoleMessage)
          Say(line);  // refused with the console's message
        else
          Say(ExpandMessage(&runtime_.server, line, {}, speaker.client_number, &event));
      }
    } catch (const std::exception& e) {
      PostGlobal("Error checking Chat Trigger " + fired.trigger +
                     " please check the Trigger Setup  Error: " + e.what(),
                 mlInformation);
    }
  }
}

// --- statistics --------------------------------------------------------------

bool TChatWatch::MayDumpStats(const TChatSettings& s, THistoryUserEntry& history) {
  const double now = runtime_.clock.Now();
  std::unique_lock lock(history.lock);
  TVariant last;
  double last_dump = 0;
  if (history.persistent.TryGetValue("LastStatsDump", last)) {
    try {
      last_dump = last.AsDouble();
    } catch (const std::exception&) {
      last_dump = 0;
    }
  }
  if (last_dump + s.stats_timeout * kSecond >= now) return false;
  history.persistent.SetValue("LastStatsDump", TVariant::Date(now));
  return true;
}

std::string TChatWatch::ScoreText(const std::string& nick) {
  const auto score = runtime_.server.ScoreFunction();
  if (!score || !*score) return "none";
  return (*score)(&runtime_.server, nick);
}

void TChatWatch::StatsAnswer(const TChatSettings& s, const std::shared_ptr<THistoryUserEntry>& history) {
  if (!MayDumpStats(s, *history)) return;
  std::unique_ptr<THistoryUserEntry> copy;
  {
    std::shared_lock lock(history->lock);
    copy = std::make_unique<THistoryUserEntry>(*history);
  }
  const TVarList& p = copy->persistent;
  const std::string user = "User: [" + copy->player.name + "]";
  std::string line = user + "  " + Piece(p, "Last Seen", "LastSeen", true) +
                     Piece(p, "Has Killed", "haskilled") + Piece(p, "Was Killed", "waskilled");
  if (p.Exists("MapsPlayed"))
    line += Piece(p, "MapsPlayed", "MapsPlayed") + " Skills: [" + ScoreText(copy->player.name) + "]";
  Say(line);
  if (s.stats_has_killed) {
    std::string pieces;
    for (const char* cls : kWeaponClassOrder) {
      TVariant v;
      if (p.TryGetValue(std::string("hasKilledwith [") + cls + "]", v))
        pieces += std::string(" ") + cls + ": [" + WholeText(v) + "]";
    }
    if (!pieces.empty()) Say(user + "  Kills with " + pieces);
  }
  if (s.stats_other) {
    const std::string pieces =
        Piece(p, "Reloads", "Reload") + Piece(p, "Scoreboardviews", "ShowStats") +
        Piece(p, "Teamkills", "TeamKills") + Piece(p, "LastTeamKill", "LastTeamKill", true) +
        Piece(p, "Spawnkills", "Spawnkills") + Piece(p, "LastSpawnKill", "LastSpawnKill", true);
    if (!pieces.empty()) Say(user + pieces);
  }
  if (s.stats_spree) {
    const std::string pieces =
        Piece(p, "Killing Runs", "killingsprings") + Piece(p, "Max Killing Run", "maxkillingspring") +
        Piece(p, "Loosing Runs", "loosingsprings") + Piece(p, "Max Loosing Run", "maxloosingspring");
    if (!pieces.empty()) Say(user + pieces);
  }
  if (!s.special_line.empty()) {
    const std::string value = SpecialLine(s, *copy);
    if (!value.empty()) Say(value);
  }
}

std::string TChatWatch::SpecialLine(const TChatSettings& s, const THistoryUserEntry& copy) {
  std::string text = ExpandPlaceholders(&runtime_.server, s.special_line, {}, kClientNotSet, nullptr, &copy);
  // Placeholders the player's record cannot fill count as 1.
  for (int i = 0; i < 50; ++i) {
    const size_t a = text.find('%');
    if (a == std::string::npos) break;
    const size_t b = text.find('%', a + 1);
    if (b == std::string::npos) break;
    text.replace(a, b - a + 1, "1");
  }
  if (text.find('%') != std::string::npos) return {};
  const std::string normal = TArith::Normalize(text);
  const std::string syntax = TArith::CheckSyntax(normal);
  if (!syntax.empty()) {
    PostGlobal("TChatWatch.DumpUser please check the formula [" + s.special_line + "] Parse Error:" + syntax,
               mlCritical);
    return {};
  }
  std::string value;
  try {
    TArith arith;
    value = ArithValueToText(arith.Evaluate(normal));
  } catch (const std::exception& e) {
    PostGlobal("TChatWatch.DumpUser please check the formula [" + s.special_line +
                   "] Calculation Error: " + e.what(),
               mlCritical);
  }
  return "User: [" + copy.player.name + "] " + value;
}

void TChatWatch::ScoreAnswer(const TChatSettings& s, const std::shared_ptr<THistoryUserEntry>& history) {
  if (!MayDumpStats(s, *history)) return;
  std::string nick;
  TVariant maps;
  {
    std::shared_lock lock(history->lock);
    nick = history->player.name;
    if (!history->persistent.TryGetValue("MapsPlayed", maps)) return;
  }
  Say("User: [" + nick + "] MapsPlayed: [" + WholeText(maps) + "] Skills: [" + ScoreText(nick) + "]");
}

void TChatWatch::Say(const std::string& text, bool skip_filter) { said_.push_back({text, skip_filter}); }

void TChatWatch::SendSaid() {
  if (said_.empty()) return;
  std::vector<TChatLine> lines;
  for (auto& line : said_) {
    // The console's own rules report a text that is too long (and refuse
    // an empty one).
    if (line.text.empty() || line.text.size() > kMaxConsoleMessage)
      SendConsoleMessage(runtime_.server, line.text, true, false, line.skip_filter);
    else
      lines.push_back(std::move(line));
  }
  said_.clear();
  if (!lines.empty())
    ConsoleMessageThreads(runtime_.server).Add(MakeThread<TChatSender>(runtime_.server, std::move(lines)));
}

}  // namespace kv
