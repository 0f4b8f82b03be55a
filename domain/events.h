// The event object of every "EVENT" category, the parsed log entry it may
// carry, and the per-player record of the history store.
#pragma once

#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "core/bus.h"
#include "core/counters.h"
#include "domain/userlist.h"
#include "formats/varlist.h"

namespace kv {

// A parsed log line: the actor, the other player named in it, the raw line.
struct TLogEntry {
  TUserListEntry first_player;   // client number -1 until found
  TUserListEntry second_player;  // client number -1 until found
  std::string line;
  TVarList variables;
  TLiveCount<TCounter::LogEntrys> live;
};

// A player's record: persistent statistics (placeholders "%DATA...%"), the
// values of the current visit ("%TEMPDATA...%"), the last known list row and
// the last measured pings. Copying takes the row and the persistent
// variables only.
class THistoryUserEntry {
 public:
  THistoryUserEntry() : ping_samples(1, 0) {}
  THistoryUserEntry(const THistoryUserEntry& other);
  THistoryUserEntry& operator=(const THistoryUserEntry&) = delete;

  TVarList persistent;
  TVarList visit;
  TUserListEntry player;
  std::vector<int32_t> ping_samples;
  // Guards the record (multi-reader, single writer).
  mutable std::shared_mutex lock;

 private:
  TLiveCount<TCounter::HistoryEntrys> live_;
};

// A typed game event. Shared among subscribers on the bus; a subscriber
// that keeps it beyond its handler clones it or takes it over.
class TMohaaEvent : public TBusObject {
 public:
  TMohaaEvent();
  explicit TMohaaEvent(uint8_t kind, std::string text = {});
  size_t Footprint() const override;

  std::unique_ptr<TLogEntry> log_entry;
  uint8_t kind = ekUnknown;
  std::unique_ptr<THistoryUserEntry> history_entry;
  std::string text;
  TVarList variables;
  std::unique_ptr<TUserList> player_list;
  double time;  // creation time

 private:
  TLiveCount<TCounter::Events> live_;
};

// A deep copy of the event and every part it carries; nullptr for nullptr.
std::unique_ptr<TMohaaEvent> CloneEvent(const TMohaaEvent* event);
std::unique_ptr<TLogEntry> CloneLogEntry(const TLogEntry& entry);

// The name of the weapon class in the event's "Weapon" value (a kill);
// "Unknown"'s name when it has none or an invalid one.
std::string EventWeaponName(const TMohaaEvent& event);

// Posts the event under "EVENT" + its kind's name, text = the kind's name,
// level 1. True when the bus took it.
bool PostEvent(std::shared_ptr<TMohaaEvent> event);

// Registers the categories every run has: "GLOBAL" (plain), "Exceptions"
// (objects) and the fifty "Event" categories (objects).
void RegisterSystemCategories();

}  // namespace kv
