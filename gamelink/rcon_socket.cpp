// The UDP client under the rcon transport, and the socket error texts the
// operator sees in place of a reply.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <map>
#include <vector>

#include "gamelink/rcon.h"

namespace kv {

namespace {

const std::map<int, const char*>& ErrorTexts() {
  static const std::map<int, const char*> texts = {
      {10004, "Interrupted system call"},
      {10009, "Bad file number"},
      {10013, "Permission denied"},
      {10014, "Bad address"},
      {10022, "Invalid argument"},
      {10024, "Too many open files"},
      {10035, "Operation would block"},
      {10036, "Operation now in progress"},
      {10037, "Operation already in progress"},
      {10038, "Socket operation on nonsocket"},
      {10039, "Destination address required"},
      {10040, "Message too long"},
      {10041, "Protocol wrong type for socket"},
      {10042, "Protocol not available"},
      {10043, "Protocol not supported"},
      {10044, "Socket not supported"},
      {10045, "Operation not supported on socket"},
      {10046, "Protocol family not supported"},
      {10047, "Address family not supported"},
      {10048, "Address already in use"},
      {10049, "Can't assign requested address"},
      {10050, "Network is down"},
      {10051, "Network is unreachable"},
      {10052, "Network dropped connection on reset"},
      {10053, "Software caused connection abort"},
      {10054, "Connection reset by peer"},
      {10055, "No buffer space available"},
      {10056, "Socket is already connected"},
      {10057, "Socket is not connected"},
      {10058, "Can't send after socket shutdown"},
      {10059, "Too many references:can't splice"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10062, "Too many levels of symbolic links"},
      {10063, "File name is too long"},
      {10064, "Host is down"},
      {10065, "No route to host"},
      {10066, "Directory is not empty"},
      {10067, "Too many processes"},
      {10068, "Too many users"},
      {10069, "Disk quota exceeded"},
      {10070, "Stale NFS file handle"},
      {10071, "Too many levels of remote in path"},
      {10091, "Network subsystem is unusable"},
      {10092, "Winsock DLL cannot support this application"},
      {10093, "Winsock not initialized"},
      {11001, "Host not found"},
      {11002, "Non authoritative - host not found"},
      {11003, "Non recoverable error"},
      {11004, "Valid name, no data record of requested type"},
  };
  return texts;
}

constexpr int kWouldBlock = 10035;
constexpr int kNotConnected = 10057;

// The port number of a udp service name or a decimal text; -1 when neither.
int ResolvePort(const std::string& port) {
  if (servent* s = ::getservbyname(port.c_str(), "udp")) return ntohs(static_cast<uint16_t>(s->s_port));
  int value = -1;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (ec != std::errc() || end != port.data() + port.size() || value < 0 || value > 65535) return -1;
  return value;
}

// The first IPv4 address of the host; a socket code when it has none.
int ResolveAddress(const std::string& host, in_addr& address) {
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (rc != 0 || !result) return rc != 0 ? SocketCodeFromResolver(rc) : 11004;
  address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
  ::freeaddrinfo(result);
  return 0;
}

}  // namespace

std::string SocketErrorText(int code) {
  const auto it = ErrorTexts().find(code);
  return it == ErrorTexts().end() ? "Not a Winsock error" : it->second;
}

int SocketCodeFromErrno(int err) {
  static const std::map<int, int> codes = {
      {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},        {EPERM, 10013},
      {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},        {ENFILE, 10024},
      {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},     {EALREADY, 10037},      {ENOTSOCK, 10038},
      {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},
      {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046},
      {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
      {ENETUNREACH, 10051},     {ENETRESET, 10052},       {ECONNABORTED, 10053},  {ECONNRESET, 10054},
      {ENOBUFS, 10055},         {EISCONN, 10056},         {ENOTCONN, 10057},      {ESHUTDOWN, 10058},
      {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},  {ELOOP, 10062},
      {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},  {ENOTEMPTY, 10066},
      {EUSERS, 10068},          {EDQUOT, 10069},          {ESTALE, 10070},        {EREMOTE, 10071},
  };
  const auto it = codes.find(err);
  return it == codes.end() ? err : it->second;
}

int SocketCodeFromResolver(int gai_result) {
  switch (gai_result) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return 11001;
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
    case EAI_SYSTEM: return SocketCodeFromErrno(errno);
    default: return 11003;
  }
}

// --- TCustomWSocket ----------------------------------------------------

// The platform's socket layer needs no start-up, so a socket is ready at once.
TCustomWSocket::TCustomWSocket() : state_(TState::Ready) {}

TCustomWSocket::~TCustomWSocket() = default;

void TCustomWSocket::ReportError(int code) {
  last_error_ = code;
  if (OnError) OnError(*this, code, SocketErrorText(code));
}

// --- TUDPClient --------------------------------------------------------

TUDPClient::TUDPClient() = default;

TUDPClient::~TUDPClient() { Close(); }

bool TUDPClient::Open() {
  if (state_ != TState::Ready) return state_ == TState::Open;
  const int port = ResolvePort(Port);
  if (port < 0) {
    ReportError(SocketCodeFromErrno(EINVAL));
    return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (const int code = ResolveAddress(Host, to.sin_addr); code != 0) {
    ReportError(code);
    return false;
  }
  handle_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, kProtocol));
  if (!handle_) {
    ReportError(SocketCodeFromErrno(errno));
    return false;
  }
  // Connecting a datagram socket filters replies to the server's address and
  // lets an ICMP "port unreachable" come back as ECONNREFUSED.
  if (::connect(handle_.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
      errno != EINPROGRESS) {
    const int code = SocketCodeFromErrno(errno);
    handle_.Reset();
    ReportError(code);
    return false;
  }
  state_ = TState::Open;
  return true;
}

size_t TUDPClient::Send(const std::string& bytes) {
  if (state_ != TState::Open) return 0;
  const ssize_t n = ::send(handle_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<size_t>(n);
  const int code = SocketCodeFromErrno(errno);
  if (code != kWouldBlock) ReportError(code);
  return 0;
}

bool TUDPClient::WaitData(int timeout_ms, int cancel_fd, int cancel_fd2) {
  if (state_ != TState::Open) return false;
  // poll ignores entries with a negative descriptor.
  pollfd fds[3] = {{handle_.Get(), POLLIN, 0}, {cancel_fd, POLLIN, 0}, {cancel_fd2, POLLIN, 0}};
  const int rc = ::poll(fds, 3, timeout_ms < 0 ? -1 : timeout_ms);
  if (rc <= 0) return false;
  if ((fds[1].revents | fds[2].revents) & POLLIN) return false;
  const pollfd& p = fds[0];
  if (p.revents & POLLERR) {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(handle_.Get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      ReportError(SocketCodeFromErrno(err));
      return false;
    }
  }
  return (p.revents & POLLIN) != 0;
}

bool TUDPClient::Read(std::string& datagram) {
  if (state_ != TState::Open) return false;
  std::vector<char> buffer(kRconReceiveBufferSize);
  const ssize_t n = ::recv(handle_.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (n < 0) {
    const int code = SocketCodeFromErrno(errno);
    if (code != kWouldBlock) ReportError(code);
    return false;
  }
  datagram.assign(buffer.data(), static_cast<size_t>(n));
  return true;
}

void TUDPClient::Close() {
  if (state_ != TState::Open) return;
  if (::shutdown(handle_.Get(), SHUT_WR) != 0 && SocketCodeFromErrno(errno) != kNotConnected)
    last_error_ = SocketCodeFromErrno(errno);
  // Bounded: a peer that keeps sending must not keep the close going.
  char scrap[64];
  for (int i = 0; i < 256 && ::recv(handle_.Get(), scrap, sizeof scrap, MSG_DONTWAIT) >= 0; ++i) {
  }
  handle_.Reset();
  state_ = TState::Ready;
}

}  // namespace kv
