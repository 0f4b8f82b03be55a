// The skin scan: now and then every online player's userinfo is read with
// "dumpuser"; his allied and axis skins are counted, announced when new or
// changed, written into the current player list, and kicked when the check
// list refuses them. The request waits on the checks' worker at the rcon
// budget's low priority; its reply comes back to the tracker's thread in
// order with the events.
#include <algorithm>

#include "core/bus.h"
#include "domain/domain.h"
#include "gamelink/console.h"
#include "rules/checks.h"
#include "rules/checks_vars.h"

namespace kv {

namespace {

// The game takes a slot number or a name. A name goes in double quotes; a
// name that could end the quotes or the command, or that the game would
// read as a slot number, is asked for by the client's slot instead.
std::string DumpUserCommand(const std::string& nick, int32_t client) {
  const bool digits =
      !nick.empty() && std::all_of(nick.begin(), nick.end(), [](char c) { return c >= '0' && c <= '9'; });
  const bool unsafe = nick.empty() || std::any_of(nick.begin(), nick.end(), [](char c) {
                        const auto u = static_cast<unsigned char>(c);
                        return c == '"' || c == ';' || u < 32 || u == 127;
                      });
  if (digits || unsafe) return "dumpuser " + std::to_string(client);
  return "dumpuser \"" + nick + "\"";
}

// The value of a "key : value" line, trimmed; false without a colon.
bool ValueAfterColon(const std::string& line, std::string& value) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  value = TrimSkin(line.substr(colon + 1));
  return true;
}

}  // namespace

void TPlayerChecks::BeforeRows(TUserList& list, double when) {
  const auto s = settings_.Get();
  if (!s->skin_detect) return;
  for (const TUserListEntry& row : list.Rows()) {
    const THistoryPtr h = tracker_.GetUser(row.client_number, false);
    if (!h) continue;
    double last = 0;
    if (GetDate(h->visit, "LastSkinUpdate", last) && when - last <= s->skin_scan_seconds / kSecondsPerDay)
      continue;
    const int32_t client = row.client_number;
    const std::string nick = h->player.name;
    {
      // One scan of a client at a time: a slow server does not collect a
      // request per poll for the same player.
      std::lock_guard lock(jobs_mutex_);
      if (scanning_.count(client) || jobs_.size() >= kMaxJobs) continue;
      scanning_.insert(client);
      // The scan is booked at the time of the poll that asked for it, as
      // every other rule judges by its event's time: a tracker that is
      // behind then rescans as often as one that keeps up.
      jobs_.push_back([this, client, nick, when] {
        const std::string reply = Query(DumpUserCommand(nick, client));
        tracker_.RunOnTrackerThread(
            [this, client, nick, reply, when] { ApplySkinReply(client, nick, reply, when); });
      });
    }
    WakeWorker();
  }
}

void TPlayerChecks::ApplySkinReply(int32_t client, const std::string& nick, const std::string& reply,
                                   double when) {
  {
    std::lock_guard lock(jobs_mutex_);
    scanning_.erase(client);
  }
  const auto s = settings_.Get();
  const THistoryPtr h = tracker_.GetUser(client, true);
  // Gone or renamed meanwhile: the reply may be another player's.
  if (!h || h->player.name != nick) return;
  // A time-out, an unknown nick or anything else without skin lines leaves
  // the scan due, so the next poll asks again.
  if (reply.find("dm_playergermanmodel") == std::string::npos &&
      !(s->quake && reply.find("model") != std::string::npos))
    return;
  SetDate(h->visit, "LastSkinUpdate", when);
  size_t pos = 0;
  while (pos < reply.size()) {
    size_t end = reply.find('\n', pos);
    if (end == std::string::npos) end = reply.size();
    std::string line = reply.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string skin;
    if (line.find("dm_playergermanmodel") != std::string::npos || (s->quake && line.rfind("model", 0) == 0)) {
      if (s->quake)
        skin = TrimSkin(line.size() > 5 ? line.substr(5) : std::string());
      else if (!ValueAfterColon(line, skin))
        continue;
      if (IsValidSkinName(skin)) SkinSide(*h, skin, true, when);
    } else if (line.find("dm_playermodel") != std::string::npos) {
      if (ValueAfterColon(line, skin) && IsValidSkinName(skin)) SkinSide(*h, skin, false, when);
    }
  }
  std::string allied, axis;
  const bool has_axis = checks::GetText(h->persistent, "LastSkin_German", axis);
  const bool has_allied = checks::GetText(h->persistent, "LastSkin", allied);
  if (s->quake && has_axis)
    runtime_.server.players.SetModelsOnPlayerOnActualList(client, "", axis);
  else if (has_axis && has_allied)
    runtime_.server.players.SetModelsOnPlayerOnActualList(client, allied, axis);
  SkinRule(*h, *s);
}

void TPlayerChecks::SkinSide(THistoryUserEntry& h, const std::string& skin, bool axis, double when) {
  const char* var = axis ? "LastSkin_German" : "LastSkin";
  std::string last;
  if (!checks::GetText(h.persistent, var, last) || last != skin) {
    h.persistent.SetValue(var, skin);
    h.visit.SetValue(var, skin);
    AddCounter(h.persistent, std::string(axis ? "Skins_German_" : "Skins_") + "\"" + skin + "\"", 1);
    PublishSkin(ekSkinChanged, h, skin, when);
  }
  h.persistent.SetValue(var, skin);
  if (skins_.NoteSeen(skin)) PublishSkin(ekNewSkin, h, skin, when);
}

void TPlayerChecks::SkinRule(const THistoryUserEntry& h, const TChecksSettings& s) {
  const int32_t client = h.player.client_number;
  for (const bool axis : {true, false}) {
    std::string skin;
    if (!checks::GetText(h.persistent, axis ? "LastSkin_German" : "LastSkin", skin)) continue;
    if (skins_.IsConfigured(skin) == s.skin_only_detect) continue;  // allowed
    const TReplaceArray extra = {{"%skin%", skin}, {"%side%", axis ? "Axis" : "Allies"}};
    // The announcement goes with the kick it announces: a kick under way
    // already (the other side's skin, the last scan's) is not announced
    // again.
    if (!kicker_.AddKickThread(client, 0, s.skin_kick_delay + s.kick_delay, extra, s.skin_kick_msg)) continue;
    SendConsoleMessage(runtime_.server, s.skin_kick_msg, true, false, false, extra, client, nullptr,
                       s.skin_kick_delay, s.kick_repeat);
  }
}

void TPlayerChecks::PublishSkin(uint8_t kind, const THistoryUserEntry& h, const std::string& skin,
                                double when) {
  auto event = std::make_shared<TMohaaEvent>(kind, skin);
  event->time = when;
  event->log_entry = std::make_unique<TLogEntry>();
  event->log_entry->first_player = h.player;
  PostEvent(std::move(event));
}

}  // namespace kv
