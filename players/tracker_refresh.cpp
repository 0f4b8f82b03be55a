// What the tracker does with a player list and a map change: match every
// row to a history (new player, return, nick change, another player in the
// slot), let the missing ones go offline, count maps, scores and play time,
// enforce the identity rules. Event thread, store lock held; every time
// is the time of the event being handled, so a tracker that falls behind
// books the same times as one that keeps up.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <unordered_map>

#include "core/bus.h"
#include "domain/player_vars.h"
#include "players/tracker.h"

namespace kv {

namespace {

bool Online(const THistoryUserEntry& h) {
  return h.player.client_number != kNoPlayer && h.player.client_number != kClientNotSet;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

void AddPlayTime(TVarList& persistent, double days) {
  double total = 0;
  GetDate(persistent, "Timeplayed", total);
  total += std::max(0.0, days);
  SetDate(persistent, "Timeplayed", total);
  persistent.SetValue("TimeplayedStr", THistoryUserList::PlayTimeText(total));
}

// LastNicks: "nick=count" pairs, comma-separated; the count belongs to the
// nick that was left.
std::string CountNick(const std::string& last_nicks, const std::string& nick) {
  std::vector<std::pair<std::string, int64_t>> pairs;
  size_t start = 0;
  while (start < last_nicks.size()) {
    size_t end = last_nicks.find(',', start);
    if (end == std::string::npos) end = last_nicks.size();
    const std::string pair = last_nicks.substr(start, end - start);
    const size_t eq = pair.rfind('=');
    if (eq != std::string::npos) {
      int64_t count = 0;
      try {
        count = std::stoll(pair.substr(eq + 1));
      } catch (const std::exception&) {
      }
      pairs.emplace_back(pair.substr(0, eq), count);
    } else if (!pair.empty()) {
      pairs.emplace_back(pair, 0);
    }
    start = end + 1;
  }
  const auto it = std::find_if(pairs.begin(), pairs.end(), [&](const auto& p) { return p.first == nick; });
  if (it == pairs.end())
    pairs.emplace_back(nick, 1);
  else
    ++it->second;
  std::string out;
  for (const auto& [name, count] : pairs)
    out += (out.empty() ? "" : ",") + name + "=" + std::to_string(count);
  return out;
}

// Whether the operator's pattern finds a match in the text. A pattern that
// does not compile is reported (once per pattern) and counts as `fallback`.
bool PatternFinds(const std::string& pattern, const std::string& text, const char* setting, bool fallback) {
  struct TCode {
    pcre2_code* code = nullptr;
    ~TCode() { pcre2_code_free(code); }
  };
  // The event thread's own cache: patterns come from settings and histories
  // and repeat, so each is compiled once.
  thread_local std::unordered_map<std::string, std::shared_ptr<TCode>> cache;
  auto& entry = cache[pattern];
  if (!entry) {
    if (cache.size() > 256) {
      cache.clear();
      return PatternFinds(pattern, text, setting, fallback);
    }
    entry = std::make_shared<TCode>();
    int error = 0;
    PCRE2_SIZE offset = 0;
    entry->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), PCRE2_DOTALL,
                                &error, &offset, nullptr);
    if (!entry->code) {
      PCRE2_UCHAR message[256];
      pcre2_get_error_message(error, message, sizeof message);
      PostGlobal(std::string("THistoryUserList: the expression of ") + setting + " [" + pattern +
                     "] is not valid: " + reinterpret_cast<const char*>(message),
                 mlWarning);
    }
  }
  if (!entry->code) return fallback;
  pcre2_match_data* match = pcre2_match_data_create(1, nullptr);
  const int rc =
      pcre2_match(entry->code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, match, nullptr);
  pcre2_match_data_free(match);
  return rc >= 0;
}

}  // namespace

