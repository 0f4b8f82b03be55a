// TChatWatch: what the server does about its players' chat. Every chat line
// is tested against the operator's bad-word expressions (each match becomes
// a "Bad Word" event the player checks punish), then, unless a command was
// answered moments ago, read as a chat command ("!STATS", "!HELP", ...) or
// run against the chat triggers, whose reactions the server says. It owns
// the chat settings, the triggers, their data file (ChatTrigger.dat) and
// the operator's "triggers" command.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "automation/chat_triggers.h"
#include "core/bus_subscription.h"
#include "core/snapshot.h"
#include "core/thread_annotations.h"
#include "core/threads.h"
#include "domain/subsystem.h"
#include "domain/userlist.h"

namespace kv {

struct TRuntime;
class TMohaaEvent;
class TMsgMonitor;
class TPattern;
class THistoryUserList;
class THistoryUserEntry;
class TKicker;

// The answers' fixed texts.
inline constexpr const char* kChatContactMail = "kelvandrome@localhost";
inline constexpr const char* kChatWebAddress = "http://localhost/kelvandrome";
inline constexpr const char* kSelfKickReason = "man i want to get out (selfkick)";

// The chat settings, read when the settings are applied.
struct TChatSettings {
  int32_t command_timeout = 5;  // ChatCommandTimeout, seconds
  int32_t stats_timeout = 60;   // UserStatsTimeOut, seconds
  bool help = true;             // ChatCommandEnableHelp
  bool console_command = true;  // ChatCommandEnableConsoleCommand
  bool console_chat = true;     // ChatCommandEnableConsoleChatCommand
  bool nick = true;             // ChatCommandEnableNick
  bool stats = true;            // ChatCommandEnableStats
  bool skills = true;           // ChatCommandEnableSkills
  bool kick = true;             // ChatCommandEnableKick
  bool ip = true;               // ChatCommandEnableIP
  bool stats_has_killed = true;
  bool stats_other = true;
  bool stats_spree = true;
  std::string special_line;  // ChatCommandEnableStatsSpecialLine
  std::string rcon_host;     // RCONHost (deciphered), for "!IP"
  std::string rcon_port;     // RCONPORT
  // BadWords: the items in order, each compiled, or with its compiler error.
  struct TBadWord {
    std::string text;
    std::shared_ptr<const TPattern> pattern;
    std::string error;
  };
  std::vector<TBadWord> bad_words;
};

// Threads: the bus delivers the chat events to the watch's subscriber
// thread, which only queues them (a bounded queue: when it is full the
// line is dropped, reported once); the watch's own thread sleeps on that
// queue and handles one event after the other. Answers and reactions go
// out through background console senders and the self-kick through the
// kick workers, so the watch never waits for the network. Locks: the queue
// lock and the trigger list's lock are leaves; the watch's thread takes a
// history record's lock only to copy it or to write LastStatsDump.
class TChatWatch : public TSubsystem {
 public:
  TChatWatch(TRuntime& runtime, THistoryUserList& tracker, TKicker& kicker);
  ~TChatWatch() override;  // Close
  TChatWatch(const TChatWatch&) = delete;
  TChatWatch& operator=(const TChatWatch&) = delete;

  std::string_view Name() const override { return "chat"; }
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void RegisterDataFiles(TDataFileRegistry& registry) override;  // ChatTrigger.dat
  void RegisterCommands(TCommandTable& commands) override;       // "triggers"
  void ApplySettings(TSettings& settings) override;
  // Joins the bus and starts the thread: "TChatWatch Started".
  void Open() override;
  // Leaves the bus, handles what is queued, ends the thread: "TChatWatch
  // Stopped".
  void Close() override;

  TChatTriggerList& Triggers() { return triggers_; }
  std::shared_ptr<const TChatSettings> Settings() const { return settings_.Get(); }
  // Reads the settings from `settings` into the snapshot (ApplySettings).
  void ReadSettings(TSettings& settings);

  // Handles one chat event: the watch's thread, or a test's while the
  // watch is not open (the state of the command pause is the thread's own).
  // Never throws.
  void HandleChat(const TMohaaEvent& event);
  // Waits until every event delivered so far has been handled. False on
  // time-out (real time).
  bool Flush(int64_t timeout_ms);
  // Chat lines dropped because the queue was full.
  uint64_t Dropped() const;
  uint64_t Handled() const;

  static constexpr size_t kMaxQueued = 10000;
  // How many chat lines may wait (kMaxQueued unless set; before Open).
  void SetQueueLimit(size_t limit) { queue_limit_ = limit; }

 private:
  class TWorker;
  class TChatSender;
  struct TChatLine {
    std::string text;
    bool skip_filter = false;
  };
  void Enqueue(std::shared_ptr<const TMohaaEvent> event);
  bool TakeNext(std::shared_ptr<const TMohaaEvent>& event, const TGeneralThread& worker);

  // The steps of one chat line; what it says is queued for SendSaid.
  void HandleLine(const TMohaaEvent& event);
  void CheckBadWords(const TChatSettings& s, const TMohaaEvent& event, const TUserListEntry& speaker);
  // True when the line was a command (answered or not).
  bool RunCommand(const TChatSettings& s, const TMohaaEvent& event, const TUserListEntry& speaker);
  void RunTriggers(const TMohaaEvent& event, const TUserListEntry& speaker);

  void StatsAnswer(const TChatSettings& s, const std::shared_ptr<THistoryUserEntry>& history);
  void ScoreAnswer(const TChatSettings& s, const std::shared_ptr<THistoryUserEntry>& history);
  // The LastStatsDump rule: true (and LastStatsDump set) when the player's
  // statistics may be said now.
  bool MayDumpStats(const TChatSettings& s, THistoryUserEntry& history);
  std::string ScoreText(const std::string& nick);
  std::string SpecialLine(const TChatSettings& s, const THistoryUserEntry& copy);
  // Queues a final text (no placeholders are expanded: it may hold nicks)
  // for this chat line's answer, through the flood filter unless
  // skip_filter; SendSaid hands the answer's lines to one background
  // sender, which says them in order.
  void Say(const std::string& text, bool skip_filter = false);
  void SendSaid();
  void Answer(double when, const std::string& text, bool skip_filter = false);

  TRuntime& runtime_;
  THistoryUserList& tracker_;
  TKicker& kicker_;
  TChatTriggerList triggers_;
  TSnapshot<TChatSettings> settings_;

  // The watch's thread only.
  double last_command_ = 0;  // date-time of the last answered command
  std::vector<TChatLine> said_;

  mutable std::mutex queue_mutex_;  // a leaf
  std::condition_variable queue_cv_;
  std::condition_variable idle_cv_;
  std::deque<std::shared_ptr<const TMohaaEvent>> queue_;  // guarded by queue_mutex_
  bool busy_ = false;                                     // guarded by queue_mutex_
  size_t queue_limit_ = kMaxQueued;
  bool overflow_reported_ = false;  // guarded by queue_mutex_
  uint64_t dropped_ = 0;            // guarded by queue_mutex_
  uint64_t handled_ = 0;            // guarded by queue_mutex_

  TMutex monitor_mutex_;
  TThreadPtr<TMsgMonitor> monitor_ GUARDED_BY(monitor_mutex_);
  TBusSubscription subscription_;
  TThreadPtr<TWorker> worker_;
};

}  // namespace kv
