// Team changes: each change is counted per team and per map; a change into
// a playing team soon after the last one is flooding, and the automatic
// team choice is not welcome where team messages are watched. Tracker
// thread, store lock held; every time is the event's own.
#include "core/bus.h"
#include "domain/domain.h"
#include "rules/checks.h"
#include "rules/checks_vars.h"

namespace kv {

using checks::GetText;

void TPlayerChecks::OnTeamChange(const TMohaaEvent& event) {
  int64_t team = -1;
  if (!event.log_entry || !checks::GetInt(event.variables, "Team", team) || team < 0 || team >= kTeamCount)
    return;
  const int32_t client = event.log_entry->first_player.client_number;
  const THistoryPtr h = tracker_.GetUser(client, false);
  if (!h) return;
  const std::string name = kTeamNames[team];
  std::string current;
  if (GetText(h->visit, "TeamName", current) && current == name) return;  // no change
  const auto s = settings_.Get();
  const double when = event.time;
  double last = 0;
  if (s->use_team_messages && s->tk_detect && tracker_.GameType() > 1 && team != tmSpectator &&
      GetDate(h->visit, "LastTeamChange", last) && when - last < s->flood_timeout_seconds / kSecondsPerDay)
    kicker_.AddKickThread(client, 1, s->flood_kick_delay, {}, s->flood_msg);
  h->visit.SetValue("TeamName", name);
  h->visit.SetValue("Team", TVariant(static_cast<int32_t>(team)));
  AddCounter(h->persistent, "TeamChanges", 1);
  AddCounter(h->persistent, "Teams [" + name + "]", 1);
  AddCounter(h->persistent, "Teams [" + GetMapDisplayName(h->player.map) + "] [" + name + "]", 1);
  if (team != tmSpectator) SetDate(h->persistent, "LastTeamChange", when);
  SetDate(h->visit, "LastTeamChange", when);
  runtime_.server.players.SetTeamOnPlayerOnActualList(client, name);
}

void TPlayerChecks::OnAutoJoinTeam(const TMohaaEvent& event) {
  const auto s = settings_.Get();
  if (!s->use_team_messages || !event.log_entry) return;
  const int32_t client = event.log_entry->first_player.client_number;
  if (!tracker_.GetUser(client, false)) return;
  kicker_.AddKickThread(client, 1, s->auto_team_kick_delay, {}, s->auto_team_kick_msg);
}

}  // namespace kv
