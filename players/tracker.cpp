// The tracker's frame: its queue and threads, the bus subscription, the
// look-ups other parts use and the operator's commands. The handling of
// the events is in tracker_refresh.cpp, the rcon queries in
// tracker_queries.cpp.
#include "players/tracker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/bus.h"
#include "core/bus_message.h"
#include "core/cp1252.h"
#include "core/regional.h"
#include "domain/settings.h"
#include "gamelink/rcon.h"
#include "gamelink/userinfo.h"

namespace kv {

namespace {

// The kinds the tracker takes from the bus: the status poll's, its own
// per-player map changes, the operator's deletions and the log's events
// for the rules' handlers.
constexpr uint8_t kConsumedKinds[] = {ekKill,      ekNewUserList,  ekDelUserHistory, ekMapChange,
                                      ekNewRound,  ekTeamChange,   ekWeaponChange,   ekWeaponReload,
                                      ekShowScore, ekAutoJoinTeam, ekBadWord};

std::string ToUpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool Online(const THistoryUserEntry& h) {
  return h.player.client_number != kNoPlayer && h.player.client_number != kClientNotSet;
}

}  // namespace

// The event thread: handles one queued item after the other and sleeps on
// the queue when it is empty.
class THistoryUserList::TEventThread : public TWorkerThread {
 public:
  explicit TEventThread(THistoryUserList& owner)
      : TWorkerThread("THistoryUserList", kUntilWoken), owner_(owner) {}

 protected:
  void Prepare() override { ExemptThisThreadFromBusWaits(); }
  void Iteration() override {
    TItem item;
    // What the events of a row post wakes the hub once in a while and when
    // the queue has run empty (ItemDone), not once per post: every wake-up
    // would hand the processor to the hub in the middle of the row.
    TBusPostBatch batch;
    while (!Terminated() && owner_.TakeNext(item)) {
      owner_.Handle(item);
      item = TItem();
      owner_.ItemDone();
    }
  }

 private:
  THistoryUserList& owner_;
};

// The query thread: the game server's answers that may take seconds (the
// game type, the server name) are waited for here, and their results go
// back into the event queue behind the events queued meanwhile.
class THistoryUserList::TQueryThread : public TWorkerThread {
 public:
  explicit TQueryThread(THistoryUserList& owner)
      : TWorkerThread("THistoryUserList queries", kUntilWoken), owner_(owner) {}
  void Terminate() override {
    TWorkerThread::Terminate();
    pause_cv_.NotifyAll();
  }
  // Waits up to ms on the clock; false when the thread is to end.
  bool Pause(int64_t ms) {
    std::unique_lock lock(pause_mutex_);
    pause_cv_.WaitFor(lock, ms, [&] { return Terminated(); });
    return !Terminated();
  }

 protected:
  void Iteration() override {
    bool game_type = false, server_name = false;
    {
      std::lock_guard lock(owner_.queue_mutex_);
      std::swap(game_type, owner_.want_game_type_);
      std::swap(server_name, owner_.want_server_name_);
    }
    if (server_name && !Terminated()) owner_.AskServerNameNow();
    if (game_type && !Terminated()) owner_.AskGameTypeNow();
  }

