#include "rules/kills.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "core/bus.h"
#include "domain/player_vars.h"
#include "domain/settings.h"
#include "enforcement/banlist.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "players/history_record.h"

namespace kv {

namespace {

// Builds the per-weapon, per-map and per-opponent variable names of a kill in
// one buffer: a kill books a dozen of them.
class TNameBuilder {
 public:
  template <class... TParts>
  std::string_view operator()(const TParts&... parts) {
    text_.clear();
    (text_.append(parts), ...);
    return text_;
  }

 private:
  std::string text_;
};

// The named integer; false when missing or not a number.
bool GetInt(const TVarList& list, std::string_view name, int32_t& out) {
  TVariant v;
  if (!list.TryGetValue(name, v) || v.IsEmptyOrNull()) return false;
  try {
    out = static_cast<int32_t>(std::clamp<int64_t>(v.AsInt64(), INT32_MIN, INT32_MAX));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

int32_t IntOr(const TVarList& list, std::string_view name, int32_t fallback) {
  int32_t v = fallback;
  return GetInt(list, name, v) ? v : fallback;
}

bool GetBool(const TVarList& list, std::string_view name) {
  TVariant v;
  if (!list.TryGetValue(name, v) || v.IsEmptyOrNull()) return false;
  try {
    return v.AsBool();
  } catch (const std::exception&) {
    return false;
  }
}

// A date-time variable that is a finite number; false otherwise.
bool GetFiniteDate(const TVarList& list, std::string_view name, double& out) {
  TVariant v;
  if (!list.TryGetValue(name, v) || v.IsEmptyOrNull()) return false;
  try {
    out = v.AsDouble();
    return std::isfinite(out);
  } catch (const std::exception&) {
    return false;
  }
}

// Milliseconds between two date-times, rounded.
int64_t MsBetween(double earlier, double later) { return std::llround((later - earlier) * kMsPerDay); }

int32_t WeaponClassOf(const TMohaaEvent& event) {
  int32_t c = wcUnknown;
  GetInt(event.variables, "Weapon", c);
  return c >= 0 && c < kWeaponClassCount ? c : wcUnknown;
}

// The entry of a spree list whose count is the highest of 1..most among
// those with an end message (the first such in list order).
const TSpreeEntry* EndEntry(const std::vector<TSpreeEntry>& list, int32_t most) {
  const TSpreeEntry* best = nullptr;
  for (const auto& e : list)
    if (e.count >= 1 && e.count <= most && (!best || e.count > best->count) && !e.EndMessage().empty())
      best = &e;
  return best;
}

// The first entry with exactly this count and a start message.
const TSpreeEntry* StartEntry(const std::vector<TSpreeEntry>& list, int32_t count) {
  for (const auto& e : list)
    if (e.count == count && !e.StartMessage().empty()) return &e;
  return nullptr;
}

std::shared_ptr<TMohaaEvent> NewEvent(uint8_t kind, std::string text, double when) {
  auto event = std::make_shared<TMohaaEvent>(kind, std::move(text));
  event->time = when;
  event->log_entry = std::make_unique<TLogEntry>();
  return event;
}

}  // namespace

// --- Pure parts --------------------------------------------------------------------

std::string QuoteRegexChars(std::string_view text) {
  static constexpr std::string_view kSpecial = "^$.[()|?+*\\{]}";
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) {
    if (kSpecial.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

int32_t TScoreTeams::TeamOf(int32_t score) const {
  if (ambiguous || a == -999 || b == -999) return -999;
  if (score == a) return 1;
  if (score == b) return 2;
  if (score == c) return 3;
  return -1;
}

TScoreTeams InferTeamsFromScores(const std::vector<TUserListEntry>& rows) {
  TScoreTeams t;
  t.ambiguous = false;
  bool first = true;
  for (const auto& r : rows) {
    const int32_t s = r.score;
    if (first) {
      t.a = s;
      first = false;
    } else if (s != t.a && t.b == -999) {
      t.b = s;
    } else if (s != t.a && s != t.b && t.c == -999) {
      t.c = s;
    } else if (s != t.a && s != t.b && s != t.c) {
      t.ambiguous = true;
      break;
    }
  }
  if (t.b == -999) t.ambiguous = true;
  if ((t.a == 0 || t.b == 0) && t.c == -999) t.ambiguous = true;
  return t;
}

// --- The worker ------------------------------------------------------------------------

class TKillRules::TWorker : public TWorkerThread {
 public:
  explicit TWorker(TKillRules& owner) : TWorkerThread("TKillRules", kUntilWoken), owner_(owner) {}

 protected:
  void Iteration() override {
    for (;;) {
      TAction action;
      {
        std::lock_guard lock(owner_.queue_mutex_);
        if (owner_.queue_.empty()) break;
        action = std::move(owner_.queue_.front());
        owner_.queue_.pop_front();
        if (action.message) --owner_.queued_messages_;
        owner_.busy_ = true;
      }
      // At the end only the bans are still added; the game is over for
      // the messages.
      if (action.message && Terminated()) action.run = [] {};
      try {
        action.run();
      } catch (const std::exception& e) {
        PostGlobal(std::string("TKillRules failed with: ") + e.what(), mlCritical);
      }
      {
        std::lock_guard lock(owner_.queue_mutex_);
        owner_.busy_ = false;
      }
      owner_.queue_cv_.notify_all();
    }
  }

 private:
  TKillRules& owner_;
};

// --- The part ---------------------------------------------------------------------------

TKillRules::TKillRules(TRuntime& runtime, THistoryUserList& tracker, TKicker& kicker, TBanList* bans)
    : runtime_(runtime), tracker_(tracker), kicker_(kicker), bans_(bans) {
  tracker_.AddEventHandler(ekKill, [this](const TMohaaEvent& e) { OnKill(e); });
  tracker_.AddEventHandler(ekNewRound, [this](const TMohaaEvent& e) { OnNewRound(e); });
  tracker_.AddEventHandler(ekWeaponChange, [this](const TMohaaEvent& e) { OnWeaponChange(e); });
  tracker_.AddEventHandler(ekWeaponReload, [this](const TMohaaEvent& e) { OnWeaponReload(e); });
  tracker_.AddEventHandler(ekShowScore, [this](const TMohaaEvent& e) { OnShowScore(e); });
  TTrackerHooks hooks;
  hooks.before_rows = [this](TUserList& list, double when) { BeforeRows(list, when); };
  hooks.forgive = [this](THistoryUserEntry& h, double when) { Forgive(h, when); };
  hooks.after_row = [this](THistoryUserEntry& h, const TUserListEntry& row, double) { AfterRow(h, row); };
  tracker_.AddHooks(std::move(hooks));
}

TKillRules::~TKillRules() { Close(); }

void TKillRules::RegisterDataFiles(TDataFileRegistry& registry) {
  TDataFileHandler handler;
  handler.load = [this](TStream& in) { LoadSprees(in); };
  handler.save = [this](TStream& out) { SaveSprees(out); };
  registry.Register(TDataFileId::KillingSpring, std::move(handler));
}

void TKillRules::LoadSprees(TStream& in) {
  TSpreeLists lists;
  try {
    ReadSpreesFile(in, lists);
  } catch (...) {
    // What was read before the damage is kept; the load reports the rest.
    sprees_.Publish(std::move(lists));
    throw;
  }
  sprees_.Publish(std::move(lists));
}

void TKillRules::SaveSprees(TStream& out) const { WriteSpreesFile(out, *sprees_.Get()); }

namespace {

// A setting outside lo..hi is reported and replaced by `fallback`.
int32_t Ranged(TSettings& s, const char* key, int32_t lo, int32_t hi, int32_t fallback) {
  const int32_t v = s.Int(key);
  if (v >= lo && v <= hi) return v;
  PostGlobal(std::string("Setting ") + key + "=" + std::to_string(v) + " is out of range (" +
                 std::to_string(lo) + ".." + std::to_string(hi) + ") - " + std::to_string(fallback) +
                 " is used",
             mlWarning);
  return fallback;
}

TOffenceRule ReadRule(TSettings& s, const std::string& p, const char* forgive_key) {
  TOffenceRule r;
  r.max = Ranged(s, (p + "Max").c_str(), 1, 1000, 3);
  // A negative delay kicks first and announces afterwards (milliseconds apart).
  r.kick_delay = Ranged(s, (p + "KickDelay").c_str(), -60000, 3600, 3);
  r.kick_repetitions = Ranged(s, (p + "KickRep").c_str(), 1, 20, 1);
  r.ban_after_kicks = Ranged(s, (p + "BanAfterXKicks").c_str(), 1, 1000000, 2);
  r.send_warnings = s.Bool(p + "SendWarnings");
  r.ban_minutes = Ranged(s, (p + "BanTime").c_str(), -1, 5256000, 30);  // up to ten years
  r.ban_address = s.Bool(p + "BanIp");
  r.forgive_minutes = s.Int(forgive_key);  // 0 or less: never
  r.warning_message = s.String(p + "WarningMessage");
  r.kick_message = s.String(p + "KickMessage");
  r.ban_message = s.String(p + "BanMessage");
  return r;
}

}  // namespace

void TKillRules::ApplySettings(TSettings& s) {
  TKillRuleSettings k;
  k.killing_detect = s.Bool("KillingSpringDetect");
  k.killing_reset_on_new_round = s.Bool("KillingSpringResetonNewRound");
  k.losing_detect = s.Bool("LoosingSpringDetect");
  k.losing_reset_on_new_round = s.Bool("LoosingSpringResetonNewRound");
  k.tk_detect = s.Bool("EnableTKDetect");
  k.use_team_messages = s.Bool("UseTeamMessages");
  k.tk = ReadRule(s, "TKDetect", "ForgiveTKAfter");
  k.unknown_team_warnings = Ranged(s, "TKUnkownMessageRep", 0, 1000, 1);
  k.unknown_team_message = s.String("TKUnkownMessage");
  k.unknown_team_kick = s.String("TKUnkownMessageKick");
  k.operator_kick_delay = s.Int("MKickDelay");
  k.operator_kick_repeat = std::max(1, s.Int("MKickRepeat"));
  k.spawn_detect = s.Bool("EnableSpawnDetect");
  k.spawn_timeout_seconds = Ranged(s, "SpawnDetectTimeOut", 0, 3600, 10);
  k.spawn = ReadRule(s, "SpawnDetect", "ForgiveSpawnAfter");
  settings_.Publish(std::move(k));
}

void TKillRules::Open() {
  if (worker_) return;
  worker_ = MakeThread<TWorker>(*this);
  worker_->Wake();  // what was queued before the start
}

void TKillRules::Close() {
  if (!worker_) return;
  Flush(5000);
  worker_->TerminateAndJoin();
  worker_.reset();
}

bool TKillRules::Flush(int64_t timeout_ms) {
  std::unique_lock lock(queue_mutex_);
  return queue_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return (queue_.empty() && !busy_) || !worker_; });
}

void TKillRules::Queue(TAction action) {
  {
    std::lock_guard lock(queue_mutex_);
    if (action.message) {
      // A server that cannot take the messages as fast as the kills come
      // must not make the queue grow without bound.
      if (queued_messages_ >= kMaxQueuedMessages) {
        if (!overflow_)
          PostGlobal("TKillRules: more than " + std::to_string(kMaxQueuedMessages) +
                         " messages wait for the game server - further ones are dropped",
                     mlWarning);
        overflow_ = true;
        return;
      }
      overflow_ = false;
      ++queued_messages_;
    }
    queue_.push_back(std::move(action));
  }
  if (worker_) worker_->Wake();
}

void TKillRules::QueueBan(TBan ban) {
  if (!bans_) {
    PostGlobal("TKillRules: no ban list to ban [" + ban.nick_filter + "]", mlWarning);
    return;
  }
  Queue(
      {[this, b = std::move(ban)] { bans_->AddBanUntil(b.nick_filter, b.address_filter, b.message, b.end); },
       false});
}

// --- Messages and events -------------------------------------------------------------

void TKillRules::Say(const std::string& message, int32_t player_id, const TMohaaEvent* event,
                     bool skip_filter, const TReplaceArray& extra) {
  if (message.empty()) return;
  // The placeholders read the kill's players from the event: a copy goes
  // along. The worker says one message after the other: a sender thread per
  // message would pile up by the thousand in a busy match whose messages
  // the rcon budget cannot all let through, each waiting for its turn.
  std::shared_ptr<const TMohaaEvent> copy(event ? CloneEvent(event) : nullptr);
  Queue({[this, message, player_id, copy, skip_filter, extra] {
           SendConsoleMessage(runtime_.server, message, false, false, skip_filter, extra, player_id,
                              copy.get());
         },
         true});
}

void TKillRules::PublishHistoryChanged(const THistoryUserEntry& h, double when) {
  // At most one a second per player: each carries a copy of the record, and
  // the tracker's thread may not wait for room on the bus, so a burst of
  // kills would otherwise pile copies up by the hundred thousand. A change
  // held back goes out with the next status poll.
  const auto last = last_published_.find(h.player.name);
  if (last != last_published_.end() && MsBetween(last->second, when) < kHistoryChangedIntervalMs &&
      MsBetween(last->second, when) >= 0) {
    held_back_.insert(h.player.name);
    return;
  }
  if (last_published_.size() > 4096) last_published_.clear();
  last_published_[h.player.name] = when;
  held_back_.erase(h.player.name);
  auto event = std::make_shared<TMohaaEvent>(ekUserHistChanged);
  event->time = when;
  event->history_entry = ClonePlayer(&h);
  PostEvent(std::move(event));
}

// --- Kills ------------------------------------------------------------------------------

void TKillRules::OnKill(const TMohaaEvent& event) {
  if (!event.log_entry) return;
  const std::shared_ptr<const TKillRuleSettings> s = settings_.Get();
  if (CheckTK(event, *s)) return;
  if (PlayerKilled(event, *s)) PlayerKiller(event, *s);
}

bool TKillRules::UnknownTeam(THistoryUserEntry& who, const char* role, const TKillRuleSettings& s) {
  TVariant team;
  if (who.visit.TryGetValue("TeamName", team) && team.IsString() && team.AsString() != "unkown") return false;
  PostGlobal(std::string("THistoryUserList.CheckTK ") + role + " is in no team [" + who.player.name + "]",
             mlDebug);
  const int32_t times = AddCounter(who.visit, "TKUnkownMessageRep");
  if (times > s.unknown_team_warnings)
    kicker_.AddKickThread(who.player.client_number, s.operator_kick_repeat, s.operator_kick_delay, {},
                          s.unknown_team_kick);
  else
    Say(s.unknown_team_message, who.player.client_number, nullptr, false);
  return true;
}

bool TKillRules::CheckTK(const TMohaaEvent& event, const TKillRuleSettings& s) {
  const int32_t game_type = tracker_.GameType();
  if (game_type == 1 || !s.tk_detect || (game_type != 2 && !s.use_team_messages)) return false;
  const TLogEntry& entry = *event.log_entry;
  const THistoryPtr killer = tracker_.GetUser(entry.second_player.client_number, true);
  if (!killer) {
    PostGlobal("THistoryUserList.CheckTK ups no killer found ", mlDebug);
    return false;
  }
  const THistoryPtr victim = tracker_.GetUser(entry.first_player.client_number, true);
  if (!victim) {
    PostGlobal("THistoryUserList.CheckTK ups no killed Player found ", mlDebug);
    return false;
  }
  bool team_kill = false;
  if (!s.use_team_messages) {
    const int32_t killer_team = IntOr(killer->visit, "Team", -999);
    const int32_t victim_team = IntOr(victim->visit, "Team", -999);
    if (killer_team == -999) NoTeam(*killer, "killer");
    if (victim_team == -999) NoTeam(*victim, "killed");
    if (killer_team == -999 || victim_team == -999) return false;
    team_kill = killer_team == victim_team;
  } else {
    const bool killer_unknown = UnknownTeam(*killer, "killer", s);
    const bool victim_unknown = UnknownTeam(*victim, "killed", s);
    if (killer_unknown || victim_unknown) return false;
    team_kill =
        killer->visit.GetValue("TeamName").AsString() == victim->visit.GetValue("TeamName").AsString();
  }
  if (!team_kill) return false;

  const double when = event.time;
  const std::string weapon = kWeaponClassNames[WeaponClassOf(event)];
  const TUserListEntry& v = entry.first_player;
  const TReplaceArray extra = {{"%weapon%", weapon},
                               {"%playernick1%", v.name},
                               {"%playerip1%", v.address},
                               {"%playerscore1%", std::to_string(v.score)},
                               {"%playerping1%", std::to_string(v.ping)}};
  AddCounter(killer->persistent, "TeamKills");
  SetDate(killer->persistent, "LastTeamKill", when);
  AddCounter(killer->persistent, "TeamKill [" + weapon + "]");
  const int32_t in_visit = AddCounter(killer->visit, "TeamKill");
  if (in_visit == 1) SetDate(killer->visit, "LastTeamKillDeleted", when);
  auto published = NewEvent(ekTeamKill, victim->player.name, when);
  published->log_entry->first_player = killer->player;
  PostEvent(std::move(published));
  Punish(*killer, s.tk, in_visit, "KickedforAbuse_TeamKill", extra, when);
  return true;
}

void TKillRules::NoTeam(const THistoryUserEntry& who, const char* role) {
  // Once until his team is known again: where the score column tells no
  // teams apart (every score the same, a free-for-all map in a team game
  // type) each kill would bring two lines, and a busy server's kills would
  // fill the bus with them.
  if (no_team_reported_.size() > 4096) no_team_reported_.clear();
  if (!no_team_reported_.insert(who.player.name).second) return;
  PostGlobal(std::string("THistoryUserList.CheckTK ups ") + role + " is in no team [" + who.player.name + "]",
             mlDebug);
}

void TKillRules::Punish(THistoryUserEntry& killer, const TOffenceRule& rule, int32_t offences,
                        const char* kick_counter, const TReplaceArray& extra, double when) {
  const int32_t client = killer.player.client_number;
  if (offences < rule.max) {
    if (rule.send_warnings) Say(rule.warning_message, client, nullptr, false, extra);
    return;
  }
  // A kick of this client under way already: no second kick, nothing counted.
  if (!kicker_.AddKickThread(client, rule.kick_repetitions, rule.kick_delay, extra, rule.kick_message))
    return;
  if (AddCounter(killer.persistent, kick_counter) < rule.ban_after_kicks) return;
  TBan ban;
  ban.nick_filter = QuoteRegexChars(killer.player.name);
  if (rule.ban_address) ban.address_filter = killer.player.address;
  // No player: "%playernick%" stays and names whoever the ban strikes.
  ban.message = ExpandPlaceholders(&runtime_.server, rule.ban_message, extra);
  // The ban runs from the offence, however long the worker takes to add it.
  ban.end = rule.ban_minutes == 0 || rule.ban_minutes == -1 ? 0.0 : when + rule.ban_minutes / (24.0 * 60.0);
  QueueBan(std::move(ban));
}

TKillRules::TSpawnResult TKillRules::SpawnKillCheck(const TMohaaEvent& event, THistoryUserEntry& victim,
                                                    const TKillRuleSettings& s) {
  const double when = event.time;
  double last_death = 0;
  if (!s.spawn_detect || !GetFiniteDate(victim.visit, "LastHunted", last_death) ||
      MsBetween(last_death, when) >= int64_t{s.spawn_timeout_seconds} * 1000)
    return TSpawnResult::normal_death;
  const TUserListEntry& k = event.log_entry->second_player;
  const THistoryPtr killer = tracker_.GetUserByIdOrNick(k.client_number, k.name);
  if (!killer) {
    PostGlobal("THistoryUserList.Killed ups no killer found: " + std::to_string(k.client_number), mlDebug);
    return TSpawnResult::no_killer;
  }
  // A spawn kill within SpawnKillMinTime of the killer's last counted one is
  // the same burst (a grenade taking several players): it is not counted
  // again, and the death is an ordinary one.
  const int32_t min_ms = std::max(0, runtime_.Settings().Int("SpawnKillMinTime"));
  double last_spawn_kill = 0;
  if (GetFiniteDate(killer->persistent, "LastSpawnKill", last_spawn_kill) &&
      MsBetween(last_spawn_kill, when) < min_ms)
    return TSpawnResult::normal_death;

  const std::string weapon = kWeaponClassNames[WeaponClassOf(event)];
  AddCounter(killer->persistent, "Spawnkills [" + weapon + "]");
  AddCounter(killer->persistent, "Spawnkills");
  SetDate(killer->persistent, "LastSpawnKill", when);
  const int32_t in_visit = AddCounter(killer->visit, "Spawnkills");
  if (in_visit == 1) SetDate(killer->visit, "LastSpawnKillDeleted", when);
  if (in_visit < s.spawn.max) {
    if (s.spawn.send_warnings) Say(s.spawn.warning_message, k.client_number, nullptr, false);
  } else {
    Punish(*killer, s.spawn, in_visit, "KickedforAbuse_Spawnkills", {}, when);
  }
  auto published = NewEvent(ekSpawnKill, event.text, when);
  published->log_entry = CloneLogEntry(*event.log_entry);
  PostEvent(std::move(published));
  return TSpawnResult::counted;
}

bool TKillRules::PlayerKilled(const TMohaaEvent& event, const TKillRuleSettings& s) {
  const TLogEntry& entry = *event.log_entry;
  const THistoryPtr victim = tracker_.GetUser(entry.first_player.client_number, true);
  if (!victim) {
    PostGlobal(
        "THistoryUserList.Killed ups no killed found :" + std::to_string(entry.first_player.client_number),
        mlDebug);
    return false;
  }
  if (SpawnKillCheck(event, *victim, s) != TSpawnResult::normal_death) return false;

  const double when = event.time;
  TVarList& p = victim->persistent;
  TVarList& v = victim->visit;
  const std::string weapon = kWeaponClassNames[WeaponClassOf(event)];
  const std::string map = GetMapDisplayName(victim->player.map);
  const std::string& killer_name = entry.second_player.name;
  const int32_t client = victim->player.client_number;
  TNameBuilder name;
  AddCounter(p, "wasKilled");
  const int32_t losing = AddCounter(v, "loosingspring");
  AddCounter(p, name("wasKilledwith [", weapon, "]"));
  AddCounter(p, name("wasKilledwith [", weapon, "] [", map, "]"));
  AddCounter(p, name("wasKilledfrom [", killer_name, "]"));
  AddCounter(p, name("wasKilledfrom [", killer_name, "] [", map, "]"));
  SetDate(v, "LastHunted", when);

  const std::shared_ptr<const TSpreeLists> sprees = sprees_.Get();
  if (s.losing_detect)
    if (const TSpreeEntry* e = StartEntry(sprees->losing, losing)) {
      v.SetValue("onloosingspring", TVariant(true));
      Say(e->StartMessage(), client, &event, true);
    }
  int32_t killing = 0;
  const bool has_killing = GetInt(v, "killingspring", killing);
  const int32_t max_killing = IntOr(p, "maxkillingspring", 0);
  p.SetValue("maxkillingspring", TVariant(has_killing && killing > max_killing ? killing : max_killing));
  if (s.killing_detect) {
    if (GetBool(v, "onkillingspring")) {
      v.SetValue("onkillingspring", TVariant(false));
      AddCounter(p, "killingsprings");
      if (const TSpreeEntry* e = EndEntry(sprees->killing, killing))
        Say(e->EndMessage(), client, &event, true);
    }
    v.SetValue("killingspring", TVariant(int32_t{0}));
  }
  SetDate(p, "LastHunted", when);
  SetDate(p, name("LastHunted [", map, "]"), when);
  PublishHistoryChanged(*victim, when);
  return true;
}

void TKillRules::PlayerKiller(const TMohaaEvent& event, const TKillRuleSettings& s) {
  const TLogEntry& entry = *event.log_entry;
  const THistoryPtr killer = tracker_.GetUser(entry.second_player.client_number, true);
  if (!killer) {
    PostGlobal("THistoryUserList.Killer ups no killer found ", mlDebug);
    return;
  }
  const double when = event.time;
  TVarList& p = killer->persistent;
  TVarList& v = killer->visit;
  const int32_t weapon_class = WeaponClassOf(event);
  const std::string weapon = kWeaponClassNames[weapon_class];
  const std::string map = GetMapDisplayName(killer->player.map);
  const std::string& victim_name = entry.first_player.name;
  TNameBuilder name;
  AddCounter(p, "hasKilled");
  const int32_t killing = AddCounter(v, "killingspring");
  AddCounter(p, name("hasKilledwith [", weapon, "]"));
  AddCounter(p, name("hasKilledwith [", weapon, "] [", map, "]"));
  AddCounter(p, name("hasKilled [", victim_name, "]"));
  AddCounter(p, name("hasKilled [", victim_name, "] [", map, "]"));
  SetDate(p, "LastKill", when);
  SetDate(p, name("LastKill [", map, "]"), when);

  // A kill shows the weapon the killer carries; grenades and pistols are
  // thrown or drawn beside the main weapon and say nothing about it.
  if (!v.Exists("WEAPON")) v.SetValue("WEAPON", TVariant(int32_t{-1}));
  if (weapon_class != wcUnknown && weapon_class != wcGrenade && weapon_class != wcPistol &&
      weapon_class != IntOr(v, "WEAPON", -1)) {
    auto change = NewEvent(ekWeaponChange, weapon, when);
    change->log_entry->first_player = killer->player;
    change->variables.SetValue("Weapon", TVariant(weapon_class));
    PostEvent(std::move(change));
  }

  int32_t losing = 0;
  const bool has_losing = GetInt(v, "loosingspring", losing);
  const int32_t max_losing = IntOr(p, "maxloosingspring", 0);
  p.SetValue("maxloosingspring", TVariant(has_losing && losing > max_losing ? losing : max_losing));
  const std::shared_ptr<const TSpreeLists> sprees = sprees_.Get();
  if (s.losing_detect) {
    if (GetBool(v, "onloosingspring")) {
      AddCounter(p, "loosingsprings");
      v.SetValue("onloosingspring", TVariant(false));
      if (const TSpreeEntry* e = EndEntry(sprees->losing, losing))
        Say(e->EndMessage(), entry.first_player.client_number, &event, true);
    }
    v.SetValue("loosingspring", TVariant(int32_t{0}));
  }
  if (s.killing_detect)
    if (const TSpreeEntry* e = StartEntry(sprees->killing, killing)) {
      Say(e->StartMessage(), killer->player.client_number, &event, true);
      v.SetValue("onkillingspring", TVariant(true));
    }
  // Last: the copy carries every change of the kill.
  PublishHistoryChanged(*killer, when);
}

// --- New round, weapons, score board --------------------------------------------------

void TKillRules::OnNewRound(const TMohaaEvent&) {
  const std::shared_ptr<const TKillRuleSettings> s = settings_.Get();
  THUserList& store = tracker_.Store();
  TRecursiveLockGuard lock(store.StoreLock());
  const auto reset = [](THistoryUserEntry& h, const char* streak, const char* ended, const char* most,
                        const char* on) {
    int32_t value = 0;
    if (GetInt(h.visit, streak, value)) {
      AddCounter(h.persistent, ended);
      h.persistent.SetValue(most, TVariant(std::max(value, IntOr(h.persistent, most, 0))));
      h.visit.SetValue(streak, TVariant(int32_t{0}));
    }
    h.visit.SetValue(on, TVariant(false));
  };
  for (int i = 0, n = store.CachedCount(); i < n; ++i) {
    const THistoryPtr h = store.CachedAt(i);
    if (!h) continue;
    if (s->killing_reset_on_new_round)
      reset(*h, "killingspring", "killingsprings", "maxkillingspring", "onkillingspring");
    if (s->losing_reset_on_new_round)
      reset(*h, "loosingspring", "loosingsprings", "maxloosingspring", "onloosingspring");
  }
}

void TKillRules::OnWeaponChange(const TMohaaEvent& event) {
  if (!event.log_entry) return;
  const int32_t client = event.log_entry->first_player.client_number;
  const THistoryPtr h = tracker_.GetUser(client, false);
  if (!h) return;
  const int32_t weapon_class = WeaponClassOf(event);
  const std::string weapon = kWeaponClassNames[weapon_class];
  h->visit.SetValue("WEAPON", TVariant(weapon_class));
  h->persistent.SetValue("Weapon", weapon);
  runtime_.server.players.SetWeaponOnPlayerOnActualList(client, weapon);
  AddCounter(h->persistent, "Weapon [" + weapon + "]");
  AddCounter(h->persistent, "Weapon [" + GetMapDisplayName(h->player.map) + "] [" + weapon + "]");
}

void TKillRules::OnWeaponReload(const TMohaaEvent& event) {
  if (!event.log_entry) return;
  const THistoryPtr h = tracker_.GetUser(event.log_entry->first_player.client_number, false);
  if (!h) return;
  TVariant carried;
  const std::string weapon =
      h->persistent.TryGetValue("Weapon", carried) && carried.IsString() ? carried.AsString() : "unknown";
  AddCounter(h->persistent, "Reload");
  AddCounter(h->persistent, "Reload [" + weapon + "]");
  AddCounter(h->persistent, "Reload [" + GetMapDisplayName(h->player.map) + "] [" + weapon + "]");
  SetDate(h->persistent, "LastReload", event.time);
}

void TKillRules::OnShowScore(const TMohaaEvent& event) {
  if (!event.log_entry) return;
  const THistoryPtr h = tracker_.GetUser(event.log_entry->first_player.client_number, false);
  if (!h) return;
  AddCounter(h->persistent, "ShowStats");
  AddCounter(h->persistent, "ShowStats [" + GetMapDisplayName(h->player.map) + "]");
  SetDate(h->persistent, "LastShowStats", event.time);
}

// --- The status poll's hooks -------------------------------------------------------------

void TKillRules::BeforeRows(TUserList& list, double when) {
  const std::set<std::string> held_back = std::move(held_back_);
  held_back_.clear();
  for (const auto& nick : held_back)
    if (const THistoryPtr h = tracker_.Store().GetUserEntry(nick)) {
      last_published_.erase(nick);
      PublishHistoryChanged(*h, when);
    }
  const std::shared_ptr<const TKillRuleSettings> s = settings_.Get();
  teams_apply_ = s->tk_detect && tracker_.TeamGame() && !s->use_team_messages;
  if (teams_apply_) teams_ = InferTeamsFromScores(list.Rows());
}

void TKillRules::AfterRow(THistoryUserEntry& h, const TUserListEntry& row) {
  if (!teams_apply_) return;
  const int32_t team = teams_.TeamOf(row.score);
  if (team == -1) PostGlobal("Woooohhhhaa a 4. Team whats up ??", mlDebug);
  if (team != -999) no_team_reported_.erase(h.player.name);
  h.visit.SetValue("Team", TVariant(team));
}

void TKillRules::Forgive(THistoryUserEntry& h, double when) {
  const std::shared_ptr<const TKillRuleSettings> s = settings_.Get();
  const auto forgive = [&](const char* last, int32_t minutes, const char* deleted, const char* counter) {
    double at = 0;
    if (!h.persistent.Exists(last) || minutes <= 0) return;
    if (GetFiniteDate(h.visit, deleted, at) && MsBetween(at, when) <= int64_t{minutes} * 60'000) return;
    int32_t count = 0;
    if (!GetInt(h.visit, counter, count) || count <= 0) return;
    h.visit.SetValue(counter, TVariant(count - 1));
    SetDate(h.visit, deleted, when);
  };
  forgive("LastTeamKill", s->tk.forgive_minutes, "LastTeamKillDeleted", "TeamKill");
  forgive("LastSpawnKill", s->spawn.forgive_minutes, "LastSpawnKillDeleted", "Spawnkills");
}

}  // namespace kv
