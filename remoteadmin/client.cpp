#include "remoteadmin/client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/clock.h"
#include "core/unique_fd.h"

namespace kv {
namespace {

// Real time: a client waits for a peer, not for the service's clock.
int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

// Waits for `events` on fd until the deadline; false on time-out.
bool WaitFd(int fd, short events, int64_t deadline) {
  for (;;) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, int(std::min<int64_t>(left, 60'000)));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return true;  // let the read or write report it
  }
}

}  // namespace

struct TRemoteAdminClient::TImpl {
  TUniqueFd fd;

  // Reads exactly n bytes; false on time-out, end or error.
  bool ReadExact(std::string& out, size_t n, int64_t deadline, std::string* error) {
    out.resize(n);
    size_t got = 0;
    while (got < n) {
      if (!WaitFd(fd.Get(), POLLIN, deadline)) return SetError(error, "no reply in time");
      const ssize_t r = recv(fd.Get(), out.data() + got, n - got, 0);
      if (r == 0) return SetError(error, "connection closed by the server");
      if (r < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return SetError(error, std::string("read failed: ") + strerror(errno));
      }
      got += size_t(r);
    }
    return true;
  }
};

TRemoteAdminClient::TRemoteAdminClient() : impl_(std::make_unique<TImpl>()) {}
TRemoteAdminClient::~TRemoteAdminClient() = default;

bool TRemoteAdminClient::Connect(const std::string& host, uint16_t port, int64_t timeout_ms,
                                 std::string* error) {
  Close();
  const int64_t deadline = MonotonicMs() + timeout_ms;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int r = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); r != 0) {
    return SetError(error, "cannot resolve " + host + ": " + gai_strerror(r));
  }
  std::string last = "no address for " + host;
  for (addrinfo* ai = found; ai; ai = ai->ai_next) {
    TUniqueFd fd(socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (!fd) {
      last = std::string("socket: ") + strerror(errno);
      continue;
    }
    int rc = connect(fd.Get(), ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      if (!WaitFd(fd.Get(), POLLOUT, deadline)) {
        last = "connecting to " + host + ":" + service + " timed out";
        continue;
      }
      int so_error = 0;
      socklen_t len = sizeof(so_error);
      getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &so_error, &len);
      rc = so_error == 0 ? 0 : -1;
      errno = so_error;
    }
    if (rc != 0) {
      last = "cannot connect to " + host + ":" + service + ": " + strerror(errno);
      continue;
    }
    const int one = 1;
    setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    impl_->fd = std::move(fd);
    freeaddrinfo(found);
    return true;
  }
  freeaddrinfo(found);
  return SetError(error, last);
}

bool TRemoteAdminClient::Connected() const { return impl_->fd.Valid(); }

void TRemoteAdminClient::Close() { impl_->fd.Reset(); }

bool TRemoteAdminClient::SendRaw(std::string_view bytes, int64_t timeout_ms, std::string* error) {
  if (!impl_->fd) return SetError(error, "not connected");
  const int64_t deadline = MonotonicMs() + timeout_ms;
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t r = send(impl_->fd.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r >= 0) {
      sent += size_t(r);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitFd(impl_->fd.Get(), POLLOUT, deadline)) return SetError(error, "sending timed out");
      continue;
    }
    const std::string text = std::string("send failed: ") + strerror(errno);
    Close();
    return SetError(error, text);
  }
  return true;
}

bool TRemoteAdminClient::ReadReply(TServerPacket& reply, int64_t timeout_ms, std::string* error) {
  if (!impl_->fd) return SetError(error, "not connected");
  const int64_t deadline = MonotonicMs() + timeout_ms;
  std::string header_bytes, block;
  TPacketLimits limits;
  TPacketHeader header;
  bool ok = impl_->ReadExact(header_bytes, kPacketHeaderSize, deadline, error);
  if (ok) {
    const TPacketReject reject = DecodeHeader(header_bytes, limits, header);
    if (reject == TPacketReject::Version) {
      ok =
          SetError(error, "the server speaks protocol version " + header.version + ", not " + limits.version);
    } else if (reject != TPacketReject::None) {
      ok = SetError(error,
                    "the reply is not a packet of this protocol (" + std::string(RejectReason(reject)) + ")");
    }
  }
  if (ok) ok = impl_->ReadExact(block, header.block_length, deadline, error);
  if (ok) {
    const TPacketReject reject = DecodeBlock(block, header.Compressed(), limits, reply);
    if (reject != TPacketReject::None) {
      ok = SetError(error, "the reply does not decode (" + std::string(RejectReason(reject)) + ")");
    }
  }
  if (!ok) Close();  // what follows on the stream can no longer be framed
  return ok;
}

bool TRemoteAdminClient::Request(const TServerPacket& request, TServerPacket& reply, int64_t timeout_ms,
                                 std::string* error) {
  const int64_t deadline = MonotonicMs() + timeout_ms;
  const TEncodedPacket encoded = EncodePacket(request, compress_);
  if (!SendRaw(encoded.bytes, timeout_ms, error)) return false;
  return ReadReply(reply, std::max<int64_t>(1, deadline - MonotonicMs()), error);
}

bool TRemoteAdminClient::WaitClosed(int64_t timeout_ms) {
  if (!impl_->fd) return true;
  const int64_t deadline = MonotonicMs() + timeout_ms;
  char buf[4096];
  for (;;) {
    if (!WaitFd(impl_->fd.Get(), POLLIN, deadline)) return false;
    const ssize_t r = recv(impl_->fd.Get(), buf, sizeof(buf), 0);
    if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
      Close();
      return true;
    }
  }
}

}  // namespace kv
