// TWeaponWatchList: forbidden weapon classes. Every kill whose weapon class
// has a watch warns the killer, kicks him after a number of such kills in
// one visit and bans him after a number of such kicks in his lifetime. It
// owns the watches, their data file (WeaponsBan.dat) and the operator's
// "weaponbans" command.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "automation/weapon_watch_file.h"
#include "core/thread_annotations.h"
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
// killer's history is at hand under the store lock; warnings go out through
// background console senders and kicks through the kick workers, neither
// waiting for the network. A ban is handed to the main loop, because the
// ban-list lock ranks above the store lock held here. The watches are
// added, removed, loaded and saved from any thread under the list lock, a
// leaf.
class TWeaponWatchList : public TSubsystem {
 public:
  // Registers its kill handler on the tracker, which must not be open yet.
  // Without a ban list the bans are posted only.
  TWeaponWatchList(TRuntime& runtime, THistoryUserList& tracker, TKicker& kicker, TBanList* bans);

  std::string_view Name() const override { return "weapon watch"; }
  void RegisterDataFiles(TDataFileRegistry& registry) override;  // WeaponsBan.dat
  void RegisterCommands(TCommandTable& commands) override;       // "weaponbans"

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

 private:
  void Judge(const TMohaaEvent& event, const TWeaponWatchDef& watch);

  TRuntime& runtime_;
  THistoryUserList& tracker_;
  TKicker& kicker_;
  TBanList* bans_;
  mutable TMutex mutex_;  // the list lock
  std::vector<TWeaponWatchDef> watches_ GUARDED_BY(mutex_);
};

}  // namespace kv
