// A small synchronous client of the remote-administration protocol, for
// kvadmin and the tests: connect, send one request, read its reply. Every
// wait is bounded by the time-out given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "remoteadmin/packet.h"

namespace kv {

class TRemoteAdminClient {
 public:
  TRemoteAdminClient();
  ~TRemoteAdminClient();
  TRemoteAdminClient(const TRemoteAdminClient&) = delete;
  TRemoteAdminClient& operator=(const TRemoteAdminClient&) = delete;

  // Connects (host name or address). False with a reason in *error.
  bool Connect(const std::string& host, uint16_t port, int64_t timeout_ms, std::string* error = nullptr);
  bool Connected() const;
  void Close();

  // Whether requests are sent compressed (the server answers either way).
  void SetCompression(bool compress) { compress_ = compress; }

  // Sends one request and waits for its reply. False with a reason in
  // *error on a time-out, a closed connection or a reply that does not
  // decode (the connection is closed then).
  bool Request(const TServerPacket& request, TServerPacket& reply, int64_t timeout_ms,
               std::string* error = nullptr);

  // The two halves, for tests that send what a client should not.
  bool SendRaw(std::string_view bytes, int64_t timeout_ms, std::string* error = nullptr);
  bool ReadReply(TServerPacket& reply, int64_t timeout_ms, std::string* error = nullptr);
  // Waits until the server closes the connection (true) or the time-out.
  bool WaitClosed(int64_t timeout_ms);

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
  bool compress_ = false;
};

}  // namespace kv