void THistoryUserList::RefreshPlayers(const TMohaaEvent& event) {
  const double when = event.time;
  if (event.player_list) {
    TUserList list(*event.player_list);
    if (hooks_.before_rows) hooks_.before_rows(list, when);
    const auto rows = list.Rows();
    for (const auto& row : rows) {
      // One row that fails does not cost the others their turn.
      try {
        TrackRow(row, when);
      } catch (const std::exception& e) {
        PostGlobal(
            "THistoryUserList.Execute failed with: " + std::string(e.what()) + " (player " + row.name + ")",
            mlCritical);
      }
    }
    DeparturePass(rows, when);
  }
  AskServerName(when);
}

THUserList::THistoryPtr THistoryUserList::TrackRow(const TUserListEntry& row, double when) {
  THistoryPtr tracked = GetUser(row.client_number, true);
  if (tracked) {
    if (hooks_.forgive) hooks_.forgive(*tracked, when);
    const bool same_client =
        EqualsIgnoringCase(tracked->player.address, row.address) && tracked->player.qport == row.qport;
    const THistoryPtr by_nick = store_.GetUserEntry(row.name);
    bool renamed = false;
    if (tracked != by_nick && same_client) {
      const THistoryPtr after = PlayerNickChanged(tracked, row, when);
      renamed = after != tracked;
      tracked = after;
    }
    if (tracked->player.name != row.name) {
      // Another player has the slot now.
      PlayerWentOffline(tracked, when);
      tracked = nullptr;
    }
    if (tracked && (tracked == by_nick || renamed)) tracked->player = row;
  }
  // A slot nobody had, or whose player just left: the row's player comes
  // now, in this poll, and not one poll later.
  if (!tracked) {
    if (THistoryPtr by_nick = store_.GetUserEntry(row.name)) {
      tracked = by_nick;
      PlayerBack(tracked, row, when);
    } else {
      tracked = NewPlayer(row, when);
    }
  }
  if (!tracked) return nullptr;
  // The last time the player was seen online: a visit whose end the tracker
  // did not see (it was not running) ends here.
  if (Online(*tracked)) SetDate(tracked->persistent, "LastSeen", when);
  AddPingSample(*tracked, row.ping);
  if (hooks_.after_row) hooks_.after_row(*tracked, row, when);
  return tracked;
}

void THistoryUserList::DeparturePass(const std::vector<TUserListEntry>& rows, double when) {
  std::vector<THistoryPtr> gone;
  for (int i = 0, n = store_.CachedCount(); i < n; ++i) {
    THistoryPtr h = store_.CachedAt(i);
    if (!h || !Online(*h)) continue;
    const int32_t client = h->player.client_number;
    if (std::none_of(rows.begin(), rows.end(),
                     [&](const TUserListEntry& r) { return r.client_number == client; }))
      gone.push_back(std::move(h));
  }
  // Collected first: a departure may delete a history from the cache.
  for (const auto& h : gone) PlayerWentOffline(h, when);
}

THUserList::THistoryPtr THistoryUserList::NewPlayer(const TUserListEntry& row, double when) {
  const TTrackerSettings& s = *current_;
  if (s.only_one_player_per_ip && FindByAddress(row.address, row.qport, true, false))
    Kick(row.client_number, 1, 0, kKickSameIp);
  auto h = std::make_shared<THistoryUserEntry>();
  h->player = row;
  SetDate(h->persistent, "FIRSTSEEN", when);
  SetDate(h->persistent, "LASTENTER", when);
  h->persistent.SetValue("WEAPON", "unknown");
  h->visit.SetValue("WEAPON", TVariant(int32_t{0}));
  h->visit.SetValue("TeamName", "unkown");
  h->ping_samples.clear();
  Publish(ekNewUser, *h, row, when);
  PlayerMapChange(*h, row.map, when);
  PublishPlayerMapChange(*h, row.map, when);
  if (!IsValidNick(row.name, s.spearhead)) Kick(row.client_number, 1, 120, kKickBadNickNew);
  if (hooks_.check_nick) hooks_.check_nick(*h, row);
  PublishHistoryChanged(*h, when);
  return store_.AddUser(std::move(h));
}

