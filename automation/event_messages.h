// TEventMessageController: the messages the server says when something
// happens. It watches the events of the kinds its definitions name, turns
// each matching definition into a pending message due a number of seconds
// after the event, and says the message when it is due. It owns the
// definitions, their data file (EventMessages.dat) and the operator's
// "eventmessages" command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "automation/event_message_file.h"
#include "core/bus_subscription.h"
#include "core/clock.h"
#include "core/thread_annotations.h"
#include "core/threads.h"
#include "domain/subsystem.h"
#include "domain/userlist.h"

namespace kv {

struct TRuntime;
class TMohaaEvent;
class TMsgMonitor;
class TPattern;
class TStream;

// Threads: events are matched on the controller's bus subscriber thread,
// which sleeps on its queue; due messages are said by its sender thread,
// which sleeps on a TClockCondition until the first pending message is due
// on the injectable clock (or a new one arrives, or the controller closes).
// The definitions are added, removed, loaded and saved from any thread.
// Locks: the list lock guards the definitions and the pending messages; it
// is a leaf (nothing is expanded, sent or posted while it is held).
class TEventMessageController : public TSubsystem {
 public:
  explicit TEventMessageController(TRuntime& runtime);
  ~TEventMessageController() override;  // Close
  TEventMessageController(const TEventMessageController&) = delete;
  TEventMessageController& operator=(const TEventMessageController&) = delete;

  std::string_view Name() const override { return "event messages"; }
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void RegisterDataFiles(TDataFileRegistry& registry) override;  // EventMessages.dat
  void RegisterCommands(TCommandTable& commands) override;       // "eventmessages"
  // Joins the bus and starts the sender: "TEventMessageController Started".
  void Open() override;
  // Leaves the bus after the events already delivered, ends the sender:
  // "TEventMessageController Stopped". Pending messages stay unsaid.
  void Close() override;

  // --- Definitions (any thread) ------------------------------------------
  // Appends a copy and posts "MessageEventListChanged". A filter that is no
  // valid expression is reported at once (level 4); the definition is kept
  // but never matches until it is mended.
  void Add(TMohaaMessage message);
  // Removes the first definition equal to `message`; posts
  // "MessageEventListChanged" either way. False when there was none.
  bool Delete(const TMohaaMessage& message);
  std::vector<TMohaaMessage> Definitions() const;
  // Removes every definition (no event).
  void Clear();
  // Clear, then the file's definitions; throws what ReadEventMessagesFile
  // throws, keeping the definitions read before. After a successful read
  // of a non-empty stream: "MessageEventListChanged".
  void Load(TStream& in);
  void Save(TStream& out) const;

  // --- Work (tests call these directly as well) --------------------------
  // Matches one event against the definitions (the subscriber thread calls
  // it for each event). Never throws.
  void HandleEvent(const TMohaaEvent& event);
  // Says every pending message that is due now (the sender thread calls it).
  void SendDue();
  size_t Pending() const;
  // Waits until every event delivered so far has been matched and every
  // message then due has been said (tests). False on time-out (real time).
  bool Flush(int64_t timeout_ms);
  // Waits until every event delivered so far has been matched, without
  // waiting for the messages to be said (those wait for the rcon budget,
  // which a manual clock only refills when moved). False on time-out.
  bool WaitMatched(int64_t timeout_ms);

  // At most this many messages wait; the oldest go first beyond it.
  static constexpr size_t kMaxPending = 10000;

 private:
  struct TDefinition;
  // A message waiting for its time.
  struct TPendingMessage {
    std::string text;  // expanded already unless expand_when_sent
    bool expand_when_sent = false;
    bool only_if_online = false;
    double due = 0;  // date-time
    TUserListEntry first, second;
  };
  class TSender;

  static std::shared_ptr<const TDefinition> Compile(TMohaaMessage message);
  void Subscribe(const TMohaaMessage& message);
  void PostListChanged();
  // Says what is due; returns when the next message is due (SteadyMs), or
  // TClockCondition::kNoDeadline when none waits.
  int64_t SendDueAndNext();
  void Say(const TPendingMessage& message);
  void WakeSender();

  // StopEventMessage, read at each event and before each message: true
  // drops the events and the messages waiting.
  bool Stopped() const;

  TRuntime& runtime_;

  mutable TMutex mutex_;  // the list lock
  std::vector<std::shared_ptr<const TDefinition>> definitions_ GUARDED_BY(mutex_);
  // A deque: when too many wait, the oldest are dropped from the front at
  // each new one, which a vector would pay for with a move of all the rest.
  std::deque<TPendingMessage> pending_ GUARDED_BY(mutex_);
  bool overflow_reported_ GUARDED_BY(mutex_) = false;

  // Open/Close (main thread); Add reads them under the monitor lock.
  TMutex monitor_mutex_;
  TThreadPtr<TMsgMonitor> monitor_ GUARDED_BY(monitor_mutex_);
  TBusSubscription subscription_;
  TThreadPtr<TSender> sender_;
};

}  // namespace kv
