// The tracker's questions to the game server: its name ("sv_hostname",
// every two minutes) and its game type ("g_gametype", after a map change).
// A slow or silent server must not hold the events up, so the answers are
// waited for on the query thread and go back into the event queue; the
// game type is asked a bounded number of times.
#include "core/bus.h"
#include "gamelink/rcon.h"
#include "players/tracker.h"

namespace kv {

namespace {

// The value of a cvar reply `"NAME" is:"VALUE"...`, when the reply is one.
bool CvarValue(const std::string& reply, const std::string& name, std::string& value) {
  if (reply.find("\"" + name + "\"") == std::string::npos) return false;
  const size_t is = reply.find("is:\"");
  if (is == std::string::npos) {
    value.clear();
    return true;
  }
  const size_t begin = is + 4;
  const size_t end = reply.find('"', begin);
  value = reply.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  return true;
}

}  // namespace

std::string THistoryUserList::Query(const std::string& command) {
  if (query_) return query_(command);
  return SendMohaMessage(runtime_.server, command, false, -1, rpPoll);
}

void THistoryUserList::AskServerName(double when) {
  if (server_name_in_flight_ ||
      (last_server_name_ > 0 && when - last_server_name_ <= kServerNameIntervalS / kSecondsPerDay))
    return;
  server_name_in_flight_ = true;
  {
    std::lock_guard lock(queue_mutex_);
    want_server_name_ = true;
  }
  WakeQueries();
}

void THistoryUserList::AskGameType() {
  {
    std::lock_guard lock(queue_mutex_);
    want_game_type_ = true;
  }
  WakeQueries();
}

void THistoryUserList::AskServerNameNow() {
  std::string name;
  const bool answered = CvarValue(Query("sv_hostname"), "sv_hostname", name);
  Enqueue(TItem{nullptr, [this, answered, name] {
                  server_name_in_flight_ = false;
                  if (!answered) return;  // asked again with the next list
                  last_server_name_ = runtime_.clock.Now();
                  std::lock_guard lock(identity_mutex_);
                  server_name_ = name;
                }});
}

void THistoryUserList::AskGameTypeNow() {
  for (int attempt = 1; attempt <= kGameTypeTries; ++attempt) {
    if (RconTerminating(runtime_.server)) return;
    game_type_queries_.fetch_add(1);
    std::string value;
    if (CvarValue(Query("g_gametype"), "g_gametype", value)) {
      const int32_t type = !value.empty() && value[0] >= '0' && value[0] <= '9' ? value[0] - '0' : 0;
      Enqueue(TItem{nullptr, [this, type] {
                      std::lock_guard lock(identity_mutex_);
                      game_type_ = type;
                    }});
      return;
    }
    if (attempt < kGameTypeTries && !PauseQueries(kGameTypePauseMs)) return;
  }
  PostGlobal("THistoryUserList: the game server did not tell its game type (g_gametype) in " +
                 std::to_string(kGameTypeTries) + " tries; keeping game type " + std::to_string(GameType()),
             mlWarning);
}

}  // namespace kv
