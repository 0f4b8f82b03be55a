// The player checks: their wiring into the tracker, their settings, their
// worker, the ping checks and the weapon-name check of nicks.
#include "rules/checks.h"

#include <algorithm>

#include "core/bus.h"
#include "domain/domain.h"
#include "gamelink/rcon.h"
#include "rules/checks_vars.h"

namespace kv {

// The worker: runs the queued jobs one after the other (skin scans' rcon
// requests, bans) and sleeps on the queue when it is empty.
class TPlayerChecks::TWorker : public TWorkerThread {
 public:
  explicit TWorker(TPlayerChecks& owner) : TWorkerThread("TPlayerChecks", kUntilWoken), owner_(owner) {}

 protected:
  void Iteration() override {
    while (!Terminated()) {
      std::function<void()> job;
      {
        std::lock_guard lock(owner_.jobs_mutex_);
        if (owner_.jobs_.empty()) break;
        job = std::move(owner_.jobs_.front());
        owner_.jobs_.pop_front();
        owner_.busy_ = true;
      }
      // One job that fails does not cost the others their turn.
      try {
        job();
      } catch (const std::exception& e) {
        PostGlobal(std::string("TPlayerChecks failed with: ") + e.what(), mlCritical);
      }
      {
        std::lock_guard lock(owner_.jobs_mutex_);
        owner_.busy_ = false;
      }
      owner_.idle_cv_.notify_all();
    }
  }