 private:
  THistoryUserList& owner_;
  std::mutex pause_mutex_;  // the lock Pause waits with; guards nothing else
  TClockCondition pause_cv_;
};

TKickFn KickThrough(TKicker& kicker) {
  return [&kicker](const TKickRequest& k) {
    return kicker.AddKickThread(k.client_number, k.repetitions, k.delay_seconds, {}, k.message);
  };
}

bool THistoryUserList::PauseQueries(int64_t ms) { return queries_ && queries_->Pause(ms); }

void THistoryUserList::WakeQueries() {
  if (queries_) queries_->Wake();
}

THistoryUserList::THistoryUserList(TRuntime& runtime, THUserList& store, TKickFn kick, TRconQueryFn query)
    : runtime_(runtime), store_(store), kick_(std::move(kick)), query_(std::move(query)) {}

THistoryUserList::~THistoryUserList() { Close(); }

namespace {
// Runs `first`, then `second`; either may be empty.
template <typename... A>
std::function<void(A...)> Chain(std::function<void(A...)> first, std::function<void(A...)> second) {
  if (!first) return second;
  if (!second) return first;
  return [f = std::move(first), s = std::move(second)](A... args) {
    f(args...);
    s(args...);
  };
}
}  // namespace

void THistoryUserList::AddHooks(TTrackerHooks hooks) {
  hooks_.before_rows = Chain(std::move(hooks_.before_rows), std::move(hooks.before_rows));
  hooks_.forgive = Chain(std::move(hooks_.forgive), std::move(hooks.forgive));
  hooks_.check_nick = Chain(std::move(hooks_.check_nick), std::move(hooks.check_nick));
  hooks_.after_row = Chain(std::move(hooks_.after_row), std::move(hooks.after_row));
}

void THistoryUserList::AddEventHandler(uint8_t kind, TTrackerEventHandler handler) {
  if (kind < kEventKindCount) handlers_[kind] = Chain(std::move(handlers_[kind]), std::move(handler));
}

void THistoryUserList::ApplySettings(TSettings& s) {
  TTrackerSettings t;
  t.only_one_player_per_ip = s.Bool("OnlyOnePlayerPerIp");
  t.reset_ping = s.Bool("ResetPing");
  t.stats_only_for_nick = s.String("StatsonlyforthatNick");
  t.use_team_messages = s.Bool("UseTeamMessages");
  t.spearhead = s.Bool("SpearheadServer");
  t.ping_measure_count = s.Int("PingMessure");
  settings_.Publish(std::move(t));
}

void THistoryUserList::Open() {
  if (open_) return;
  {
    std::lock_guard lock(queue_mutex_);
    closing_ = false;
  }
  events_ = MakeThread<TEventThread>(*this);
  queries_ = MakeThread<TQueryThread>(*this);
  // New player lists carry what the tracker learned about the server.
  SetServerIdentitySource(runtime_.server, [this](int32_t& game_type, std::string& server_name) {
    std::lock_guard lock(identity_mutex_);
    game_type = game_type_;
    server_name = server_name_;
  });
  runtime_.server.SetHistoryLookup(TrackerHistoryLookup(*this));  // placeholders read the live histories
  monitor_ = MakeThread<TMsgMonitor>(false);
  // Only what it handles: the refresh kinds, and the kinds a later rule
  // asked for. Each other event would cost a copy and a turn of this thread.
  for (uint8_t kind : kConsumedKinds)
    if (kind == ekNewUserList || kind == ekMapChange || kind == ekDelUserHistory || handlers_[kind])
      monitor_->AddCategory(EventCategory(kind));
  monitor_->SetAcceptedLevels({mlInformation});
  monitor_->SetLevelHandler(mlInformation,
                            [this](const std::string& category, const std::string&, TMsgData& data, uint8_t) {
                              auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data);
                              if (!object || ToUpperAscii(category).find("EVENT") == std::string::npos)
                                return;
                              const auto* event = dynamic_cast<const TMohaaEvent*>(object->get());
                              if (!event) return;
                              // The bus shares the object among its subscribers: keep a copy.
                              Enqueue(TItem{std::shared_ptr<const TMohaaEvent>(CloneEvent(event)), {}});
                            });
  subscription_ = Subscribe(*monitor_);
  open_ = true;
}

