// The connected remote-administration clients: one entry per open
// connection with the user name it last authenticated as, its address, its
// handle and two queues of chat lines waiting for the client's next reply.
// The fixed-size snapshot of the list is what clients receive for
// "Get Connected Clients":
//
//   count (int32), then per client: user name (length byte + 200 bytes),
//   address (length byte + 20 bytes), handle (int32); little-endian.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/stream.h"
#include "core/thread_annotations.h"

namespace kv {

inline constexpr size_t kClientUserNameMax = 200;
inline constexpr size_t kClientAddressMax = 20;
inline constexpr size_t kClientSnapshotEntrySize = 1 + kClientUserNameMax + 1 + kClientAddressMax + 4;
// At most this many lines wait in each queue of a client; the oldest go
// first. A client that never asks for its chat cannot grow the service.
inline constexpr size_t kClientChatQueueMax = 500;
// At most this many lines wait in the server's own chat log.
inline constexpr size_t kServerChatLogMax = 500;
inline constexpr const char* kErrClientListLoad = "can not Load TClientList - Client";
inline constexpr const char* kOperatorChatPrefix = "[Kelvandrome] ";

struct TSocketListEntry {
  std::string user_name;                // empty until a packet passed the password check
  std::string address;                  // peer address (the snapshot keeps 20 characters)
  int32_t handle = -1;                  // key of the entry
  std::deque<std::string> client_chat;  // lines from other clients and the operator
  std::deque<std::string> player_chat;  // chat lines of the game's players
};

// What the snapshot carries of one client.
struct TClientSnapshotEntry {
  std::string user_name;
  std::string address;
  int32_t handle = -1;
  bool operator==(const TClientSnapshotEntry&) const = default;
};

// Thread-safe list of the connected clients, in connection order. Every
// operation takes the list's lock; `Locked` runs a function with the lock
// held for work over several entries.
class TClientList {
 public:
  // Adds an entry unless the handle is listed already; false then.
  bool Add(int32_t handle, std::string address);
  // Removes the entry of a handle; false when there is none.
  bool Remove(int32_t handle);
  void Clear();
  size_t Count() const;
  // Position of a handle, -1 when not listed.
  int IndexOf(int32_t handle) const;
  // A copy of one entry; none when the handle is not listed.
  std::optional<TSocketListEntry> Get(int32_t handle) const;
  // Sets the user name a connection authenticated as (the last one wins).
  bool SetUserName(int32_t handle, std::string_view user_name);

  // Runs fn with the lock held on every entry in order.
  void Locked(const std::function<void(std::vector<TSocketListEntry>&)>& fn);

  // Chat: a client's line goes to every other client's client-chat queue
  // and to the server's chat log.
  void ClientChat(int32_t sender, std::string_view line);
  // "[Kelvandrome] " + text to every client's client-chat queue.
  void BroadcastOperatorMessage(std::string_view text);
  // A player's chat line to every client's player-chat queue.
  void AddPlayerChat(std::string_view line);
  // Takes (and empties) one client's queues.
  std::vector<std::string> TakeClientChat(int32_t handle);
  std::vector<std::string> TakePlayerChat(int32_t handle);
  // The lines clients sent since the last call, joined by CR LF, and
  // empties that log.
  std::string TakeServerChatLog();

  // The snapshot of the whole list.
  std::vector<TClientSnapshotEntry> Snapshot() const;
  void WriteSnapshot(TStream& stream) const;

 private:
  mutable TMutex mutex_;
  std::vector<TSocketListEntry> entries_ GUARDED_BY(mutex_);
  std::deque<std::string> server_chat_ GUARDED_BY(mutex_);
};

// Writes the snapshot form of entries (names and addresses cut to their
// field sizes).
void WriteClientSnapshot(TStream& stream, const std::vector<TClientSnapshotEntry>& entries);
// Reads a snapshot. False with kErrClientListLoad in *error when the stream
// ends before the announced clients; what was read stays in `entries`.
bool ReadClientSnapshot(TStream& stream, std::vector<TClientSnapshotEntry>& entries,
                        std::string* error = nullptr);

}  // namespace kv
