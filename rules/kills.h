// TKillRules: what the tracker does with the kills of the log. Every kill
// is first looked at as a team kill (same team by the score column of the
// status reply or by the team-change lines); when it is none, the victim's
// death is booked, unless the victim was killed again right after his last
// death (a spawn kill), and then the killer's kill. Team and spawn killers
// are warned, kicked and, after enough kicks over their lifetime, banned for
// a while; counted offences are forgiven one at a time at the status polls.
// Killing and losing streaks are announced with the operator's messages
// (Data/KillingSpring.dat). Weapon changes, reloads and score-board requests
// are counted per player.
//
// Threads: the handlers run on the tracker's thread with the store lock
// held (players/tracker.h). Bans and messages are handed to a worker of
// this part: the ban list's lock ranks above the store lock
// (docs/ARCHITECTURE.md), so the tracker's thread never takes it; and the
// worker says the messages one after the other (each waits for the rcon
// budget and the server's answer), so neither the tracker's thread nor a
// thread per message waits for them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "core/snapshot.h"
#include "core/threads.h"
#include "domain/subsystem.h"
#include "enforcement/kicks.h"
#include "players/tracker.h"
#include "rules/sprees_file.h"

namespace kv {

class TBanList;

// The escalation of one offence: warnings, a kick from `max` offences in a
// visit on, a ban from `ban_after_kicks` kicks in a lifetime on.
struct TOffenceRule {
  int32_t max = 3;               // ...DetectMax
  int32_t kick_delay = 3;        // ...DetectKickDelay, seconds
  int32_t kick_repetitions = 1;  // ...DetectKickRep
  int32_t ban_after_kicks = 2;   // ...DetectBanAfterXKicks
  bool send_warnings = true;     // ...DetectSendWarnings
  int32_t ban_minutes = 30;      // ...DetectBanTime; 0 or -1: for ever
  bool ban_address = false;      // ...DetectBanIp
  int32_t forgive_minutes = 10;  // Forgive...After; 0 or less: never
  std::string warning_message, kick_message, ban_message;
};

struct TKillRuleSettings {
  // Sprees.
  bool killing_detect = true;              // KillingSpringDetect
  bool killing_reset_on_new_round = true;  // KillingSpringResetonNewRound
  bool losing_detect = true;               // LoosingSpringDetect
  bool losing_reset_on_new_round = true;   // LoosingSpringResetonNewRound
  // Team kills.
  bool tk_detect = true;           // EnableTKDetect
  bool use_team_messages = false;  // UseTeamMessages
  TOffenceRule tk{.warning_message = "%playernick% you are TEAMKILLING STOP IT or get KICKED",
                  .kick_message = "%playernick% gets kicked because of TeamKilling",
                  .ban_message = "%playernick% is banned because of TeamKilling"};
  int32_t unknown_team_warnings = 1;  // TKUnkownMessageRep
  std::string unknown_team_message = "%playernick% you not in a known Team please rejoin youre Team";
  std::string unknown_team_kick = "%playernick% get kicked because - player in unkown Team";
  int32_t operator_kick_delay = 5;   // MKickDelay (the unknown-team kick)
  int32_t operator_kick_repeat = 1;  // MKickRepeat
  // Spawn kills (SpawnKillMinTime is read at each spawn kill).
  bool spawn_detect = true;            // EnableSpawnDetect
  int32_t spawn_timeout_seconds = 10;  // SpawnDetectTimeOut
  TOffenceRule spawn{.warning_message = "%playernick% you are SPAWN KILLING STOP IT or get KICKED",
                     .kick_message = "%playernick% gets kicked because of SpawnKilling",
                     .ban_message = "%playernick% is banned because of SpawnKilling"};
};

// The text with a backslash before each of ^ $ . [ ( ) | ? + * \ { ] }, so
// that an expression made of it matches the text literally.
std::string QuoteRegexChars(std::string_view text);

// The score-column teams of one player list: the first three distinct
// scores in list order (-999 where missing), ambiguous when a fourth shows,
// when fewer than two show, or when exactly two show and one is 0.
struct TScoreTeams {
  int32_t a = -999, b = -999, c = -999;
  bool ambiguous = true;
  // 1, 2 or 3 for a score of a team; -1 for another score; -999 when the
  // teams cannot be told apart.
  int32_t TeamOf(int32_t score) const;
};
TScoreTeams InferTeamsFromScores(const std::vector<TUserListEntry>& rows);

class TKillRules : public TSubsystem {
 public:
  // Registers its handlers and hooks on the tracker at once (the tracker
  // must not be open yet). Kicks go to `kicker`; bans to `bans` (none:
  // the ban is posted instead). Everything outlives this part.
  TKillRules(TRuntime& runtime, THistoryUserList& tracker, TKicker& kicker, TBanList* bans);
  ~TKillRules() override;
  TKillRules(const TKillRules&) = delete;
  TKillRules& operator=(const TKillRules&) = delete;