void THistoryUserList::Close() {
  if (!open_) return;
  open_ = false;
  SetServerIdentitySource(runtime_.server, nullptr);
  runtime_.server.SetHistoryLookup(nullptr);
  subscription_.Reset();
  {
    std::lock_guard lock(queue_mutex_);
    closing_ = true;  // the delivery no longer waits for room
  }
  queue_cv_.notify_all();
  // What the bus delivered before is handled (bounded), then the threads end.
  if (monitor_) monitor_->Stop();
  monitor_.reset();
  WaitIdle(5000);
  // Each thread ends before its pointer is cleared: the query thread reads
  // queries_ (its pauses) and events_ (waking the event thread) while it runs.
  if (queries_) queries_->TerminateAndJoin();
  queries_.reset();
  if (events_) events_->TerminateAndJoin();
  events_.reset();
  std::lock_guard lock(queue_mutex_);
  queue_.clear();
}

// --- The queue ----------------------------------------------------------------

void THistoryUserList::Enqueue(TItem item) {
  {
    std::unique_lock lock(queue_mutex_);
    // A tracker that falls behind holds the bus delivery back instead of
    // growing without bound: the bus then counts what waits and slows the
    // producers that can wait (flow control). Nothing is dropped.
    if (queue_.size() >= kMaxQueued && !closing_) {
      ++room_waiters_;
      queue_cv_.wait(lock, [&] { return queue_.size() < kMaxQueued || closing_; });
      --room_waiters_;
    }
    queue_.push_back(std::move(item));
  }
  if (events_) events_->Wake();
}

// The queue's condition is told only what someone waits for: room (a
// delivery held back) or an empty queue (WaitIdle). A notification per
// item would wake the waiters thousands of times a second for nothing.
bool THistoryUserList::TakeNext(TItem& item) {
  bool room;
  {
    std::lock_guard lock(queue_mutex_);
    if (queue_.empty()) return false;
    item = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    room = room_waiters_ > 0;
  }
  if (room) queue_cv_.notify_all();
  return true;
}

void THistoryUserList::ItemDone() {
  bool idle;
  {
    std::lock_guard lock(queue_mutex_);
    if (!queue_.empty()) {
      busy_ = false;  // more to do: nobody waits for this
      return;
    }
  }
  // The hub hears of the row's posts before anyone hears the queue is idle.
  WakeForBatchedPosts();
  {
    std::lock_guard lock(queue_mutex_);
    busy_ = false;
    idle = queue_.empty();
  }
  if (idle) queue_cv_.notify_all();
}

bool THistoryUserList::WaitIdle(int64_t timeout_ms) {
  std::unique_lock lock(queue_mutex_);
  return queue_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return (queue_.empty() && !busy_) || !events_; });
}

bool THistoryUserList::Settle(int64_t timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const auto left = [&] {
    return std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
               .count());
  };
  uint64_t before = UINT64_MAX;
  for (;;) {
    if (auto hub = GetMonitorInterface()) hub->Flush(left());
    if (monitor_) monitor_->Flush(left());
    WaitIdle(left());
    const uint64_t handled = handled_.load();
    if (handled == before && Pending() == 0) return true;
    if (left() == 0) return false;
    before = handled;
  }
}

size_t THistoryUserList::Pending() const {
  std::lock_guard lock(queue_mutex_);
  return queue_.size() + (busy_ ? 1 : 0);
}

void THistoryUserList::Handle(const TItem& item) {
  try {
    current_ = settings_.Get();
    TRecursiveLockGuard lock(store_.StoreLock());
    if (item.result)
      item.result();
    else if (item.event)
      HandleEvent(*item.event);
  } catch (const std::exception& e) {
    PostGlobal(std::string("THistoryUserList.Execute failed with: ") + e.what(), mlCritical);
  }
  handled_.fetch_add(1, std::memory_order_relaxed);
}

void THistoryUserList::HandleEvent(const TMohaaEvent& event) {
  switch (event.kind) {
    case ekNewUserList: RefreshPlayers(event); break;
    case ekMapChange: MapChange(event); break;
    case ekDelUserHistory: DeleteHistory(event); break;
    default:
      if (event.kind < kEventKindCount && handlers_[event.kind]) handlers_[event.kind](event);
      break;
  }
}

// --- Look-ups -------------------------------------------------------------------

