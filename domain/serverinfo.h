// TMohaaServerInfo: the state every part shares about the one game server:
// its address cache, the published connection settings, the rcon budget
// and when it last answered a status poll.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/snapshot.h"
#include "core/thread_annotations.h"
#include "domain/server_settings.h"

namespace kv {

class TRconBudget;  // gamelink/rcon_budget.h

// Address lookup used by the cache; replaceable for tests. Returns false and
// an error text when the host cannot be resolved.
using TResolveFn = bool (*)(const std::string& host, std::string& address, std::string& error);
bool ResolveHostIPv4(const std::string& host, std::string& address, std::string& error);

class TMohaaServerInfo {
 public:
  TMohaaServerInfo();
  ~TMohaaServerInfo();
  TMohaaServerInfo(const TMohaaServerInfo&) = delete;
  TMohaaServerInfo& operator=(const TMohaaServerInfo&) = delete;

  // The game server's address; re-resolves the configured host when the
  // last resolution is more than 240 seconds old. Any thread.
  std::string GetServerIP();
  // Sets the host and resolves it now; on failure posts "Error on resolving
  // host ..." and keeps the host text as the address. Any thread.
  void SetServerHost(const std::string& host);
  std::string ServerHost() const;
  void SetResolver(TResolveFn fn) { resolve_ = fn; }

  // The connection settings every request to the game server uses and the
  // kick timing the messages show; the settings loader publishes them, a
  // reader takes one value per request or message. Any thread.
  TSnapshot<TRconSettings> rcon;
  TSnapshot<TKickSettings> kicks;
  TSnapshot<TLogDialectSettings> dialect;

  // The budget every rcon request to this server waits its turn in; none
  // means no limit. Set by the service before the first request.
  std::shared_ptr<TRconBudget> rcon_budget;
  // Date-time of the last "Status" reply the poll accepted (0: none yet):
  // the game server is alive even when its log stays quiet. Any thread.
  std::atomic<double> last_status_reply{0.0};

 private:
  mutable TMutex address_mutex_;  // guards host_, address_, resolved_at_ (a leaf)
  std::string host_ GUARDED_BY(address_mutex_);
  std::string address_ GUARDED_BY(address_mutex_);
  double resolved_at_ GUARDED_BY(address_mutex_);
  TResolveFn resolve_ = &ResolveHostIPv4;
};

}  // namespace kv
