#include "remoteadmin/server.h"

#include <asio.hpp>
#include <deque>
#include <future>
#include <map>
#include <thread>

#include "core/bus.h"
#include "core/thread_annotations.h"
#include "domain/domain.h"
#include "domain/events.h"

namespace kv {
namespace {

constexpr size_t kReadChunk = 65535;
constexpr int64_t kAcceptRetryMs = 100;
constexpr int64_t kSweepOnDataMs = 1000;

void PostConnectionEvent(uint8_t kind, std::string text) {
  PostEvent(std::make_shared<TMohaaEvent>(kind, std::move(text)));
}

std::string AddressText(const asio::ip::tcp::endpoint& endpoint) {
  asio::ip::address address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address.to_string();
}

// The warning a refused packet is reported with.
std::string RejectWarning(TPacketReject reject, const TPacketHeader& header, const std::string& version,
                          const std::string& address) {
  switch (reject) {
    case TPacketReject::Size: return "WARNING: Client send non ZAQ Kelvandrome Packet (size) " + address;
    case TPacketReject::StartMarker: return "WARNING: Client send non ZAQ Kelvandrome Packet " + address;
    case TPacketReject::Version:
      return "WARNING: Client send Kelvandrome Packet with Version: [" + header.version + "] but [" +
             version + "] is expected - " + address;
    case TPacketReject::Malformed: return "WARNING: mailformed Packet recieved (size)" + address;
    case TPacketReject::MalformedCrypt: return "WARNING: mailformed Packet recieved (crypt) " + address;
    case TPacketReject::BlockTooLarge:
      return "WARNING: Client announced a Kelvandrome Packet of " + std::to_string(header.block_length) +
             " bytes, more than allowed - " + address;
    case TPacketReject::BodyTooLarge:
      return "WARNING: Client send a Kelvandrome Packet that expands beyond the allowed size - " + address;
    case TPacketReject::BadBody: return "WARNING: mailformed Packet recieved (body) " + address;
    case TPacketReject::None: break;
  }
  return {};
}

}  // namespace

struct TRemoteAdminServer::TImpl {
  struct TConnection {
    explicit TConnection(asio::io_context& io) : socket(io) {}
    asio::ip::tcp::socket socket;
    int32_t handle = -1;
    std::string address;
    TPacketAssembler assembler;
    int64_t last_activity_ms = 0;
    bool busy = false;     // a packet of it is being handled
    bool closing = false;  // closed or being closed
    std::deque<std::string> writes;
    bool writing = false;
  };
  using TConnPtr = std::shared_ptr<TConnection>;

  TImpl(TRemoteAdminServer& owner, TRemoteAdminOptions opts, TCommandHandler h)
      : self(owner),
        options(std::move(opts)),
        handler(std::move(h)),
        clock(options.clock ? *options.clock : Clock()),
        traffic(options.traffic ? *options.traffic : RemoteTraffic()),
        disabled(options.disabled),
        compression(options.compression) {
    read_buffer.resize(kReadChunk);
  }

  TRemoteAdminServer& self;
  TRemoteAdminOptions options;
  TCommandHandler handler;
  TConnectionHook on_connect, on_disconnect;
  TAddressGate address_gate;
  TClock& clock;
  TRemoteTraffic& traffic;
  std::atomic<bool> disabled;
  std::atomic<bool> compression;
  TClientList clients;

  // Threads and sockets exist between Start and Stop.
  std::unique_ptr<asio::io_context> io;
  std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
  std::unique_ptr<asio::steady_timer> sweep_timer;
  std::unique_ptr<asio::thread_pool> handlers;
  std::thread io_thread;
  std::atomic<bool> running{false};
  std::atomic<uint16_t> port{0};
  TMutex lifecycle_mutex_;  // Start/Stop
  // Held shared by callers from other threads while they post to the io
  // context, exclusively by Stop while it takes the context down.
  TSharedMutex io_guard_;

  // Only the io thread reads into it.
  std::vector<char> read_buffer;

  mutable TMutex conn_mutex_;
  std::map<int32_t, TConnPtr> connections GUARDED_BY(conn_mutex_);
  int32_t next_handle GUARDED_BY(conn_mutex_) = 1;

