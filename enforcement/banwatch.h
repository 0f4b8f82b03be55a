// TBanWatch: the ban list at work. It reads every game event; whenever an
// event names players (the two players of a log line, the rows of a status
// poll) it tests them against every ban, removes bans whose end has passed
// by the event's own time, and has struck players announced and kicked.
// It owns the ban list, its data file (BanList.dat) and the "ban" command.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/bus_subscription.h"
#include "core/snapshot.h"
#include "core/threads.h"
#include "domain/subsystem.h"
#include "enforcement/banlist.h"
#include "enforcement/kicks.h"

namespace kv {

struct TRuntime;
class TMohaaEvent;
class TMsgMonitor;

// The settings the scan reads: immunity patterns (compiled; null when the
// setting is empty or invalid) and the timing of the kicks of banned players.
struct TBanSettings {
  std::string immune_nicks_text, immune_ips_text;
  std::shared_ptr<const TPattern> immune_nicks, immune_ips;
  std::string immunity_error;  // why an immunity pattern is invalid; empty when both are fine
  int32_t kick_repeat = 1;     // BKickRepeat
  int32_t kick_delay = -1;     // BKickDelay
};

// Threads: the scan runs on the watch's own subscriber thread, which sleeps
// on its queue until the bus delivers an event. Bans are added and removed
// from any thread through List().
class TBanWatch : public TSubsystem {
 public:
  TBanWatch(TRuntime& runtime, TKicker& kicker);
  ~TBanWatch() override;  // Close
  TBanWatch(const TBanWatch&) = delete;
  TBanWatch& operator=(const TBanWatch&) = delete;

  std::string_view Name() const override { return "bans"; }
  // Its rows of the settings catalogue.
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void RegisterDataFiles(TDataFileRegistry& registry) override;  // BanList.dat
  // "ban add|list|del".
  void RegisterCommands(TCommandTable& commands) override;
  // BanimmuneNicks, BanimmuneIps, BKickRepeat, BKickDelay. An invalid
  // immunity pattern is reported and strikes nobody until it is mended.
  void ApplySettings(TSettings& settings) override;
  // Joins the bus: from now on every event is scanned.
  void Open() override;
  // Leaves the bus after the events already queued. Idempotent.
  void Close() override;

  TBanList& List() { return list_; }
  // Scans one event now, on the calling thread (the subscriber calls it for
  // every event; tests may call it directly). Never throws: a failure is
  // posted as "TBanWatch failed with: " + text.
  void Scan(const TMohaaEvent& event);
  // Waits until every event delivered so far has been scanned (tests).
  bool Flush(int64_t timeout_ms);
  void SetSettings(TBanSettings settings) { settings_.Publish(std::move(settings)); }
  // Compiles the two immunity patterns into settings.
  static TBanSettings MakeSettings(std::string immune_nicks, std::string immune_ips, int32_t kick_repeat,
                                   int32_t kick_delay);

 private:
  struct TCandidate;
  void ScanLocked(const TMohaaEvent& event, const TBanSettings& settings,
                  std::vector<TBanList::TStoredBan>& bans);
  void Strike(const TBanList::TStoredBan& ban, const TCandidate& who, bool by_address,
              const TBanSettings& settings);

  TRuntime& runtime_;
  TKicker& kicker_;
  TBanList list_;
  TSnapshot<TBanSettings> settings_;
  TThreadPtr<TMsgMonitor> monitor_;
  TBusSubscription subscription_;
};

}  // namespace kv
