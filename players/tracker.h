// THistoryUserList, the live player tracker: it follows the status poll's
// player lists and map changes (and the log's events, through the handlers
// of the later rules) on one thread of its own, keeps every online player's
// history in the history store up to date, enforces the identity rules and
// publishes who came, returned, left or changed his nick.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/bus_monitor.h"
#include "core/bus_subscription.h"
#include "core/clock.h"
#include "core/snapshot.h"
#include "core/threads.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "domain/subsystem.h"
#include "enforcement/kicks.h"
#include "players/history_store.h"

namespace kv {

// One kick the tracker asks for; handed to the kick workers.
struct TKickRequest {
  int32_t client_number = kClientNotSet;
  int32_t repetitions = 1;
  int32_t delay_seconds = 0;
  std::string message;  // a message template (placeholders allowed)
};
// True when the kick was accepted (a client with a pending kick is refused).
using TKickFn = std::function<bool(const TKickRequest&)>;
// Kicks through the kick workers (no extra placeholders).
TKickFn KickThrough(TKicker& kicker);
// One console command to the game server; its reply text, or an error or
// time-out text in its place. Runs on the tracker's query thread.
using TRconQueryFn = std::function<std::string(const std::string& command)>;

// The settings the tracker reads, one snapshot per handled event.
struct TTrackerSettings {
  bool only_one_player_per_ip = true;  // OnlyOnePlayerPerIp
  bool reset_ping = false;             // ResetPing
  std::string stats_only_for_nick;     // StatsonlyforthatNick (regular expression; empty: keep all)
  bool use_team_messages = false;      // UseTeamMessages
  bool spearhead = false;              // SpearheadServer: no blanks in nicks
  int32_t ping_measure_count = 10;     // PingMessure: ping samples kept per player
};

// The texts of the identity kicks.
inline constexpr const char* kKickSameIp = "%playernick% get kicked - Player with the same Ip is Online";
inline constexpr const char* kKickSameNick = "%playernick% get kicked - Player with the same nick is Online";
inline constexpr const char* kKickBadNickNew =
    "%playernick% get kicked - please change youre Nickname - this is a workaround to a nickname bug of the "
    "game";
inline constexpr const char* kKickBadNickBack =
    "%playernick% get kicked - please change youre Nickname - this is a workarount to a nickname bug of the "
    "games";
inline constexpr const char* kKickIpFilter =
    "%playernick% get kicked - Nickname not allowed on that IP - ask the Server Admin";

// Hooks of the rules that work on the tracker's data (kill accounting,
// team-kill and spawn-kill detection, ping, skin, team-change and bad-word
// checks). They run on the tracker's thread while it holds the store lock;
// add them before Open. `when` is the time of the event being handled.
struct TTrackerHooks {
  // Before the rows of a poll are matched: the score-column team values,
  // the skin scan.
  std::function<void(TUserList& list, double when)> before_rows;
  // For a row whose client is tracked already: forgiveness of old sins.
  std::function<void(THistoryUserEntry& history, double when)> forgive;
  // The nick of a new or returning player (the weapon-name check).
  std::function<void(THistoryUserEntry& history, const TUserListEntry& row)> check_nick;
  // After a row is matched to its history and its ping sample is added:
  // the team assignment and the ping checks.
  std::function<void(THistoryUserEntry& history, const TUserListEntry& row, double when)> after_row;
};
// The handler of one log event kind ("kill", "New Round", "Team Change",
// "Weapon Change", "Weapon Reload", "Show Score", "Auto Join Team", "Bad
// Word"); tracker thread, store lock held.
using TTrackerEventHandler = std::function<void(const TMohaaEvent& event)>;

class THistoryUserList;
// The tracker's look-ups as the placeholder expansion takes them (by client
// number among the cached histories, then by nick through the store); the
// tracker installs it in its server state while it is open.
std::shared_ptr<const THistoryLookup> TrackerHistoryLookup(THistoryUserList& tracker);

class THistoryUserList : public TSubsystem {
 public:
  // The store outlives the tracker. Kicks go to `kick`; without one they are
  // posted only (level 2). Rcon queries default to the server state's
  // transport.
  THistoryUserList(TRuntime& runtime, THUserList& store, TKickFn kick = {}, TRconQueryFn query = {});
  ~THistoryUserList() override;
  THistoryUserList(const THistoryUserList&) = delete;
  THistoryUserList& operator=(const THistoryUserList&) = delete;