  // Refused connections of the current burst (io thread only).
  uint64_t refused_in_burst = 0;
  bool accept_failing = false;  // io thread only
  int64_t last_sweep_ms = 0;    // io thread only
  std::unique_ptr<asio::steady_timer> accept_retry;

  // ---- io thread ----

  void Accept() {
    acceptor->async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
      if (!ec) {
        accept_failing = false;
        OnAccept(std::move(socket));
        Accept();
        return;
      }
      // Out of descriptors or memory: the pending connection stays in the
      // backlog, so accepting again at once would spin. Say so once per
      // run of failures and try again shortly.
      if (!accept_failing) {
        PostGlobal("GeneralMohaaServer.IdTCPServerListenException Error: " + ec.message(), 3);
        accept_failing = true;
      }
      accept_retry->expires_after(std::chrono::milliseconds(kAcceptRetryMs));
      accept_retry->async_wait([this](const asio::error_code& wait_error) {
        if (!wait_error && acceptor->is_open()) Accept();
      });
    });
  }

  void OnAccept(asio::ip::tcp::socket socket) {
    asio::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    const std::string address = ec ? std::string("unkown") : AddressText(endpoint);
    auto conn = std::make_shared<TConnection>(*io);
    bool full = false;
    {
      TLockGuard lock(conn_mutex_);
      full = connections.size() >= options.max_connections;
      if (!full) {
        conn->handle = next_handle++;
        connections[conn->handle] = conn;
      }
    }
    if (full) {
      // Said once when the burst starts and summed up when it ends, so a
      // flood of connections is not also a flood of messages.
      if (refused_in_burst++ == 0) {
        PostGlobal("TGeneralMohaaServer refuses connections: " + std::to_string(options.max_connections) +
                       " are open (first refused: " + address + ")",
                   3);
      }
      socket.close(ec);
      return;
    }
    if (refused_in_burst > 0) {
      PostGlobal("TGeneralMohaaServer refused " + std::to_string(refused_in_burst) + " connection(s) while " +
                     std::to_string(options.max_connections) + " were open",
                 2);
      refused_in_burst = 0;
    }
    conn->socket = std::move(socket);
    conn->address = address;
    conn->socket.non_blocking(true, ec);
    conn->last_activity_ms = clock.SteadyMs();

    const bool down = disabled.load();
    if (down) PostGlobal("TGeneralMohaaServer is down but connection Started from: " + address, 2);
    clients.Add(conn->handle, address);
    PostConnectionEvent(ekRemoteConnection, "Client Connected: " + address);
    if (on_connect) on_connect(conn->handle);
    if (down) {
      Close(conn, "OnAccept");
      return;
    }
    WaitReadable(conn);
  }

  void WaitReadable(const TConnPtr& conn) {
    if (conn->closing || conn->busy) return;
    conn->socket.async_wait(asio::ip::tcp::socket::wait_read,
                            [this, conn](const asio::error_code& ec) { OnReadable(conn, ec); });
  }

  void OnReadable(const TConnPtr& conn, asio::error_code ec) {
    if (conn->closing) return;
    if (ec) {
      if (ec != asio::error::operation_aborted) Close(conn, {});
      return;
    }
    const size_t n = conn->socket.read_some(asio::buffer(read_buffer), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
      WaitReadable(conn);
      return;
    }
    if (ec) {
      if (ec != asio::error::eof && ec != asio::error::connection_reset) {
        PostGlobal("TGeneralMohaaServer.idTCPServerExecute could not read Data from Socket: " +
                       conn->address + "(" + std::to_string(conn->handle) + ") Error: " + ec.message(),
                   5);
      }
      Close(conn, {});
      return;
    }
    if (disabled.load()) {
      PostGlobal("TGeneralMohaaServer is down but data recieved from: " + conn->address, 2);
      Close(conn, "IdTCPServerExecute");
      return;
    }
    conn->last_activity_ms = clock.SteadyMs();
    // Arriving data also looks for idle half-packets, at most once a second
    // so that a busy server does not scan its table per read.
    if (conn->last_activity_ms - last_sweep_ms >= kSweepOnDataMs) SweepIdle();
    conn->assembler.Feed(std::string_view(read_buffer.data(), n));
    Process(conn);
  }

  // Takes the next packet from what the connection has sent: hands it to
  // the handler pool, refuses it, or waits for more bytes.
  void Process(const TConnPtr& conn) {
    if (conn->closing || conn->busy) return;
    TPacketAssembler::TOutcome outcome = conn->assembler.Next();
    switch (outcome.state) {
      case TPacketAssembler::TState::NeedMore: WaitReadable(conn); return;
      case TPacketAssembler::TState::Rejected: Reject(conn, outcome.reject, outcome.header); return;
      case TPacketAssembler::TState::Complete: break;
    }
    conn->busy = true;
    auto block = std::make_shared<std::string>(std::move(outcome.block));
    const bool compressed = outcome.header.Compressed();
    asio::post(*handlers, [this, conn, block, compressed] { Handle(conn, *block, compressed); });
  }

  void Reject(const TConnPtr& conn, TPacketReject reject, const TPacketHeader& header) {
    PostConnectionEvent(ekRemoteConnection,
                        RejectWarning(reject, header, options.limits.version, conn->address));
    conn->assembler.Clear();
    Close(conn, std::string(RejectReason(reject)));
  }

  // Closes a connection once and handles its departure. `context` names
  // what asked for the close, for the message when closing fails.
  void Close(const TConnPtr& conn, const std::string& context) {
    if (conn->closing) return;
    conn->closing = true;
    asio::error_code ec;
    conn->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    ec.clear();
    conn->socket.close(ec);
    if (ec && !context.empty()) {
      if (context == "OnAccept" || context == "IdTCPServerExecute") {
        PostGlobal("TGeneralMohaaServer." + context + " could not disconnect Socket " + conn->address +
                       " Error: " + ec.message(),
                   4);
      } else {
        PostGlobal("TGeneralMohaaServer.idTCPServerExecute (" + context + ") could not disconnect Socket " +
                       conn->address + "(" + std::to_string(conn->handle) + ") Error: " + ec.message(),
                   4);
      }
    }
    conn->writes.clear();
    {
      TLockGuard lock(conn_mutex_);
      connections.erase(conn->handle);
    }
    if (clients.Remove(conn->handle)) {
      if (on_disconnect) on_disconnect(conn->handle);
      PostConnectionEvent(ekRemoteConnection, "Client Disconnected: " + conn->address);
    }
  }

  void QueueWrite(const TConnPtr& conn, std::string bytes) {
    if (conn->closing) return;
    conn->writes.push_back(std::move(bytes));
    if (!conn->writing) WriteNext(conn);
  }

  void WriteNext(const TConnPtr& conn) {
    if (conn->closing || conn->writes.empty()) {
      conn->writing = false;
      return;
    }
    conn->writing = true;
    asio::async_write(conn->socket, asio::buffer(conn->writes.front()),
                      [this, conn](const asio::error_code& ec, size_t) {
                        if (conn->closing) return;
                        if (ec) {
                          PostGlobal("TGeneralMohaaServer.SendRecord could write data to Socket " +
                                         conn->address + " Error: " + ec.message(),
                                     4);
                          Close(conn, {});
                          return;
                        }
                        conn->writes.pop_front();
                        WriteNext(conn);
                      });
  }

  void SweepIdle() {
    const int64_t now = clock.SteadyMs();
    last_sweep_ms = now;
    std::vector<TConnPtr> all;
    {
      TLockGuard lock(conn_mutex_);
      for (const auto& [handle, conn] : connections) all.push_back(conn);
    }
    for (const auto& conn : all) {
      if (conn->busy || conn->closing || !conn->assembler.Holding()) continue;
      if (now - conn->last_activity_ms <= options.idle_timeout_ms) continue;
      conn->assembler.Clear();
      PostGlobal("TGeneralMohaaServer.IdTCPServerExecute - Connection StreamObject Deleted-Timeout", 2);
    }
  }

  void ArmSweep() {
    if (options.idle_sweep_ms <= 0) return;
    sweep_timer->expires_after(std::chrono::milliseconds(options.idle_sweep_ms));
    sweep_timer->async_wait([this](const asio::error_code& ec) {
      // A sweep already due when Stop cancels the timer still runs: it must
      // not arm the timer again, or the io thread never runs out of work.
      if (ec || !acceptor->is_open()) return;
      SweepIdle();
      ArmSweep();
    });
  }

  // ---- handler pool ----

  void Handle(const TConnPtr& conn, const std::string& block, bool compressed) {
    if (address_gate && !address_gate(conn->address)) {
      asio::post(*io, [this, conn] { Close(conn, {}); });
      return;
    }
    TServerPacket packet;
    TBodyCounts counts;
    const TPacketReject reject = DecodeBlock(block, compressed, options.limits, packet, &counts);
    if (counts.transmitted) {
      traffic.received_compressed += counts.transmitted;
      traffic.received_raw += counts.plain;
    }
    if (reject != TPacketReject::None) {
      asio::post(*io, [this, conn, reject] { Reject(conn, reject, {}); });
      return;
    }
    packet.connection = conn->handle;
    packet.peer_address = conn->address.substr(0, kPacketMaxAddress);
    bool failed = false;
    try {
      if (handler) handler(self, conn->handle, packet);
    } catch (const std::exception& e) {
      PostGlobal(std::string("GeneralMohaaServer.IdTCPServerException Error: ") + e.what(), 3);
      failed = true;
    }
    asio::post(*io, [this, conn, failed] {
      conn->busy = false;
      if (failed) {
        Close(conn, {});
        return;
      }
      Process(conn);
    });
  }

  TConnPtr Find(int32_t handle) const {
    TLockGuard lock(conn_mutex_);
    auto it = connections.find(handle);
    return it == connections.end() ? nullptr : it->second;
  }
};

