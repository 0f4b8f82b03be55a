// TPlayerChecks: the smaller server rules the live tracker enforces on every
// player's history — the ping window (too high, or suspiciously low, over a
// number of status polls), the skin scan with banned or only-allowed skins,
// team-change flooding and the automatic team choice, bad words (warnings,
// kicks, finally a ban) and nicks that would confuse the weapon recognition.
// They plug into the tracker (hooks and event handlers, on its thread);
// the skin scan's "dumpuser" requests and the bans run on a worker of their
// own, so a slow game server never holds the tracker's events up.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/snapshot.h"
#include "core/threads.h"
#include "domain/subsystem.h"
#include "enforcement/kicks.h"
#include "enforcement/pattern.h"
#include "players/tracker.h"
#include "rules/ping.h"
#include "rules/skins.h"

namespace kv {

class TBanList;

// The texts of the checks that have no setting of their own.
inline constexpr const char* kWeaponNickKickSuffix =
    " get kicked - Playernick cousing potential trouble with Weapon detection";

// Everything the checks read at start-up (and after each settings load);
// taken once per unit of work.
struct TChecksSettings {
  TPingRuleSettings ping;
  // Skins
  bool skin_detect = true;          // EnableSkinDetect
  int32_t skin_scan_seconds = 120;  // ScanSkinsallXSeconds
  bool skin_only_detect = false;    // SkinOnlyDetect
  int32_t skin_kick_delay = 120;    // SkinKickDelay
  std::string skin_kick_msg = "%playernick% get kicked because of a banned Skin - %skin% - %side%";
  // Team changes
  bool use_team_messages = false;      // UseTeamMessages
  bool tk_detect = true;               // EnableTKDetect
  int32_t flood_timeout_seconds = 30;  // TKTeamChangeFloodTimeOut
  int32_t flood_kick_delay = 3;        // TKTeamChangeFloodTimeDelay
  std::string flood_msg =
      "%playernick% do not change teams that fast !!!! This is not welcome on this Server";
  int32_t auto_team_kick_delay = 3;  // TKAutoTeamKickDelay
  std::string auto_team_kick_msg = "%playernick% do nit user AUTOTEAM on this Server";
  // Kick timing of the ping and skin kicks (MKickRepeat, MKickDelay).
  int32_t kick_repeat = 1;
  int32_t kick_delay = 5;
  bool quake = false;  // QuakeRCON: the Quake server's userinfo form
  // The weapon recogniser's expressions of the classes 1..8 (index 0 unused).
  std::array<std::string, 9> weapon_patterns{};
};

// Reads the settings; a value out of range is brought into range and the
// reason added to `problems` (one line each). Invalid ignore patterns are
// reported there as well.
TChecksSettings ReadChecksSettings(TSettings& settings, std::vector<std::string>* problems);

// The weapon-name check: the first class 1..8 whose expression contains the
// nick as plain text, or 0. An empty nick never matches.
int WeaponClassContainingNick(const TChecksSettings& s, const std::string& nick);

class TPlayerChecks : public TSubsystem {
 public:
  // The tracker, kicker and ban list outlive the checks. Hooks and handlers
  // go into the tracker here, so it must not be open yet. Without a ban
  // list, bad-word bans are posted only. Rcon queries default to the server
  // state's transport at the low priority of the status poll.
  TPlayerChecks(TRuntime& runtime, THistoryUserList& tracker, TKicker& kicker, TBanList* bans,
                TRconQueryFn query = {});
  ~TPlayerChecks() override;
  TPlayerChecks(const TPlayerChecks&) = delete;
  TPlayerChecks& operator=(const TPlayerChecks&) = delete;

  // --- TSubsystem (main thread) ----------------------------------------
  std::string_view Name() const override { return "checks"; }
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void RegisterDataFiles(TDataFileRegistry& registry) override;  // SkinList.dat
  void RegisterCommands(TCommandTable& commands) override;       // "skins"
  void ApplySettings(TSettings& settings) override;
  void Open() override;   // starts the worker
  void Close() override;  // ends it after the job in hand; idempotent

  void ApplySettings(TChecksSettings settings) { settings_.Publish(std::move(settings)); }
  // The configured and seen skins (any thread; the remote administration
  // reads and changes the configured list through it).
  TSkinLists& Skins() { return skins_; }
  // Waits until the worker has nothing queued and nothing in hand (tests).
  bool WaitWorkerIdle(int64_t timeout_ms);
  // The most worker jobs waiting at once; further skin scans are skipped
  // until there is room (they are asked again at a later poll).
  static constexpr size_t kMaxJobs = 256;

 private:
  class TWorker;
  using THistoryPtr = THUserList::THistoryPtr;

  // Tracker thread, store lock held.
  void AfterRow(THistoryUserEntry& history, const TUserListEntry& row, double when);
  void CheckNick(THistoryUserEntry& history, const TUserListEntry& row);
  void BeforeRows(TUserList& list, double when);
  void OnTeamChange(const TMohaaEvent& event);
  void OnAutoJoinTeam(const TMohaaEvent& event);
  void OnBadWord(const TMohaaEvent& event);
  // skins_scan.cpp: the reply of one scan, back on the tracker thread.
  void ApplySkinReply(int32_t client, const std::string& nick, const std::string& reply, double when);
  void SkinSide(THistoryUserEntry& history, const std::string& skin, bool axis, double when);
  void SkinRule(const THistoryUserEntry& history, const TChecksSettings& s);
  void PublishSkin(uint8_t kind, const THistoryUserEntry& history, const std::string& skin, double when);

  // Worker jobs (any thread); false when the queue is full.
  bool Post(std::function<void()> job);
  void WakeWorker();
  std::string Query(const std::string& command);

  TRuntime& runtime_;
  THistoryUserList& tracker_;
  TKicker& kicker_;
  TBanList* bans_;
  TRconQueryFn query_;
  TSnapshot<TChecksSettings> settings_;
  TSkinLists skins_;

  std::mutex jobs_mutex_;  // guards jobs_, busy_, scanning_; a leaf
  std::condition_variable idle_cv_;
  std::deque<std::function<void()>> jobs_;
  bool busy_ = false;
  std::set<int32_t> scanning_;  // clients with a scan queued or in flight
  TThreadPtr<TWorker> worker_;
};

}  // namespace kv