  // --- TSubsystem (main thread) ---------------------------------------
  std::string_view Name() const override { return "players"; }
  // Its rows of the settings catalogue: the identity rules. (It also reads
  // SpearheadServer, UseTeamMessages and PingMessure, rows of the console's,
  // the team-kill rules' and the ping check's tables.)
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void RegisterCommands(TCommandTable& commands) override;
  void ApplySettings(TSettings& settings) override;
  // Starts the threads and subscribes to the events; the game type and
  // server name of new player lists come from here from then on.
  void Open() override;
  // Unsubscribes, ends both threads (events still queued are handled
  // first, within a bound) and leaves the store to its owner.
  void Close() override;

  // Before Open. Several rules may add hooks and handlers: each hook and each
  // kind's handlers run in the order they were added.
  void AddHooks(TTrackerHooks hooks);
  void AddEventHandler(uint8_t kind, TTrackerEventHandler handler);
  // Runs fn on the tracker's thread behind the events queued before it,
  // with the store lock held: how a rule's answer from another thread (a
  // skin scan's reply) comes back in order. Any thread but the tracker's;
  // waits while the queue is full.
  void RunOnTrackerThread(std::function<void()> fn) { Enqueue(TItem{nullptr, std::move(fn)}); }
  void ApplySettings(const TTrackerSettings& settings) { settings_.Publish(settings); }

  // --- Look-ups (any thread; store lock; the result is shared, so it
  // stays valid, but it is the live history only while it stays cached) ---
  // The online history of a client number; -1 and -999 never match. Unless
  // quiet, a miss is posted at level 5.
  THUserList::THistoryPtr GetUser(int32_t client_number, bool quiet);
  THUserList::THistoryPtr GetUserByIdOrNick(int32_t client_number, std::string_view nick);
  // The first cached history with this address (letter case ignored), also
  // its qport when compare_qport, online when online_only. With a
  // candidate: the candidate when it matches, else nothing.
  THUserList::THistoryPtr FindByAddress(const std::string& address, int32_t qport, bool online_only,
                                        bool compare_qport, const THistoryUserEntry* candidate = nullptr);
  // The cached history with the same client number and exactly the same nick.
  THUserList::THistoryPtr FindSamePlayer(const THistoryUserEntry& copy);
  std::vector<std::string> KnownNicks() const { return store_.KnownNicks(); }
  size_t KnownNickCount() const { return store_.KnownCount(); }
  THUserList& Store() { return store_; }

  // What the server told last; -1 and "unkown" until learned. Any thread.
  int32_t GameType() const;
  bool TeamGame() const { return GameType() == 2; }
  std::string ServerName() const;

  // Any thread: waits until every event queued so far has been handled
  // (tests, the operator's "players" after a refresh). False on time-out.
  bool WaitIdle(int64_t timeout_ms);
  // Any thread but the tracker's: waits until the bus has delivered what
  // was posted before the call and the tracker has handled it, including
  // what the tracker posted to itself meanwhile. False on time-out (real time).
  bool Settle(int64_t timeout_ms);
  // Events queued and not yet handled.
  size_t Pending() const;
  // How often the query thread has asked for the game type (tests).
  uint64_t GameTypeQueries() const { return game_type_queries_.load(); }

  // Events handled since Open; exceptions reported (tests, the benchmark).
  uint64_t Handled() const { return handled_.load(); }

  // The printable-nick rule: not empty, every byte 32..126; no blank on a
  // Spearhead server.
  static bool IsValidNick(std::string_view nick, bool spearhead);
  // "H Hours M Min" of a duration in days, counting every hour.
  static std::string PlayTimeText(double days);