TRemoteAdminServer::TRemoteAdminServer(TRemoteAdminOptions options, TCommandHandler handler)
    : impl_(std::make_unique<TImpl>(*this, std::move(options), std::move(handler))) {}

TRemoteAdminServer::~TRemoteAdminServer() { Stop(); }

void TRemoteAdminServer::SetAddressGate(TAddressGate gate) { impl_->address_gate = std::move(gate); }

void TRemoteAdminServer::SetConnectionHooks(TConnectionHook on_connect, TConnectionHook on_disconnect) {
  impl_->on_connect = std::move(on_connect);
  impl_->on_disconnect = std::move(on_disconnect);
}

bool TRemoteAdminServer::Start(std::string* error) {
  TImpl& d = *impl_;
  TLockGuard lock(d.lifecycle_mutex_);
  if (d.running) return true;
  d.io = std::make_unique<asio::io_context>(1);
  d.work = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(d.io->get_executor());
  d.acceptor = std::make_unique<asio::ip::tcp::acceptor>(*d.io);
  d.sweep_timer = std::make_unique<asio::steady_timer>(*d.io);
  d.accept_retry = std::make_unique<asio::steady_timer>(*d.io);
  asio::error_code ec;
  const std::string bind = d.options.bind_address.empty() ? "0.0.0.0" : d.options.bind_address;
  const asio::ip::address address = asio::ip::make_address(bind, ec);
  if (!ec) {
    const asio::ip::tcp::endpoint endpoint(address, d.options.port);
    d.acceptor->open(endpoint.protocol(), ec);
    if (!ec) d.acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec) d.acceptor->bind(endpoint, ec);
    if (!ec) d.acceptor->listen(asio::socket_base::max_listen_connections, ec);
  }
  if (ec) {
    const std::string text = "port " + std::to_string(d.options.port) + " on " + bind + ": " + ec.message();
    PostGlobal("TMohaaServer can not be started\r\n" + text, 4);
    if (error) *error = text;
    d.acceptor.reset();
    d.sweep_timer.reset();
    d.accept_retry.reset();
    d.work.reset();
    d.io.reset();
    return false;
  }
  d.port = d.acceptor->local_endpoint().port();
  d.handlers = std::make_unique<asio::thread_pool>(std::max(1, d.options.handler_threads));
  d.Accept();
  d.ArmSweep();
  d.io_thread = std::thread([&d] { d.io->run(); });
  d.running = true;
  PostGlobal("TGeneralMohaaServer Started", 1);
  return true;
}

