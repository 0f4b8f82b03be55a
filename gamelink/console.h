// Saying things to the players: SendConsoleMessage (expand, limit, filter,
// send "Say" now or from a background sender, test the delivery, announce
// it), the flood filter TLastConsoleMsgs, and the background sender
// TConsoleMessage.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/counters.h"
#include "core/thread_annotations.h"
#include "core/threads.h"
#include "domain/events.h"
#include "domain/serverinfo.h"

namespace kv {

// The placeholder expansion that messages go through (TMessageExpander,
// TReplaceStr and TReplaceArray are in domain/serverinfo.h). The templates
// module provides it (the game link does not depend on it); the console
// part of the service installs it in its server state. Without one (or
// without a server state), texts go out as they are. Any thread; an empty
// function removes it.
void SetMessageExpander(TMohaaServerInfo& info, TMessageExpander expander);
std::string ExpandMessage(TMohaaServerInfo* info, const std::string& text, const TReplaceArray& extra,
                          int32_t player_id, const TMohaaEvent* event);

inline constexpr size_t kMaxConsoleMessage = 200;

// The text made safe to stand between the double quotes of a console
// command: a double quote becomes an apostrophe (it would end the argument),
// a semicolon a comma (a console that splits lines on it would run the rest
// as a command), CR, LF and NUL a blank (they end the console line).
std::string ConsoleSafeText(std::string text);
// Say "text", with the text made safe unless it is the operator's own.
std::string SayCommand(const std::string& text, bool make_safe = true);
// The delivery test on a reply: "PRINT" with QuakeRCON, else "BROADCAST",
// in any letter case.
bool ReplyShowsDelivery(const TSettingsReader& settings, const std::string& reply);

// The flood filter: the recently delivered texts (upper case, oldest first)
// with how often each was delivered. Thread-safe; one lock (a leaf) held
// for each whole operation.
class TLastConsoleMsgs {
 public:
  // Its limits are read through `settings` at each use.
  explicit TLastConsoleMsgs(TSettingsReader settings) : settings_(settings) {}
  // Reads FilterMessagesSend and FilterMessagesSendMaxOccured.
  bool MaySend(const std::string& text);
  // Reads FilterMessagesSendMaxCount.
  void RecordDelivery(const std::string& text);
  // "UPPER TEXT=count", one line per entry, oldest first.
  std::vector<std::string> Dump() const;

 private:
  struct Entry {
    std::string text;  // upper case
    int32_t count = 0;
  };
  const TSettingsReader settings_;
  mutable TMutex mutex_;  // guards entries_
  std::vector<Entry> entries_ GUARDED_BY(mutex_);
};

// The flood filter of a server's messages, held by its server state:
// created when the console part opens, destroyed when it closes. Without
// one, nothing is filtered and nothing is recorded. Any thread; a caller
// holding the result keeps it alive past a destroy.
void CreateLastConsoleMsgs(TMohaaServerInfo& info);
void DestroyLastConsoleMsgs(TMohaaServerInfo& info);
std::shared_ptr<TLastConsoleMsgs> LastConsoleMsgs(TMohaaServerInfo& info);

// What became of a background message, told once when its sender ends:
// delivered (its last repetition), or why not.
using TSayDone = std::function<void(bool delivered, const std::string& why)>;

// A background sender: waits the delay, expands the text, then says it the
// given number of times, one second apart, each with up to RconMaxRetry
// attempts. Owned by ConsoleMessageThreads(info); ends by itself.
class TConsoleMessage : public TGeneralThread {
 public:
  // expand: the text is still a template (deferred expansion). An already
  // expanded text is not expanded again: a player's nick inserted by the
  // first pass must not be read as a template by a second one. make_safe:
  // the text may hold player-supplied words (ConsoleSafeText); off only for
  // the operator's own words.
  TConsoleMessage(TMohaaServerInfo& info, std::string text, int32_t delay_seconds, int32_t repetitions,
                  bool skip_filter, bool expand, bool make_safe = true, TSayDone done = {});

  void Terminate() override;
  // How many times a pause has looked at the clock and the stop request
  // (its start, each notification, each move of a manual clock): for tests
  // and diagnostics. Any thread.
  uint64_t PauseWakeups() const { return pause_wakeups_.load(std::memory_order_relaxed); }

 protected:
  void Execute() override;

 private:
  // Waits until the monotonic clock (a manual one in tests) reaches
  // deadline_ms; false when the thread was told to end or the application
  // is shutting down. Both wake it; nothing else does.
  bool PauseUntil(int64_t deadline_ms);
  bool Pause(int64_t ms) { return PauseUntil(SteadyMs() + ms); }
  bool Stopping() const;
  // Runs the whole message; why = the reason when the last repetition was
  // not delivered.
  bool Run(std::string& why);
  bool SendRepetition(const std::string& text, int32_t max_retry, int32_t fail_sleep_ms, std::string& why);

  TMohaaServerInfo& info_;
  std::string text_;
  int32_t delay_seconds_;
  int32_t repetitions_;
  bool skip_filter_;
  bool expand_;
  bool make_safe_;
  TSayDone done_;
  int64_t created_ms_;      // the delay counts from the request, not from the thread's start
  std::mutex pause_mutex_;  // the lock the pauses wait with (guards nothing else); a leaf
  TClockCondition pause_cv_;
  std::atomic<uint64_t> pause_wakeups_{0};
  TLiveCount<TCounter::ConsoleMessageThreads> live_;
};

// The running background senders of a server. The service clears them at
// shutdown before the server state goes away (Clear ends and joins every
// sender).
inline TThreadSet& ConsoleMessageThreads(TMohaaServerInfo& info) { return info.ConsoleSenders(); }

// Why a Say was not delivered, for the operator: the error or time-out text,
// or what the server answered instead of a broadcast.
std::string NotDeliveredReason(const std::string& reply);

// The operator's own words (typed on the terminal, sent by a remote
// administrator): said by a background sender with its retries, past the
// flood filter, and byte for byte as typed: no placeholders, nothing
// replaced (the operator may send any console command anyway; only words a
// player supplied are made safe). done learns once what became of it, at
// once when the text is refused (empty, too long, a line break). Any thread.
void SendOperatorMessage(TMohaaServerInfo& info, const std::string& text, TSayDone done);

// Says a text that is already final (expanded) at once, under the rules of
// an immediate SendConsoleMessage (made safe, flood filter, delivery test,
// "Message Send") but without expanding it again: a player's nick that the
// expansion put in must not be read as a template. True when delivered or
// refused by the flood filter. Any thread; blocks for one rcon request.
bool SayFinalText(TMohaaServerInfo& info, const std::string& text, bool skip_filter);

// Says a message to all players. Arguments in the documented order; true
// when delivered, when a background sender was started, or when a rule
// (too long, flood filter) refused the text; false for an empty text, an
// immediate attempt that was not delivered, or an error. Any thread; an
// immediate send blocks the caller for one rcon request.
bool SendConsoleMessage(TMohaaServerInfo& info, const std::string& message, bool background,
                        bool keep_responsive, bool skip_filter, const TReplaceArray& extra = {},
                        int32_t player_id = -1, const TMohaaEvent* event = nullptr, int32_t delay_seconds = 0,
                        int32_t repetitions = 1, bool defer_expansion = false);

}  // namespace kv
