// Player lists: one row per client of a "Status" poll, the list of one
// poll, and the current player list that a server state holds.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/counters.h"
#include "core/stream.h"
#include "core/thread_annotations.h"
#include "domain/domain.h"

namespace kv {

// One row of the game server's player list; a plain record copied by value.
struct TUserListEntry {
  std::string name;
  std::string address;  // IP address without the port
  int32_t score = 0;
  int32_t ping = 0;  // 999 while connecting
  int32_t client_number = kClientNotSet;
  int32_t last_message = 0;
  int32_t qport = 0;
  int32_t rate = 0;
  std::string map;
  std::string allied_model = "unknown";
  std::string german_model = "unknown";
  std::string team_name = "unknown";
  std::string weapon = "unknown";

  bool operator==(const TUserListEntry&) const = default;
};

inline constexpr int32_t kConnectingPing = 999;

// The player list of one poll. Its rows are guarded by the list's own lock;
// the statistics are set by the poll that builds the list.
class TUserList {
 public:
  TUserList() = default;
  TUserList(const TUserList& other);  // CopyUserList
  TUserList& operator=(const TUserList&) = delete;

  int32_t min_ping = INT32_MAX;
  int32_t max_ping = 0;
  int32_t avg_ping = 0;
  int32_t connecting = 0;
  int32_t game_type = -1;
  std::string server_name = "unkown";
  std::string map_name;

  // Row access, each under the list's lock.
  void Add(const TUserListEntry& row);
  int Count() const;
  TUserListEntry Row(int i) const;
  std::vector<TUserListEntry> Rows() const;
  void Clear();
  // Runs fn on every row under the list's lock.
  template <typename Fn>
  void ForEachRow(Fn&& fn) {
    TRecursiveLockGuard lock(mutex_);
    for (auto& r : rows_) fn(r);
  }
  void SetRows(std::vector<TUserListEntry> rows);

 private:
  mutable TRecursiveMutex mutex_;
  std::vector<TUserListEntry> rows_ GUARDED_BY(mutex_);
  TLiveCount<TCounter::UserLists> live_;
};

// A copy of the first row with that client number, or a row with an empty
// name and client number -1.
TUserListEntry FindListEntry(const TUserList& list, int32_t client_number);
std::unique_ptr<TUserList> CopyUserList(const TUserList& list);
// The list's binary form for the remote-administration packets.
void WriteUserList(const TUserList& list, TStream* stream);

// The current player list of one game server (the last poll's), held by
// its server state (TMohaaServerInfo::players): each service has its own.
// One lock of its own (docs/ARCHITECTURE.md, lock order). Any thread.
class TCurrentPlayerList {
 public:
  // A copy of the current list, or nullptr before the first poll.
  std::unique_ptr<TUserList> Snapshot() const;
  std::unique_ptr<TUserList> GetCurrentPlayerList() const { return Snapshot(); }
  // Write to the rows of one client in the current list (none: nothing).
  void SetModelsOnPlayerOnActualList(int32_t client_number, const std::string& allied,
                                     const std::string& german) const;
  void SetTeamOnPlayerOnActualList(int32_t client_number, const std::string& team) const;
  void SetWeaponOnPlayerOnActualList(int32_t client_number, const std::string& weapon) const;

  // Runs fn(current list or nullptr) while holding the lock; the poll uses
  // it to carry values over, replace the list and publish it. Callable on
  // a const server state: the players change whatever its settings do.
  template <typename Fn>
  auto With(Fn&& fn) const {
    TLockGuard lock(mutex_);
    return fn(slot_);
  }

 private:
  template <typename Fn>
  void WriteRowsOf(int32_t client_number, Fn&& write) const;

  mutable TMutex mutex_;
  mutable std::unique_ptr<TUserList> slot_ GUARDED_BY(mutex_);
};

}  // namespace kv
