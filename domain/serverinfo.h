// TMohaaServerInfo: the state every part shares about the one game server:
// its address cache, the published connection settings, the rcon budget
// and when it last answered a status poll.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/shutdown_flag.h"
#include "core/snapshot.h"
#include "core/thread_annotations.h"
#include "core/threads.h"
#include "domain/server_settings.h"
#include "domain/settings_reader.h"
#include "domain/userlist.h"

namespace kv {

class TRconBudget;       // gamelink/rcon_budget.h
class TLastConsoleMsgs;  // gamelink/console.h
class TMohaaEvent;       // domain/events.h
class THistoryLookup;    // enforcement/templates.h
class TMohaaServerInfo;

// One caller-supplied substitution: the placeholder with its percent signs,
// and its value.
struct TReplaceStr {
  std::string placeholder;
  std::string value;
};
using TReplaceArray = std::vector<TReplaceStr>;

// The placeholder expansion that messages go through (gamelink/console.h).
using TMessageExpander =
    std::function<std::string(TMohaaServerInfo* info, const std::string& text, const TReplaceArray& extra,
                              int32_t player_id, const TMohaaEvent* event)>;
// Where every rcon reply goes "as if it were log text" (gamelink/rcon.h).
using TRconReplySink = std::function<void(TMohaaServerInfo& info, const std::string& reply)>;

// Where a new player list learns the game type and the server name
// (gamelink/userinfo.h): the player tracker installs it once it knows them.
// Empty text / -1 = unknown.
using TServerIdentityFn = std::function<void(int32_t& game_type, std::string& server_name)>;
// The score text of a nick, for the "%skills%" placeholders
// (enforcement/templates.h); installed by the player scores.
using TScoreFunction = std::function<std::string(TMohaaServerInfo* info, const std::string& nick)>;

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

  // The store this server's parts read their keys from at the moment of
  // use (each rcon request, each message). The service sets it before any
  // part runs; without one, reads give the catalogue's defaults. Any thread.
  void UseConfig(TDynamicConfigData* config) { config_.store(config, std::memory_order_release); }
  TSettingsReader Settings() const { return TSettingsReader(config_.load(std::memory_order_acquire)); }

  // The connection settings every request to the game server uses and the
  // kick timing the messages show; the settings loader publishes them, a
  // reader takes one value per request or message. Any thread.
  TSnapshot<TRconSettings> rcon;
  TSnapshot<TKickSettings> kicks;
  TSnapshot<TLogDialectSettings> dialect;

  // Set at this service's shutdown: its waiting rcon requests end at once
  // with what they have, new ones are not sent (gamelink/rcon.h). Any thread.
  TShutdownFlag rcon_terminating;

  // The server's players as its last status poll found them. Any thread.
  TCurrentPlayerList players;

  // The budget every rcon request to this server waits its turn in; none
  // means no limit. Set by the service before the first request.
  std::shared_ptr<TRconBudget> rcon_budget;
  // Date-time of the last "Status" reply the poll accepted (0: none yet):
  // the game server is alive even when its log stays quiet. Any thread.
  std::atomic<double> last_status_reply{0.0};

  // What the game link reaches through the server it talks to, one set per
  // service: the placeholder expansion of console messages, the flood
  // filter, the sink of rcon replies (each empty until its part opens), and
  // the background console senders (the service clears them at shutdown,
  // before the server state goes away). Any thread.
  void SetMessageExpander(TMessageExpander expander);
  std::shared_ptr<const TMessageExpander> MessageExpander() const;
  void SetConsoleFilter(std::shared_ptr<TLastConsoleMsgs> filter);
  std::shared_ptr<TLastConsoleMsgs> ConsoleFilter() const;
  void SetRconReplySink(TRconReplySink sink);
  std::shared_ptr<const TRconReplySink> RconReplySink() const;
  TThreadSet& ConsoleSenders() { return console_senders_; }

  // What this server's players are known by, one set per service: where
  // new player lists learn the game type and server name, where the
  // placeholder expansion finds players' stored records, and the score of
  // "%skills%" (each empty until its part opens). Any thread.
  void SetServerIdentitySource(TServerIdentityFn fn);
  std::shared_ptr<const TServerIdentityFn> ServerIdentitySource() const;
  void SetHistoryLookup(std::shared_ptr<const THistoryLookup> lookup);
  std::shared_ptr<const THistoryLookup> HistoryLookup() const;
  void SetScoreFunction(TScoreFunction fn);
  std::shared_ptr<const TScoreFunction> ScoreFunction() const;

 private:
  // Guards the hooks (a leaf: a hook runs, and a replaced one is freed,
  // after it is released).
  mutable TMutex hooks_mutex_;
  std::shared_ptr<const TMessageExpander> expander_ GUARDED_BY(hooks_mutex_);
  std::shared_ptr<TLastConsoleMsgs> filter_ GUARDED_BY(hooks_mutex_);
  std::shared_ptr<const TRconReplySink> sink_ GUARDED_BY(hooks_mutex_);
  std::shared_ptr<const TServerIdentityFn> identity_ GUARDED_BY(hooks_mutex_);
  std::shared_ptr<const THistoryLookup> lookup_ GUARDED_BY(hooks_mutex_);
  std::shared_ptr<const TScoreFunction> score_ GUARDED_BY(hooks_mutex_);
  TThreadSet console_senders_;
  std::atomic<TDynamicConfigData*> config_{nullptr};

  mutable TMutex address_mutex_;  // guards host_, address_, resolved_at_ (a leaf)
  std::string host_ GUARDED_BY(address_mutex_);
  std::string address_ GUARDED_BY(address_mutex_);
  double resolved_at_ GUARDED_BY(address_mutex_);
  TResolveFn resolve_ = &ResolveHostIPv4;
};

}  // namespace kv