  std::string_view Name() const override { return "kills"; }
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void RegisterDataFiles(TDataFileRegistry& registry) override;  // KillingSpring.dat
  // Reads the rules' keys; a value out of range is reported and replaced.
  void ApplySettings(TSettings& settings) override;
  void ApplySettings(const TKillRuleSettings& settings) { settings_.Publish(settings); }
  // Starts the worker. Close adds the bans still queued (messages still
  // waiting after 5 s are dropped), then ends it.
  void Open() override;
  void Close() override;

  // The spree lists as a whole (the file's load, the setup dialog).
  void SetSpreeLists(TSpreeLists lists) { sprees_.Publish(std::move(lists)); }
  std::shared_ptr<const TSpreeLists> SpreeLists() const { return sprees_.Get(); }
  // The file form; a damaged file keeps what was read before the damage
  // and throws (the settings load reports it with the file's label).
  void LoadSprees(TStream& in);
  void SaveSprees(TStream& out) const;

  // Any thread but the tracker's: waits until the bans queued so far are
  // in the ban list and the messages are with their senders. False on
  // time-out (real time).
  bool Flush(int64_t timeout_ms);

  // Messages waiting for the worker beyond this many are dropped (reported
  // once per overflow); bans are never dropped.
  static constexpr size_t kMaxQueuedMessages = 1024;
  // A player's "User History Changed" goes out at most this often; a change
  // held back goes out with the next status poll.
  static constexpr int64_t kHistoryChangedIntervalMs = 1000;

 private:
  class TWorker;
  struct TBan {
    std::string nick_filter, address_filter, message;
    double end = 0;  // 0: for ever
  };
  struct TAction {
    std::function<void()> run;
    bool message = false;  // a message (may be dropped), else a ban
  };
  using THistoryPtr = THUserList::THistoryPtr;
  enum class TSpawnResult { normal_death, counted, no_killer };

  // Tracker thread, store lock held.
  void OnKill(const TMohaaEvent& event);
  bool CheckTK(const TMohaaEvent& event, const TKillRuleSettings& s);
  bool UnknownTeam(THistoryUserEntry& who, const char* role, const TKillRuleSettings& s);
  bool PlayerKilled(const TMohaaEvent& event, const TKillRuleSettings& s);
  TSpawnResult SpawnKillCheck(const TMohaaEvent& event, THistoryUserEntry& victim,
                              const TKillRuleSettings& s);
  void PlayerKiller(const TMohaaEvent& event, const TKillRuleSettings& s);
  void NoTeam(const THistoryUserEntry& who, const char* role);
  void Punish(THistoryUserEntry& killer, const TOffenceRule& rule, int32_t offences, const char* kick_counter,
              const TReplaceArray& extra, double when);
  void OnNewRound(const TMohaaEvent& event);
  void OnWeaponChange(const TMohaaEvent& event);
  void OnWeaponReload(const TMohaaEvent& event);
  void OnShowScore(const TMohaaEvent& event);
  void BeforeRows(TUserList& list, double when);
  void AfterRow(THistoryUserEntry& history, const TUserListEntry& row);
  void Forgive(THistoryUserEntry& history, double when);
  void Say(const std::string& message, int32_t player_id, const TMohaaEvent* event, bool skip_filter,
           const TReplaceArray& extra = {});
  void PublishHistoryChanged(const THistoryUserEntry& history, double when);
  void QueueBan(TBan ban);
  void Queue(TAction action);

  TRuntime& runtime_;
  THistoryUserList& tracker_;
  TKicker& kicker_;
  TBanList* bans_;
  TSnapshot<TKillRuleSettings> settings_;
  TSnapshot<TSpreeLists> sprees_;
  // Tracker thread: the score-column teams of the list being matched.
  TScoreTeams teams_;
  bool teams_apply_ = false;
  // Tracker thread: the players whose missing team was reported already.
  std::unordered_set<std::string> no_team_reported_;
  // Tracker thread: when each player's "User History Changed" went out last,
  // and the players whose change was held back since.
  std::unordered_map<std::string, double> last_published_;
  std::set<std::string> held_back_;

  std::mutex queue_mutex_;  // guards queue_, queued_messages_, busy_, overflow_; a leaf
  std::condition_variable queue_cv_;
  std::deque<TAction> queue_;
  size_t queued_messages_ = 0;
  bool busy_ = false;
  bool overflow_ = false;  // messages are being dropped (reported once)
  TThreadPtr<TWorker> worker_;
};

}  // namespace kv
