// The remote-administration server: a TCP listener that cuts each
// connection's byte stream into packets, hands every accepted packet to the
// command handler and writes the handler's reply. Strictly request-reply:
// while a connection's packet is being handled nothing more is read from
// it, so a client's packets are handled one at a time and in order.
//
// Threads: one Asio io_context thread does all socket work (accept, reads,
// writes, closes, the idle sweep); command handlers run on a small pool
// of their own, because a handler may wait for rcon replies. Deciphering and
// decompressing a packet happen on the handler pool as well.
//
// Messages go to "GLOBAL" and, for connection notices, as events of kind
// "Remote Connection" (kicks: "KVClient Kick"); their texts are what
// operators know, spelling included.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "domain/traffic.h"
#include "remoteadmin/clients.h"
#include "remoteadmin/packet.h"

namespace kv {

inline constexpr uint16_t kRemoteAdminDefaultPort = 23203;

struct TRemoteAdminOptions {
  uint16_t port = kRemoteAdminDefaultPort;  // 0: any free port (tests; see Port())
  // Address to listen on; empty: every interface. "127.0.0.1" keeps the
  // port on loopback (behind an SSH tunnel, say): the protocol's cipher key
  // is built into every client, so it protects nothing on an open network.
  std::string bind_address;
  bool compression = true;  // compress the replies
  bool disabled = false;    // accept, report and close every connection
  size_t max_connections = 64;
  TPacketLimits limits;
  // A half-received packet idle this long is dropped with its connection.
  int64_t idle_timeout_ms = 20 * 60 * 1000;
  // How often (real time) the idle half-packets are looked for; they are
  // also looked for whenever data arrives. Time is judged on `clock`.
  int64_t idle_sweep_ms = 30 * 1000;
  int handler_threads = 2;
  TClock* clock = nullptr;            // null: the process-wide clock
  TRemoteTraffic* traffic = nullptr;  // null: the process-wide counters
};

class TRemoteAdminServer {
 public:
  // Called once per accepted packet, on a handler thread, with no lock of
  // the server held. It answers with exactly one SendRecord to `connection`.
  using TCommandHandler =
      std::function<void(TRemoteAdminServer& server, int32_t connection, TServerPacket& packet)>;
  // Called after a client was added to the list / after it was removed.
  using TConnectionHook = std::function<void(int32_t connection)>;

  TRemoteAdminServer(TRemoteAdminOptions options, TCommandHandler handler);
  ~TRemoteAdminServer();  // stops
  TRemoteAdminServer(const TRemoteAdminServer&) = delete;
  TRemoteAdminServer& operator=(const TRemoteAdminServer&) = delete;

  // Asked for every complete packet before its block is deciphered, on a
  // handler thread: false drops the packet and closes the connection
  // without a reply (the gate says why itself, if it wants to). For address
  // filters and login throttling, so that a refused address gets nothing
  // decoded beyond the header.
  using TAddressGate = std::function<bool(const std::string& address)>;

  // Set before Start.
  void SetConnectionHooks(TConnectionHook on_connect, TConnectionHook on_disconnect);
  void SetAddressGate(TAddressGate gate);

  // Starts listening. Posts "TGeneralMohaaServer Started"; when the port
  // cannot be had, first the failure at level 4. False (reason in *error)
  // when not listening.
  bool Start(std::string* error = nullptr);
  // Closes every connection, stops listening, ends the threads; posts
  // "TGeneralMohaaServer Stopped". Idempotent.
  void Stop();
  bool Running() const;
  // The port listened on (the one chosen when the options asked for 0).
  uint16_t Port() const;

  // Changeable while running (settings applied).
  void SetDisabled(bool disabled);
  void SetCompression(bool compression);
  bool Compression() const;

  // Encodes `packet` (on the caller's thread) and queues it for writing to
  // one connection. False when the connection is gone.
  bool SendRecord(int32_t connection, const TServerPacket& packet);
  // Closes one client's connection, posting "Socket: [handle] Reason: ..."
  // as a "KVClient Kick" event. False when no such connection is open.
  bool KickClient(int32_t connection, std::string_view reason);

  // The connected clients and their chat queues.
  TClientList& Clients();
  const TClientList& Clients() const;
  // Shortcuts for the list's chat operations.
  void BroadcastOperatorMessage(std::string_view text) { Clients().BroadcastOperatorMessage(text); }
  std::string TakeServerChatLog() { return Clients().TakeServerChatLog(); }

  // The four byte counters.
  TRemoteTraffic& Traffic();

  // Open connections right now (also those refused or closing).
  size_t ConnectionCount() const;
  // Looks for idle half-packets now (the sweep timer does this too).
  void SweepIdle();

  struct TImpl;

 private:
  std::unique_ptr<TImpl> impl_;
};

}  // namespace kv