THUserList::THistoryPtr THistoryUserList::GetUser(int32_t client_number, bool quiet) {
  if (client_number != kNoPlayer && client_number != kClientNotSet) {
    if (auto h = store_.FindCachedByClient(client_number)) return h;
  }
  if (!quiet)
    PostGlobal("THistoryUserList.GetUser no user found but ID = " + std::to_string(client_number), mlDebug);
  return nullptr;
}

THUserList::THistoryPtr THistoryUserList::GetUserByIdOrNick(int32_t client_number, std::string_view nick) {
  TRecursiveLockGuard lock(store_.StoreLock());
  if (auto h = GetUser(client_number, false)) return h;
  return store_.GetUserEntry(nick);
}

THUserList::THistoryPtr THistoryUserList::FindByAddress(const std::string& address, int32_t qport,
                                                        bool online_only, bool compare_qport,
                                                        const THistoryUserEntry* candidate) {
  TRecursiveLockGuard lock(store_.StoreLock());
  const int n = store_.CachedCount();
  for (int i = 0; i < n; ++i) {
    auto h = store_.CachedAt(i);
    if (!h || (candidate && h.get() != candidate)) continue;
    if (!EqualsIgnoringCase(h->player.address, address)) continue;
    if (compare_qport && h->player.qport != qport) continue;
    if (online_only && !Online(*h)) continue;
    return h;
  }
  return nullptr;
}

THUserList::THistoryPtr THistoryUserList::FindSamePlayer(const THistoryUserEntry& copy) {
  TRecursiveLockGuard lock(store_.StoreLock());
  const int n = store_.CachedCount();
  for (int i = 0; i < n; ++i) {
    auto h = store_.CachedAt(i);
    if (h && h->player.client_number == copy.player.client_number && h->player.name == copy.player.name)
      return h;
  }
  return nullptr;
}

int32_t THistoryUserList::GameType() const {
  std::lock_guard lock(identity_mutex_);
  return game_type_;
}

std::string THistoryUserList::ServerName() const {
  std::lock_guard lock(identity_mutex_);
  return server_name_;
}

bool THistoryUserList::IsValidNick(std::string_view nick, bool spearhead) {
  if (nick.empty()) return false;
  return std::all_of(nick.begin(), nick.end(), [&](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c >= 32 && c <= 126 && !(spearhead && c == ' ');
  });
}

std::string THistoryUserList::PlayTimeText(double days) {
  // Every hour counts: a player with 25 hours reads 25, not 1.
  const int64_t minutes = std::max<int64_t>(0, static_cast<int64_t>(std::floor(days * 24 * 60 + 1e-6)));
  return std::to_string(minutes / 60) + " Hours " + std::to_string(minutes % 60) + " Min";
}

// --- Operator commands ------------------------------------------------------------

namespace {

std::string VariableText(const TVariant& value) {
  if (value.Type() == vtDate) return regional::DateTimeToStr(value.RawFloat());
  try {
    return value.AsString();
  } catch (const std::exception&) {
    return "(" + std::string(VarTypeName(value.Type())) + ")";
  }
}

std::string Duration(double days) {
  const int64_t s = std::max<int64_t>(0, static_cast<int64_t>(std::llround(days * kSecondsPerDay)));
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  return buf;
}

}  // namespace

