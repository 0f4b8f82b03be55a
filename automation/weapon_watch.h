// TWeaponWatchList: forbidden weapon classes. Every kill whose weapon class
// has a watch warns the killer, kicks him after a number of such kills in
// one visit and bans him after a number of such kicks in his lifetime. It
// owns the watches, their data file (WeaponsBan.dat) and the operator's
// "weaponbans" command.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "automation/weapon_watch_file.h"
#include "core/thread_annotations.h"
#include "core/threads.h"
#include "domain/serverinfo.h"
#include "domain/subsystem.h"

namespace kv {

struct TRuntime;
class TMohaaEvent;
class THistoryUserList;
class TKicker;
class TBanList;
class TStream;

// Threads: the kills are judged on the tracker's event thread (a handler of
// the "kill" kind, which the tracker takes from the bus anyway), where the
// killer's history is at hand under the store lock. A warning is expanded
// there and handed to the watch's own sender thread, which says one after
// the other, each waiting for the rcon budget (a thread per warning would
// pile up by the thousand when kills come faster than the budget lets
// messages through); kicks go through the kick workers. A ban is handed to
// the main loop, because the ban-list lock ranks above the store lock held
// here. The watches are added, removed, loaded and saved from any thread
// under the list lock, a leaf; the sender's queue lock is a leaf as well.
class TWeaponWatchList : public TSubsystem {
 public:
  // Registers its kill handler on the tracker, which must not be open yet.
  // Without a ban list the bans are posted only.
  TWeaponWatchList(TRuntime& runtime, THistoryUserList& tracker, TKicker& kicker, TBanList* bans);
  ~TWeaponWatchList() override;  // Close
  TWeaponWatchList(const TWeaponWatchList&) = delete;
  TWeaponWatchList& operator=(const TWeaponWatchList&) = delete;

  std::string_view Name() const override { return "weapon watch"; }
  void RegisterDataFiles(TDataFileRegistry& registry) override;  // WeaponsBan.dat
  void RegisterCommands(TCommandTable& commands) override;       // "weaponbans"
  // Ends the sender after the warnings queued (bounded: those still waiting
  // after 5 s are dropped). It starts with the first warning.
  void Close() override;

  // --- The watches (any thread) ---------------------------------------------
  // Its position, or -1 when the class has a watch already (nothing taken).
  int32_t Add(const TWeaponWatchDef& watch);
  bool Delete(size_t position);
  std::optional<TWeaponWatchDef> Find(uint8_t weapon_class) const;
  std::vector<TWeaponWatchDef> Watches() const;
  void Clear();
  // Clear, then the file's watches (a second one for a class is dropped);
  // throws what ReadWeaponWatchFile throws, keeping the watches read before.
  void Load(TStream& in);
  void Save(TStream& out) const;

  // Judges one kill (tracker thread, store lock held; tests call it the same
  // way through the tracker). Never throws: a failure is posted as
  // "TWeaponWatch failed with: " + text.
  void OnKill(const TMohaaEvent& event);

  // Any thread but the tracker's: waits until the warnings queued so far
  // have been said (or refused). False on time-out (real time).
  bool Flush(int64_t timeout_ms);

  // Warnings waiting for the sender beyond this many are dropped (reported
  // once per overflow).
  static constexpr size_t kMaxQueuedWarnings = 1024;

 private:
  class TSender;
  void Judge(const TMohaaEvent& event, const TWeaponWatchDef& watch);
  void Warn(const TWeaponWatchDef& watch, const TReplaceArray& extra, int32_t client);

  TRuntime& runtime_;
  THistoryUserList& tracker_;
  TKicker& kicker_;
  TBanList* bans_;
  mutable TMutex mutex_;  // the list lock
  std::vector<TWeaponWatchDef> watches_ GUARDED_BY(mutex_);

  std::mutex queue_mutex_;  // guards warnings_, busy_, overflow_; a leaf
  std::condition_variable queue_cv_;
  std::deque<std::string> warnings_;  // expanded texts
  bool busy_ = false;
  bool overflow_ = false;
  std::mutex sender_mutex_;  // guards sender_ (its start and end)
  TThreadPtr<TSender> sender_;
};

}  // namespace kv
