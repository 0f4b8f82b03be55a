// The rcon transport: one console command to the game server as one UDP
// datagram, its reply (or an error or time-out text in its place), the reply
// handed to the log parser and published as "NewRconLog".
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/clock.h"
#include "core/counters.h"
#include "core/unique_fd.h"
#include "domain/serverinfo.h"
#include "gamelink/rcon_budget.h"

namespace kv {

inline constexpr const char* kRconTimeoutText = "Timeout - check your setup and connection";
inline constexpr int kRconReceiveBufferSize = 102400;
// A command whose datagram would be larger than this is refused with
// kRconTooLongText: the game server truncates longer console lines, and
// a half-executed command is worse than none.
inline constexpr size_t kRconMaxDatagram = 1024;
inline constexpr const char* kRconTooLongText = "Command too long for one rcon datagram";
// A line break or NUL byte would end the console line early and let the
// rest run as a command of its own (a player's nick inside a quoted
// argument, for one); such a command is refused, never altered.
inline constexpr const char* kRconLineBreakText = "Command contains a line break or NUL byte";
// The server splits a long reply at the boundaries of its print calls, so
// any datagram of it may be short. After a datagram, the reply waits this
// long for a continuation unless its own form shows that it is complete.
inline constexpr int kRconFollowUpGapMs = 30;
// A peer that keeps sending must not make a reply grow without bound: the
// joined reply stops at this size and after this long past its first datagram.
inline constexpr size_t kRconMaxReplyBytes = 256 * 1024;
inline constexpr int kRconMaxJoinMs = 1000;

// The Windows Sockets text of a code; "Not a Winsock error" for others.
std::string SocketErrorText(int code);
// Platform errno / getaddrinfo result mapped onto those codes (an errno
// without a counterpart is returned unchanged, so its text is "Not a
// Winsock error").
int SocketCodeFromErrno(int err);
int SocketCodeFromResolver(int gai_result);

// The request datagram of either dialect; password and command go byte for byte.
std::string BuildRconDatagram(bool quake_style, const std::string& password, const std::string& command);
// Quake-style clean-up: every "^7 " is removed, then every "^7" before a
// double quote (both case-insensitive; "7" has no case, so it is literal).
std::string QuakeCleanup(std::string reply);
// The text of a follow-up datagram without the reply header that every
// datagram of a split reply repeats (0xFF x4, optional 0x01, "print\n").
std::string StripReplyHeader(const std::string& datagram);
// True when the reply text so far (header included) is a whole reply by its
// own form: a "status" reply once its closing empty line has come, and the
// server's password notices, which are all it sends then. Other replies
// have no end mark; they are complete when no continuation follows.
bool ReplyLooksComplete(const std::string& command, const std::string& reply);
// One line for the operator on why a result is no usable reply: an error or
// time-out text as it is, else the first line the server printed (such as
// "Bad rconpassword."), without control bytes; "no reply" when empty.
std::string RconProblemText(const std::string& result);

// Socket base: state, last error code and the error notification.
class TCustomWSocket {
 public:
  enum class TState { NotStarted, Ready, Open };
  using TOnError = std::function<void(TCustomWSocket& sender, int error, const std::string& msg)>;

  TCustomWSocket();
  virtual ~TCustomWSocket();
  TCustomWSocket(const TCustomWSocket&) = delete;
  TCustomWSocket& operator=(const TCustomWSocket&) = delete;

  TState State() const { return state_; }
  int LastError() const { return last_error_; }
  int Handle() const { return handle_.Get(); }
  TOnError OnError;

 protected:
  // Stores the code and reports it with its text through OnError.
  void ReportError(int code);

  static constexpr int kProtocol = 17;  // UDP
  TUniqueFd handle_;
  TState state_ = TState::NotStarted;
  int last_error_ = 0;

 private:
  TLiveCount<TCounter::CustomSockets> live_;
};

// A connected UDP client socket. Used by one thread.
class TUDPClient : public TCustomWSocket {
 public:
  TUDPClient();
  ~TUDPClient() override;

  std::string Host;  // dotted IPv4 address or host name
  std::string Port;  // decimal number or udp service name

  // From the state Ready only; true when the state is Open afterwards.
  bool Open();
  // Bytes sent; 0 on error (reported through OnError).
  size_t Send(const std::string& bytes);
  // Waits up to timeout_ms (-1: no bound) for a datagram; true when one is
  // waiting. An error that arrived for the socket (ICMP port unreachable) is
  // reported. A readable cancel_fd or cancel_fd2 (>= 0) ends the wait with
  // false.
  bool WaitData(int timeout_ms, int cancel_fd = -1, int cancel_fd2 = -1);
  // Takes one waiting datagram (at most 102400 bytes); false when none.
  bool Read(std::string& datagram);
  // Drops queued datagrams, closes the socket and returns to Ready.
  void Close();

 private:
  TLiveCount<TCounter::UdpConnections> live_;
};

// What one request produced.
struct TRconResult {
  std::string reply;
  std::string error;  // socket error text, time-out text or exception text
  int error_code = 0;
  std::string Text() const { return error.empty() ? reply : error; }
};

// One command, one reply: waits for its turn in the server state's rcon
// budget (when it has one), opens its own socket (so a late reply to an
// earlier command can never be taken for this one), sends, waits, hands the
// reply to the reply sink and posts "NewRconLog". Runs on the calling thread.
// timeout_seconds -1 reads `UDPTimeOut`. A set `cancel` (the caller's own
// flag, e.g. an operator's cancel) ends the reply wait at once, as the
// service's shutdown does.
TRconResult PerformRconRequest(TMohaaServerInfo& info, const std::string& command, int timeout_seconds = -1,
                               TRconPriority priority = rpCommand, const TShutdownFlag* cancel = nullptr);

// Sends one command and returns the reply, or the error or time-out text in
// its place; empty after an internal failure. Any thread. With
// keep_responsive on the main loop thread, the loop keeps running while the
// request waits.
std::string SendMohaMessage(TMohaaServerInfo& info, const std::string& command, bool keep_responsive = false,
                            int timeout_seconds = -1, TRconPriority priority = rpCommand);

// Where every reply of a server's requests goes "as if it were log text"
// (TRconReplySink, domain/serverinfo.h): the service's rcon reply part wires
// it to its parser. Any thread; an empty function removes the sink.
inline void SetRconReplySink(TMohaaServerInfo& info, TRconReplySink sink) {
  info.SetRconReplySink(std::move(sink));
}

// The service's shutdown of its rcon (the server state's rcon_terminating
// flag): its waiting requests end at once with what they have, new ones are
// not sent. A wait that must end then registers its condition with
// TShutdownFlag::TWake(&info.rcon_terminating, condition). Any thread.
inline void SetRconTerminating(TMohaaServerInfo& info, bool terminating) {
  info.rcon_terminating.Set(terminating);
}
inline bool RconTerminating(const TMohaaServerInfo& info) { return info.rcon_terminating.IsSet(); }

// How many times a reply wait has come back from waiting, over every
// request of the process: for tests and diagnostics. Any thread.
uint64_t RconReplyWaitWakeups();

}  // namespace kv