void TRemoteAdminServer::Stop() {
  TImpl& d = *impl_;
  TLockGuard lock(d.lifecycle_mutex_);
  if (!d.running) return;
  // Stop listening and close every connection on the io thread, then let
  // the running handlers finish (their replies find no connection).
  asio::post(*d.io, [&d] {
    asio::error_code ec;
    d.acceptor->close(ec);
    d.sweep_timer->cancel();
    d.accept_retry->cancel();
    std::vector<TImpl::TConnPtr> all;
    {
      TLockGuard conns(d.conn_mutex_);
      for (const auto& [handle, conn] : d.connections) all.push_back(conn);
    }
    for (const auto& conn : all) d.Close(conn, {});
  });
  d.handlers->join();
  {
    // From here nothing else posts to the io context.
    TWriteLock guard(d.io_guard_);
    d.running = false;
  }
  d.work.reset();
  d.io_thread.join();
  {
    TWriteLock guard(d.io_guard_);
    d.handlers.reset();
    d.sweep_timer.reset();
    d.accept_retry.reset();
    d.acceptor.reset();
    d.io.reset();
  }
  d.port = 0;
  PostGlobal("TGeneralMohaaServer Stopped", 1);
}

bool TRemoteAdminServer::Running() const { return impl_->running; }
uint16_t TRemoteAdminServer::Port() const { return impl_->port; }
void TRemoteAdminServer::SetDisabled(bool disabled) { impl_->disabled = disabled; }
void TRemoteAdminServer::SetCompression(bool compression) { impl_->compression = compression; }
bool TRemoteAdminServer::Compression() const { return impl_->compression; }