  // The most ping slots a history keeps, whatever PingMessure says.
  static constexpr int32_t kMaxPingSlots = 1000;
  // The most events the queue holds; the bus delivery waits for room.
  static constexpr size_t kMaxQueued = 4096;
  // Tries and pause of the game-type query after a map change.
  static constexpr int kGameTypeTries = 10;
  static constexpr int64_t kGameTypePauseMs = 500;
  // The server name is asked again after this many seconds.
  static constexpr int kServerNameIntervalS = 120;

 private:
  class TEventThread;
  class TQueryThread;
  struct TItem {
    std::shared_ptr<const TMohaaEvent> event;  // or:
    std::function<void()> result;              // a query's result, applied in order
  };
  using THistoryPtr = THUserList::THistoryPtr;

  // Bus delivery thread: queues a copy, waiting while the queue is full.
  void Enqueue(TItem item);
  // Event thread.
  bool TakeNext(TItem& item);
  void Handle(const TItem& item);
  void HandleEvent(const TMohaaEvent& event);
  void ItemDone();

  // tracker_refresh.cpp; event thread, store lock held.
  void RefreshPlayers(const TMohaaEvent& event);
  THistoryPtr TrackRow(const TUserListEntry& row, double when);
  void DeparturePass(const std::vector<TUserListEntry>& rows, double when);
  THistoryPtr NewPlayer(const TUserListEntry& row, double when);
  void PlayerBack(const THistoryPtr& history, const TUserListEntry& row, double when);
  void PlayerWentOffline(const THistoryPtr& history, double when);
  THistoryPtr PlayerNickChanged(const THistoryPtr& history, const TUserListEntry& row, double when);
  void MapChange(const TMohaaEvent& event);
  void PlayerMapChange(THistoryUserEntry& history, const std::string& map, double when);
  void DeleteHistory(const TMohaaEvent& event);
  void AddPingSample(THistoryUserEntry& history, int32_t ping);
  bool Kick(int32_t client_number, int32_t repetitions, int32_t delay, std::string message);
  void Publish(uint8_t kind, const THistoryUserEntry& history, const TUserListEntry& row, double when,
               std::string text = {});
  void PublishHistoryChanged(const THistoryUserEntry& history, double when);
  void PublishPlayerMapChange(const THistoryUserEntry& history, const std::string& map, double when);

  // tracker_queries.cpp. The event thread asks; the query thread asks the
  // game server and queues the answer.
  void AskServerName(double when);
  void AskGameType();
  void AskServerNameNow();
  void AskGameTypeNow();
  bool PauseQueries(int64_t ms);  // query thread: false when it is to end
  void WakeQueries();
  std::string Query(const std::string& command);

  TRuntime& runtime_;
  THUserList& store_;
  TKickFn kick_;
  TRconQueryFn query_;
  TSnapshot<TTrackerSettings> settings_;
  std::shared_ptr<const TTrackerSettings> current_;  // event thread: the snapshot of the event in hand
  TTrackerHooks hooks_;
  std::array<TTrackerEventHandler, kEventKindCount> handlers_{};

  mutable std::mutex queue_mutex_;  // guards queue_, busy_, closing_, room_waiters_; a leaf
  std::condition_variable queue_cv_;
  std::deque<TItem> queue_;
  bool busy_ = false;     // the event thread handles an item
  bool closing_ = false;  // Close: the delivery stops waiting for room
  int room_waiters_ = 0;  // deliveries waiting for room in the queue

  mutable std::mutex identity_mutex_;  // guards game_type_, server_name_; a leaf
  int32_t game_type_ = -1;
  std::string server_name_ = "unkown";
  double last_server_name_ = 0.0;  // event thread: date-time of the last usable answer

  // Query thread requests (guarded by queue_mutex_).
  bool want_game_type_ = false;
  bool want_server_name_ = false;
  bool server_name_in_flight_ = false;  // event thread only

  std::atomic<uint64_t> handled_{0};
  std::atomic<uint64_t> game_type_queries_{0};

  TThreadPtr<TEventThread> events_;
  TThreadPtr<TQueryThread> queries_;
  TThreadPtr<TMsgMonitor> monitor_;
  TBusSubscription subscription_;  // of monitor_: ends before it
  bool open_ = false;
};

}  // namespace kv
