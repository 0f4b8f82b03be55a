#include "stats/stats_subsystem.h"

#include <mutex>

#include "core/bus.h"
#include "core/cp1252.h"
#include "domain/settings.h"
#include "enforcement/templates.h"
#include "stats/score.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using T = TSettingType;

#define KV_SCORE_FORMULA                                                                                   \
  "IIF((%DATAMapsPlayed%>20);((((%DATAhaskilled% - %DATAwaskilled%) * (%DATAhaskilled%/%DATAwaskilled%))/" \
  "%DATAMapsPlayed%) * 10000);\"not enough maps played\")"

constexpr TSettingDef kStatisticsRows[] = {
    {"ScoreFormular", T::String, KV_SCORE_FORMULA, kStartup},
    {"ReportDir", T::String, "", kOnUse, THomeDefault::ReportDir},
    {"StatsReportInterval", T::Int, "0", kStartup},
};

#undef KV_SCORE_FORMULA

constexpr TSettingRows kStatsTables[] = {
    {TSettingPlace::Statistics, kStatisticsRows},
};

int64_t MinutesToMs(int32_t minutes) { return minutes > 0 ? int64_t{minutes} * 60'000 : 0; }

}  // namespace

// What the installed score function reaches: it may be copied by another
// thread and called after Close, so it holds its own switch.
struct TStatsSubsystem::TScoreSource {
  THUserList& store;
  TSnapshot<TStatsSettings> settings;
  std::atomic<bool> open{false};
  explicit TScoreSource(THUserList& s) : store(s) {}
};

class TStatsSubsystem::TGenerationThread : public TGeneralThread {
 public:
  TGenerationThread(TWebStats& web, fs::path dir, TWebStatsOptions options, std::atomic<bool>& running)
      : web_(web), dir_(std::move(dir)), options_(std::move(options)), running_(running) {}

 protected:
  void Execute() override {
    SetStarted(true);
    options_.cancelled = [this] { return Terminated(); };
    struct TEnd {
      std::atomic<bool>& running;
      ~TEnd() { running.store(false); }
    } end{running_};
    web_.Generate(dir_, options_);
  }

 private:
  TWebStats& web_;
  const fs::path dir_;
  TWebStatsOptions options_;
  std::atomic<bool>& running_;
};

std::span<const TSettingRows> TStatsSubsystem::Rows() { return kStatsTables; }

TStatsSubsystem::TStatsSubsystem(TRuntime& runtime, THUserList& store)
    : runtime_(runtime), store_(store), web_(store), source_(std::make_shared<TScoreSource>(store)) {}

TStatsSubsystem::~TStatsSubsystem() { Close(); }

void TStatsSubsystem::ApplySettings(TSettings& settings) {
  TStatsSettings s;
  s.score_formula = settings.String("ScoreFormular");
  s.auto_stats_interval_ms = MinutesToMs(settings.Int("StatsReportInterval"));
  source_->settings.Publish(s);
  if (open_) SetTimer(s.auto_stats_interval_ms);
}

void TStatsSubsystem::Open() {
  open_ = true;
  source_->open.store(true);
  std::shared_ptr<TScoreSource> source = source_;
  SetScoreFunction(runtime_.server, [source](TMohaaServerInfo* info, const std::string& nick) -> std::string {
    if (!source->open.load()) return "none";
    return GetScore(source->store, info, source->settings.Get()->score_formula, nick);
  });
  SetTimer(source_->settings.Get()->auto_stats_interval_ms);
}

void TStatsSubsystem::Close() {
  if (!open_) return;
  open_ = false;
  source_->open.store(false);
  SetScoreFunction(runtime_.server, nullptr);
  timer_.Reset();
  interval_ms_ = 0;
  generation_.reset();  // a generation under way is cancelled and joined
}

void TStatsSubsystem::SetTimer(int64_t interval_ms) {
  if (interval_ms == interval_ms_ && timer_.Active() == (interval_ms > 0)) return;
  timer_.Reset();
  interval_ms_ = interval_ms;
  if (interval_ms <= 0) return;
  timer_ = runtime_.loop.StartTimer(interval_ms, [this] {
    if (StartGeneration(false) == TStart::Busy)
      PostGlobal("THistoryUserList.GenerateStats still running: the timed generation is skipped", mlWarning);
  });
}

std::string TStatsSubsystem::Score(TMohaaServerInfo* info, const std::string& nick) const {
  return GetScore(store_, info, source_->settings.Get()->score_formula, nick);
}

fs::path TStatsSubsystem::ReportDir() const {
  fs::path dir = TSettings(runtime_.config, runtime_.home).String("ReportDir");
  if (dir.empty()) dir = SettingDefaultText(*FindSetting("ReportDir"), runtime_.home);
  return dir.is_absolute() ? dir : runtime_.home / dir;
}

TStatsSubsystem::TStart TStatsSubsystem::StartGeneration(bool progress) {
  if (!open_) return TStart::Closed;
  if (running_.load() || web_.Busy()) return TStart::Busy;
  generation_.reset();  // the last one has ended: reap it
  TWebStatsOptions options;
  options.template_dir = TDataFileRegistry::DataDir(runtime_.home);
  options.progress_every = progress ? progress_every_.load() : 0;
  running_.store(true);
  try {
    generation_ = MakeThread<TGenerationThread>(web_, ReportDir(), std::move(options), running_);
  } catch (...) {
    running_.store(false);
    throw;
  }
  return TStart::Started;
}

void TStatsSubsystem::RegisterCommands(TCommandTable& commands) {
  commands.Add({.name = "score",
                .args = "NICK",
                .help = "show a player's score (the ScoreFormular over his stored statistics)",
                .thread = TCommandThread::Caller,
                .needs_args = true,
                .handler = [this](const TCommandContext&, const std::string& nick) {
                  TCommandResult r;
                  r.data["nick"] = Cp1252ToUtf8(nick);
                  if (!store_.IsKnown(nick)) {
                    r.ok = false;
                    r.data["error"] = "unknown player";
                    r.text = "no player named \"" + Cp1252ToUtf8(nick) + "\" in the player history";
                    return r;
                  }
                  const std::string score = Score(&runtime_.server, nick);
                  r.data["score"] = Cp1252ToUtf8(score);
                  r.text = Cp1252ToUtf8(nick) + ": " + Cp1252ToUtf8(score);
                  return r;
                }});
  commands.Add({.name = "webstats",
                .help = "generate the statistics web pages into ReportDir now",
                .thread = TCommandThread::MainLoop,
                .right = "setup",
                .handler = [this](const TCommandContext&, const std::string&) {
                  TCommandResult r;
                  const fs::path dir = ReportDir();
                  r.data["directory"] = dir.string();
                  switch (StartGeneration(true)) {
                    case TStart::Started:
                      r.text = "generating the statistics web pages into " + dir.string() +
                               " (progress and the end are reported)";
                      break;
                    case TStart::Busy:
                      r.ok = false;
                      r.data["error"] = "busy";
                      r.text = "the statistics web pages are being generated already";
                      break;
                    case TStart::Closed:
                      r.ok = false;
                      r.data["error"] = "closed";
                      r.text = "the statistics are not running";
                      break;
                  }
                  return r;
                }});
}

}  // namespace kv