bool TRemoteAdminServer::SendRecord(int32_t connection, const TServerPacket& packet) {
  TImpl& d = *impl_;
  auto conn = d.Find(connection);
  if (!conn) return false;
  TReadLock guard(d.io_guard_);
  if (!d.running) return false;
  TEncodedPacket encoded = EncodePacket(packet, d.compression.load(), d.options.limits.version);
  d.traffic.sent_raw += encoded.body_plain;
  d.traffic.sent_compressed += encoded.body_sent;
  auto bytes = std::make_shared<std::string>(std::move(encoded.bytes));
  asio::post(*d.io, [&d, conn, bytes] { d.QueueWrite(conn, std::move(*bytes)); });
  return true;
}

bool TRemoteAdminServer::KickClient(int32_t connection, std::string_view reason) {
  TImpl& d = *impl_;
  auto conn = d.Find(connection);
  if (!conn) return false;
  TReadLock guard(d.io_guard_);
  if (!d.running) return false;
  PostConnectionEvent(ekKVClientKick,
                      "Socket: [" + std::to_string(connection) + "] Reason: " + std::string(reason));
  asio::post(*d.io, [&d, conn] {
    if (conn->closing) return;
    asio::error_code ec;
    conn->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    if (ec && ec != asio::error::not_connected) {
      PostGlobal("TGeneralMohaaServer.KickClient could not disconnect Socket " + conn->address +
                     " Error: " + ec.message(),
                 5);
    }
    d.Close(conn, {});
  });
  return true;
}

TClientList& TRemoteAdminServer::Clients() { return impl_->clients; }
const TClientList& TRemoteAdminServer::Clients() const { return impl_->clients; }
TRemoteTraffic& TRemoteAdminServer::Traffic() { return impl_->traffic; }

size_t TRemoteAdminServer::ConnectionCount() const {
  TLockGuard lock(impl_->conn_mutex_);
  return impl_->connections.size();
}

void TRemoteAdminServer::SweepIdle() {
  TImpl& d = *impl_;
  std::promise<void> done;
  auto future = done.get_future();
  {
    TReadLock guard(d.io_guard_);
    if (!d.running) return;
    asio::post(*d.io, [&d, &done] {
      d.SweepIdle();
      done.set_value();
    });
  }
  future.wait();
}

}  // namespace kv