void THistoryUserList::PlayerBack(const THistoryPtr& h, const TUserListEntry& row, double when) {
  const TTrackerSettings& s = *current_;
  if (Online(*h)) {
    Kick(row.client_number, 1, 0, kKickSameNick);
    return;
  }
  if (s.only_one_player_per_ip && FindByAddress(row.address, row.qport, true, false))
    Kick(row.client_number, 1, 0, kKickSameIp);
  h->player = row;
  if (hooks_.check_nick) hooks_.check_nick(*h, row);
  // The last visit ended without a departure being seen: it counts until the
  // player was last seen online, not until now.
  double last_seen = 0, last_quit = 0, entered = 0;
  const bool seen = GetDate(h->persistent, "LastSeen", last_seen);
  const bool quit = GetDate(h->persistent, "LastQuit", last_quit);
  if (seen && (!quit || last_quit != last_seen) && GetDate(h->persistent, "LASTENTER", entered))
    AddPlayTime(h->persistent, last_seen - entered);
  SetDate(h->persistent, "LastSeen", when);
  SetDate(h->persistent, "LASTENTER", when);
  if (s.reset_ping)
    h->ping_samples.clear();
  else
    AddPingSample(*h, 0);
  h->visit.SetValue("WEAPON", TVariant(int32_t{0}));
  h->visit.SetValue("TeamName", "unkown");
  Publish(ekUserBack, *h, row, when);
  PlayerMapChange(*h, row.map, when);
  PublishPlayerMapChange(*h, row.map, when);
  if (!IsValidNick(row.name, s.spearhead)) Kick(row.client_number, 1, 120, kKickBadNickBack);
  TVariant filter;
  if (h->persistent.TryGetValue("User_IPFilter", filter) && filter.IsString() && !filter.AsString().empty() &&
      !PatternFinds(filter.AsString(), h->player.address, "User_IPFilter", true))
    Kick(row.client_number, 1, 60, kKickIpFilter);
  PublishHistoryChanged(*h, when);
}

void THistoryUserList::PlayerWentOffline(const THistoryPtr& h, double when) {
  const TTrackerSettings& s = *current_;
  SetDate(h->persistent, "LastSeen", when);
  SetDate(h->persistent, "LastQuit", when);
  AddCounter(h->persistent, "SAVEDSCORE", h->player.score);
  double entered = 0;
  if (GetDate(h->persistent, "LASTENTER", entered)) AddPlayTime(h->persistent, when - entered);
  h->persistent.SetValue("LastScore", TVariant(h->player.score));
  h->player.score = 0;
  Publish(ekWentOffline, *h, h->player, when);
  h->player.client_number = kNoPlayer;
  h->visit.Clear();
  if (s.reset_ping) h->ping_samples.clear();
  PublishHistoryChanged(*h, when);
  // Only the histories of the nicks the operator keeps statistics for stay;
  // a pattern that does not compile keeps every history.
  if (!s.stats_only_for_nick.empty() &&
      !PatternFinds(s.stats_only_for_nick, h->player.name, "StatsonlyforthatNick", true))
    store_.DelUser(h->player.name);
}

THUserList::THistoryPtr THistoryUserList::PlayerNickChanged(const THistoryPtr& h, const TUserListEntry& row,
                                                            double when) {
  const std::string old_nick = h->player.name;
  const std::string& new_nick = row.name;
  if (store_.GetUserEntry(new_nick)) {
    Kick(h->player.client_number, 1, 0,
         old_nick + " get kicked - Player changed nick to allready know User [" + new_nick + "]");
    return h;
  }
  AddCounter(h->persistent, "NickChanges", 1);
  TVariant last;
  const std::string before =
      h->persistent.TryGetValue("LastNicks", last) && last.IsString() ? last.AsString() : "";
  h->persistent.SetValue("LastNicks", CountNick(before, old_nick));
  THistoryPtr renamed = store_.RenameUser(old_nick, new_nick);
  if (!renamed) return h;
  Publish(ekNickChanged, *renamed, row, when, old_nick);
  PublishHistoryChanged(*renamed, when);
  return renamed;
}

