#include "domain/serverinfo.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "core/bus.h"
#include "core/clock.h"

namespace kv {

const char* const kLogSwitchKeys[kLogSwitchCount] = {"LogChat",
                                                     "LogKicks",
                                                     "LogKills",
                                                     "LogGlobalMapChange",
                                                     "LogUserMapChange",
                                                     "LogNewBans",
                                                     "LogBanDeleted",
                                                     "LogBanMatch",
                                                     "LogGeneration",
                                                     "LogSSH",
                                                     "LogRcon",
                                                     "LogAllOtherEvents",
                                                     "LogServiceEvents",
                                                     "LogHandeled",
                                                     "LogUnhandeled",
                                                     "LogRemoteCommands",
                                                     "LogNewUser",
                                                     "LogUserBack",
                                                     "LogWenfOffline",
                                                     "LogNickChange",
                                                     "LogGlobalMessages",
                                                     "LogMessagesSendToServer",
                                                     "LogRemoteConnection",
                                                     "LogACCommand",
                                                     "LogACConnected",
                                                     "LogACDisconnected",
                                                     "LogACUserRconLog",
                                                     "LogACReport",
                                                     "LogACCheckACUser",
                                                     "LogACClientKick",
                                                     "UseTeamMessages",
                                                     "LogAddTimeStamp",
                                                     "LogDelFilesOnRestart"};

namespace {
// 240 seconds as a fraction of a day.
constexpr double kAddressCacheDays = 240.0 / 86400.0;
}  // namespace

bool ResolveHostIPv4(const std::string& host, std::string& address, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (rc != 0 || !result) {
    error = rc != 0 ? gai_strerror(rc) : "no address";
    return false;
  }
  char text[INET_ADDRSTRLEN] = {};
  const auto* sin = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  ::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
  ::freeaddrinfo(result);
  address = text;
  return true;
}

TMohaaServerInfo::TMohaaServerInfo() : resolved_at_(Now()) {}

TMohaaServerInfo::~TMohaaServerInfo() = default;

std::string TMohaaServerInfo::ServerHost() const {
  TLockGuard lock(address_mutex_);
  return host_;
}

void TMohaaServerInfo::SetServerHost(const std::string& host) {
  {
    TLockGuard lock(address_mutex_);
    host_ = host;
    address_ = host;
    resolved_at_ = Now();
  }
  // Resolve without the lock: a slow name service must not block readers.
  std::string address, error;
  if (resolve_(host, address, error)) {
    TLockGuard lock(address_mutex_);
    if (host_ == host) address_ = address;
  } else {
    PostGlobal("Error on resolving host " + host + " to regenerate IP Cache " + error, mlCritical);
  }
}

std::string TMohaaServerInfo::GetServerIP() {
  std::string host;
  {
    TLockGuard lock(address_mutex_);
    if (Now() <= resolved_at_ + kAddressCacheDays) return address_;
    host = host_;
  }
  SetServerHost(host);
  TLockGuard lock(address_mutex_);
  return address_;
}

void TMohaaServerInfo::SetMessageExpander(TMessageExpander expander) {
  auto shared = expander ? std::make_shared<const TMessageExpander>(std::move(expander)) : nullptr;
  TLockGuard lock(hooks_mutex_);
  expander_ = std::move(shared);
}

std::shared_ptr<const TMessageExpander> TMohaaServerInfo::MessageExpander() const {
  TLockGuard lock(hooks_mutex_);
  return expander_;
}

void TMohaaServerInfo::SetConsoleFilter(std::shared_ptr<TLastConsoleMsgs> filter) {
  TLockGuard lock(hooks_mutex_);
  filter_.swap(filter);
  // The old filter is freed after the lock is released.
}

std::shared_ptr<TLastConsoleMsgs> TMohaaServerInfo::ConsoleFilter() const {
  TLockGuard lock(hooks_mutex_);
  return filter_;
}

void TMohaaServerInfo::SetRconReplySink(TRconReplySink sink) {
  auto shared = sink ? std::make_shared<const TRconReplySink>(std::move(sink)) : nullptr;
  TLockGuard lock(hooks_mutex_);
  sink_.swap(shared);
}

std::shared_ptr<const TRconReplySink> TMohaaServerInfo::RconReplySink() const {
  TLockGuard lock(hooks_mutex_);
  return sink_;
}

void TMohaaServerInfo::SetServerIdentitySource(TServerIdentityFn fn) {
  auto shared = fn ? std::make_shared<const TServerIdentityFn>(std::move(fn)) : nullptr;
  TLockGuard lock(hooks_mutex_);
  identity_.swap(shared);
}

std::shared_ptr<const TServerIdentityFn> TMohaaServerInfo::ServerIdentitySource() const {
  TLockGuard lock(hooks_mutex_);
  return identity_;
}

void TMohaaServerInfo::SetHistoryLookup(std::shared_ptr<const THistoryLookup> lookup) {
  TLockGuard lock(hooks_mutex_);
  lookup_.swap(lookup);
}

std::shared_ptr<const THistoryLookup> TMohaaServerInfo::HistoryLookup() const {
  TLockGuard lock(hooks_mutex_);
  return lookup_;
}

void TMohaaServerInfo::SetScoreFunction(TScoreFunction fn) {
  auto shared = fn ? std::make_shared<const TScoreFunction>(std::move(fn)) : nullptr;
  TLockGuard lock(hooks_mutex_);
  score_.swap(shared);
}

std::shared_ptr<const TScoreFunction> TMohaaServerInfo::ScoreFunction() const {
  TLockGuard lock(hooks_mutex_);
  return score_;
}

}  // namespace kv