void THistoryUserList::RegisterCommands(TCommandTable& table) {
  table.Add(
      {.name = "players",
       .help = "the players online: client number, name, address, ping, score, team, time on server, kills, "
               "deaths, team and spawn kills of the visit (as forgiven), current killing spree",
       .thread = TCommandThread::Caller,
       .handler = [this](const TCommandContext&, const std::string&) {
         struct TLine {
           int32_t client;
           std::string name, address, team;
           int32_t ping, score;
           double entered;
           int32_t kills, deaths, team_kills, spawn_kills, spree;
         };
         std::vector<TLine> lines;
         {
           TRecursiveLockGuard lock(store_.StoreLock());
           for (int i = 0, n = store_.CachedCount(); i < n; ++i) {
             auto h = store_.CachedAt(i);
             if (!h || !Online(*h)) continue;
             TVariant team, entered;
             h->visit.TryGetValue("TeamName", team);
             h->persistent.TryGetValue("LASTENTER", entered);
             // The kill rules' counters; 0 where a rule has not counted yet.
             const auto count = [](const TVarList& vars, const char* name) {
               TVariant v;
               return vars.TryGetValue(name, v) && v.IsNumeric() ? v.AsInteger() : 0;
             };
             lines.push_back({h->player.client_number, h->player.name, h->player.address,
                              team.IsString() ? team.AsString() : "unkown", h->player.ping, h->player.score,
                              entered.IsFloat() ? entered.AsDouble() : 0.0, count(h->persistent, "hasKilled"),
                              count(h->persistent, "wasKilled"), count(h->visit, "TeamKill"),
                              count(h->visit, "Spawnkills"), count(h->visit, "killingspring")});
           }
         }
         std::sort(lines.begin(), lines.end(),
                   [](const TLine& a, const TLine& b) { return a.client < b.client; });
         const double now = runtime_.clock.Now();
         TCommandResult r;
         r.data["players"] = nlohmann::json::array();
         r.text = lines.empty() ? "no players online\n"
                                : "num name            address          ping score team       time     kills "
                                  "deaths  tk  sk spree\n";
         for (const auto& l : lines) {
           const std::string on = l.entered > 0 ? Duration(now - l.entered) : "?";
           char buf[512];
           std::snprintf(buf, sizeof buf, "%3d %-15s %-16s %4d %5d %-10s %-8s %5d %6d %3d %3d %5d\n",
                         l.client, Cp1252ToUtf8(l.name).c_str(), l.address.c_str(), l.ping, l.score,
                         l.team.c_str(), on.c_str(), l.kills, l.deaths, l.team_kills, l.spawn_kills, l.spree);
           r.text += buf;
           r.data["players"].push_back(
               {{"client", l.client},
                {"name", Cp1252ToUtf8(l.name)},
                {"address", l.address},
                {"ping", l.ping},
                {"score", l.score},
                {"team", Cp1252ToUtf8(l.team)},
                {"seconds_on_server", l.entered > 0 ? std::llround((now - l.entered) * kSecondsPerDay) : 0},
                {"kills", l.kills},
                {"deaths", l.deaths},
                {"team_kills", l.team_kills},
                {"spawn_kills", l.spawn_kills},
                {"spree", l.spree}});
         }
         return r;
       }});
  table.Add({.name = "history",
             .args = "NICK",
             .help = "the stored variables of one player",
             .thread = TCommandThread::Caller,
             .needs_args = true,
             .handler = [this](const TCommandContext&, const std::string& args) {
               const std::string nick = Utf8ToCp1252(args);
               TCommandResult r;
               TRecursiveLockGuard lock(store_.StoreLock());
               const auto h = store_.GetUserEntry(nick);
               if (!h) {
                 r.ok = false;
                 r.text = "no history for " + args + "\n";
                 r.data["error"] = r.text.substr(0, r.text.size() - 1);
                 return r;
               }
               r.data["nick"] = Cp1252ToUtf8(h->player.name);
               r.data["online"] = Online(*h);
               r.data["variables"] = nlohmann::json::object();
               r.text = Cp1252ToUtf8(h->player.name) +
                        (Online(*h) ? " (online, client " + std::to_string(h->player.client_number) + ")"
                                    : " (offline)") +
                        "\n";
               h->persistent.ForEach([&](std::string_view name, const TVariant& value) {
                 const std::string text = Cp1252ToUtf8(VariableText(value));
                 r.text += "  " + Cp1252ToUtf8(name) + " = " + text + "\n";
                 r.data["variables"][Cp1252ToUtf8(name)] = text;
               });
               return r;
             }});
}

}  // namespace kv