void THistoryUserList::MapChange(const TMohaaEvent& event) {
  const double when = event.time;
  // A per-player map change is the tracker's own, published at a join or a
  // return and booked there already: booking it when it comes back from the
  // bus would lose it whenever the player has left again by then (a tracker
  // that is behind).
  if (event.history_entry) return;
  for (int i = 0, n = store_.CachedCount(); i < n; ++i) {
    THistoryPtr h = store_.CachedAt(i);
    if (h && Online(*h)) PlayerMapChange(*h, event.text, when);
  }
  AskGameType();
  // The store's writer saves what leaves the cache; the events go on.
  store_.PurgeCache(false);
}

void THistoryUserList::PlayerMapChange(THistoryUserEntry& h, const std::string& map, double when) {
  AddCounter(h.persistent, "MapsPlayed", 1);
  AddCounter(h.persistent, "SAVEDSCORE", h.player.score);
  SetDate(h.persistent, "LastMapChange", when);
  h.player.map = map;
  AddCounter(h.persistent, "MapsPlayed [" + map + "]", 1);
  TVariant team;
  if (current_->use_team_messages && h.visit.TryGetValue("TeamName", team) && team.IsString() &&
      team.AsString() != "unkown")
    AddCounter(h.persistent, "Teams [" + GetMapDisplayName(map) + "] " + team.AsString(), 1);
}

void THistoryUserList::DeleteHistory(const TMohaaEvent& event) {
  if (!event.history_entry) return;
  if (THistoryPtr h = FindSamePlayer(*event.history_entry))
    store_.DelUser(h->player.name);
  else
    PostGlobal("THistoryUserList: no history of [" + event.history_entry->player.name +
                   "] in use to delete - left alone",
               mlDebug);
}

// The window has PingMessure slots; a slot holding 0 is free. A sample
// fills the first free slot, or, in a full window, pushes the oldest out.
// A client still connecting (999) and a negative reading are no samples.
void THistoryUserList::AddPingSample(THistoryUserEntry& h, int32_t ping) {
  if (ping == kConnectingPing || ping < 0) return;
  const size_t slots = static_cast<size_t>(std::clamp(current_->ping_measure_count, 1, kMaxPingSlots));
  if (h.ping_samples.size() != slots) h.ping_samples.assign(slots, 0);
  const auto free = std::find(h.ping_samples.begin(), h.ping_samples.end(), 0);
  if (free != h.ping_samples.end()) {
    *free = ping;
    return;
  }
  std::rotate(h.ping_samples.begin(), h.ping_samples.begin() + 1, h.ping_samples.end());
  h.ping_samples.back() = ping;
}

bool THistoryUserList::Kick(int32_t client_number, int32_t repetitions, int32_t delay, std::string message) {
  if (!kick_) {
    PostGlobal(
        "THistoryUserList: no kick workers to kick client " + std::to_string(client_number) + ": " + message,
        mlWarning);
    return false;
  }
  return kick_(TKickRequest{client_number, repetitions, delay, std::move(message)});
}

void THistoryUserList::Publish(uint8_t kind, const THistoryUserEntry& h, const TUserListEntry& row,
                               double when, std::string text) {
  auto event = std::make_shared<TMohaaEvent>(kind, std::move(text));
  event->time = when;
  event->log_entry = std::make_unique<TLogEntry>();
  event->log_entry->first_player = row;
  event->variables.Assign(&h.persistent);
  PostEvent(std::move(event));
}

void THistoryUserList::PublishHistoryChanged(const THistoryUserEntry& h, double when) {
  auto event = std::make_shared<TMohaaEvent>(ekUserHistChanged);
  event->time = when;
  event->history_entry = ClonePlayer(&h);
  PostEvent(std::move(event));
}

void THistoryUserList::PublishPlayerMapChange(const THistoryUserEntry& h, const std::string& map,
                                              double when) {
  auto event = std::make_shared<TMohaaEvent>(ekMapChange, map);
  event->time = when;
  event->history_entry = ClonePlayer(&h);
  PostEvent(std::move(event));
}

}  // namespace kv