 private:
  TPlayerChecks& owner_;
};

namespace {

// Brings a setting into its range and says so.
int32_t Bounded(TSettings& s, const char* key, int32_t low, int32_t high,
                std::vector<std::string>* problems) {
  const int32_t v = s.Int(key);
  const int32_t b = std::clamp(v, low, high);
  if (b != v && problems)
    problems->push_back(std::string(key) + " " + std::to_string(v) + " is out of range (" +
                        std::to_string(low) + ".." + std::to_string(high) + "); using " + std::to_string(b));
  return b;
}

constexpr int32_t kMaxDelaySeconds = 24 * 3600;

}  // namespace

TChecksSettings ReadChecksSettings(TSettings& s, std::vector<std::string>* problems) {
  TChecksSettings c;
  TPingRuleSettings& p = c.ping;
  p.check_enabled = s.Bool("PingCheckEnabled");
  p.measure_count = Bounded(s, "PingMessure", 1, THistoryUserList::kMaxPingSlots, problems);
  p.time_max = s.Int("PingTime");
  p.time_min = s.Int("PingTimeMin");
  p.message = s.String("PingMessage");
  p.message_min = s.String("PingMessageMin");
  std::string error;
  if (!CompilePingIgnore(p, s.String("PingIgnore"), s.String("PingIgnoreNick"), error) && problems)
    problems->push_back(error + " - no ping kicks until it is mended");
  c.skin_detect = s.Bool("EnableSkinDetect");
  c.skin_scan_seconds = Bounded(s, "ScanSkinsallXSeconds", 0, kMaxDelaySeconds, problems);
  c.skin_only_detect = s.Bool("SkinOnlyDetect");
  c.skin_kick_delay = Bounded(s, "SkinKickDelay", 0, kMaxDelaySeconds, problems);
  c.skin_kick_msg = s.String("SkinKickMsg");
  c.use_team_messages = s.Bool("UseTeamMessages");
  c.tk_detect = s.Bool("EnableTKDetect");
  c.flood_timeout_seconds = Bounded(s, "TKTeamChangeFloodTimeOut", 0, kMaxDelaySeconds, problems);
  c.flood_kick_delay = Bounded(s, "TKTeamChangeFloodTimeDelay", 0, kMaxDelaySeconds, problems);
  c.flood_msg = s.String("TKTeamChangeFloodMsg");
  c.auto_team_kick_delay = Bounded(s, "TKAutoTeamKickDelay", 0, kMaxDelaySeconds, problems);
  c.auto_team_kick_msg = s.String("TKAutoTeamKickMsg");
  c.kick_repeat = s.Int("MKickRepeat");
  c.kick_delay = s.Int("MKickDelay");
  c.quake = s.Bool("QuakeRCON");
  for (int i = 1; i < kWeaponClassCount; ++i)
    c.weapon_patterns[static_cast<size_t>(i)] = s.String(std::string("WeaponRegExpr") + kWeaponClassNames[i]);
  return c;
}

int WeaponClassContainingNick(const TChecksSettings& s, const std::string& nick) {
  if (nick.empty()) return 0;
  for (int i = 1; i < kWeaponClassCount; ++i)
    if (s.weapon_patterns[static_cast<size_t>(i)].find(nick) != std::string::npos) return i;
  return 0;
}

TPlayerChecks::TPlayerChecks(TRuntime& runtime, THistoryUserList& tracker, TKicker& kicker, TBanList* bans,
                             TRconQueryFn query)
    : runtime_(runtime), tracker_(tracker), kicker_(kicker), bans_(bans), query_(std::move(query)) {
  TTrackerHooks hooks;
  hooks.before_rows = [this](TUserList& list, double when) { BeforeRows(list, when); };
  hooks.check_nick = [this](THistoryUserEntry& h, const TUserListEntry& row) { CheckNick(h, row); };
  hooks.after_row = [this](THistoryUserEntry& h, const TUserListEntry& row, double when) {
    AfterRow(h, row, when);
  };
  tracker_.AddHooks(std::move(hooks));
  tracker_.AddEventHandler(ekTeamChange, [this](const TMohaaEvent& e) { OnTeamChange(e); });
  tracker_.AddEventHandler(ekAutoJoinTeam, [this](const TMohaaEvent& e) { OnAutoJoinTeam(e); });
  tracker_.AddEventHandler(ekBadWord, [this](const TMohaaEvent& e) { OnBadWord(e); });
}

TPlayerChecks::~TPlayerChecks() { Close(); }

void TPlayerChecks::ApplySettings(TSettings& settings) {
  std::vector<std::string> problems;
  TChecksSettings s = ReadChecksSettings(settings, &problems);
  for (const auto& p : problems) PostGlobal("TPlayerChecks: " + p, mlWarning);
  settings_.Publish(std::move(s));
}

void TPlayerChecks::Open() {
  if (!worker_) worker_ = MakeThread<TWorker>(*this);
}

void TPlayerChecks::Close() {
  if (!worker_) return;
  worker_->TerminateAndJoin();
  worker_.reset();
  std::lock_guard lock(jobs_mutex_);
  jobs_.clear();
  scanning_.clear();
}

bool TPlayerChecks::Post(std::function<void()> job) {
  {
    std::lock_guard lock(jobs_mutex_);
    if (jobs_.size() >= kMaxJobs) return false;
    jobs_.push_back(std::move(job));
  }
  WakeWorker();
  return true;
}

void TPlayerChecks::WakeWorker() {
  if (worker_) worker_->Wake();
}

bool TPlayerChecks::WaitWorkerIdle(int64_t timeout_ms) {
  std::unique_lock lock(jobs_mutex_);
  return idle_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return jobs_.empty() && !busy_; });
}

std::string TPlayerChecks::Query(const std::string& command) {
  if (query_) return query_(command);
  return SendMohaMessage(runtime_.server, command, false, -1, rpPoll);
}

// --- Ping ---------------------------------------------------------------------

void TPlayerChecks::AfterRow(THistoryUserEntry& h, const TUserListEntry& row, double) {
  const auto s = settings_.Get();
  const TPingVerdict verdict = JudgePing(s->ping, h.ping_samples);
  if (verdict == TPingVerdict::Fine || !PingFilterPasses(s->ping, row.address, row.name)) return;
  kicker_.AddKickThread(row.client_number, s->kick_repeat, s->kick_delay, {},
                        verdict == TPingVerdict::TooHigh ? s->ping.message : s->ping.message_min);
}

// --- Nicks --------------------------------------------------------------------

void TPlayerChecks::CheckNick(THistoryUserEntry& h, const TUserListEntry& row) {
  const auto s = settings_.Get();
  if (WeaponClassContainingNick(*s, row.name) == 0) return;
  // The nick goes in through its placeholder, never as template text: a
  // player's name must not be read as placeholders of its own.
  kicker_.AddKickThread(h.player.client_number, 1, 0, {},
                        std::string("%playernick%") + kWeaponNickKickSuffix);
}

}  // namespace kv
