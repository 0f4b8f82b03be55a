// The ban list: who may not play. Each ban names a nick pattern and/or an
// address pattern (regular expressions), or the id of an anti-cheat client,
// with an optional end and the message announced when it strikes. Stored
// in Data/BanList.dat; remote clients receive the same bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/stream.h"
#include "core/thread_annotations.h"

namespace kv {

class TPattern;

// One ban; a plain record.
struct TBanListEntry {
  std::string address_filter;  // expression tested against a player's address; empty: none
  std::string nick_filter;     // expression tested against a player's name; empty: none
  std::string ac_id;           // anti-cheat client id; empty for nick/address bans
  double end = 0;              // date-time the ban ends; 0 = never
  std::string message;         // template announced when it strikes

  bool operator==(const TBanListEntry&) const = default;
};

inline constexpr const char* kDefaultBanMessage = "%playernick% is banned";
inline constexpr const char* kBanLoadError = "Error loading Ban Data";

// BanList.dat, little-endian: a 32-bit count, then per ban its end (8-byte
// IEEE double, days) and four strings (32-bit byte count + bytes): address
// filter, nick filter, anti-cheat id, message.
void WriteBanListFile(TStream& out, const std::vector<TBanListEntry>& bans);
// Appends the bans of the stream to `bans` as they are read. An empty
// stream holds no bans. Throws EStreamError with kBanLoadError when the
// file announces more bans than it holds (or a negative count), and the
// stream's own error for a cut or absurd string; the bans read before the
// damage stay in `bans`. Never allocates more than the stream's size.
void ReadBanListFile(TStream& in, std::vector<TBanListEntry>& bans);

// The list with its lock (the ban-list lock). Every operation takes the
// lock; events are published under it. Lock order: the ban-list lock is
// taken before the current-list lock, the history records' locks, the
// kick registry's lock and the bus's locks; nothing takes it while holding
// one of those.
class TBanList {
 public:
  // A ban as kept: the record and its compiled patterns (null when empty or
  // not a valid expression, with the compile error beside it).
  struct TStoredBan {
    TBanListEntry entry;
    std::shared_ptr<const TPattern> nick;
    std::shared_ptr<const TPattern> address;
    std::string nick_error, address_error;
    bool address_error_reported = false;
  };

  explicit TBanList(TClock& clock) : clock_(clock) {}
  TBanList(const TBanList&) = delete;
  TBanList& operator=(const TBanList&) = delete;

  // end := now + minutes, unless minutes is 0 or -1 (never); then AddBanUntil.
  int32_t AddBan(const std::string& nick_filter, const std::string& address_filter,
                 const std::string& message, int32_t minutes);
  // A ban with exactly these filters (letter case counts) gets the later end
  // (0, never, counts as the latest; a stored 0 as the earliest) and the new
  // message trimmed (none given: the stored one stays), result -1; otherwise a new ban is appended with the
  // message trimmed (the default one when empty), result its index. A
  // change or an append publishes "BanAdded".
  int32_t AddBanUntil(const std::string& nick_filter, const std::string& address_filter,
                      const std::string& message, double end);
  // The same keyed on the anti-cheat id; an existing ban with the id loses
  // its nick and address filters.
  int32_t AddIdBan(const std::string& id, int32_t minutes, const std::string& message);
  int32_t AddIdBanUntil(const std::string& id, const std::string& message, double end);
  // The first ban with exactly these filters / this id is announced as
  // "BanOver" and removed. False when there is none.
  bool RemoveBan(const std::string& nick_filter, const std::string& address_filter);
  bool RemoveIdBan(const std::string& id);
  // The ban at this index (0-based), announced as "BanOver". False when the
  // index is out of range.
  bool RemoveAt(size_t index);

  std::vector<TBanListEntry> Entries() const;
  size_t Count() const;
  // Runs fn on the stored bans under the lock: read access for the list
  // views, and the scan, which may also remove expired bans through it.
  void WithBans(const std::function<void(std::vector<TStoredBan>& bans)>& fn);

  // Replaces the list from the file form: cleared, then every ban re-added
  // (duplicates merge; each publishes "BanAdded"); an empty message is read
  // as one blank so it stays empty instead of becoming the default. Throws
  // what ReadBanListFile throws; the bans read before stay.
  void Load(TStream& in);
  void Save(TStream& out) const;

  // The description of "BanAdded" and "BanOver" for a ban.
  static std::string Description(const TBanListEntry& ban);
  // Publishes "BanOver" for a ban (the scan's expiry uses it too).
  static void PublishBanOver(const TBanListEntry& ban);

 private:
  static TStoredBan Stored(TBanListEntry entry);
  int32_t AddLocked(const std::string& nick_filter, const std::string& address_filter,
                    const std::string& message, double end) REQUIRES(mutex_);
  int32_t AddIdLocked(const std::string& id, const std::string& message, double end) REQUIRES(mutex_);
  double EndAfterMinutes(int32_t minutes) const;

  TClock& clock_;
  mutable TMutex mutex_;  // the ban-list lock: guards bans_
  std::vector<TStoredBan> bans_ GUARDED_BY(mutex_);
};

}  // namespace kv
