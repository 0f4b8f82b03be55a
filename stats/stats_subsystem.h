// The player score and the statistics web site as a part of the service:
// installs the score as the server state's score function (the "%skills%"
// placeholders and the chat commands ask it), generates the web pages on
// a thread of their own — on the operator's "webstats" and every
// StatsReportInterval minutes — and answers "score NICK".
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/mainloop.h"
#include "core/snapshot.h"
#include "core/threads.h"
#include "domain/runtime.h"
#include "domain/subsystem.h"
#include "players/history_store.h"
#include "stats/web_stats.h"

namespace kv {

struct TStatsSettings {
  std::string score_formula;           // ScoreFormular
  int64_t auto_stats_interval_ms = 0;  // StatsReportInterval; 0: no timed generation
};

class TStatsSubsystem : public TSubsystem {
 public:
  TStatsSubsystem(TRuntime& runtime, THUserList& store);
  ~TStatsSubsystem() override;

  std::string_view Name() const override { return "stats"; }
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void RegisterCommands(TCommandTable& commands) override;
  void ApplySettings(TSettings& settings) override;
  void Open() override;
  // Removes the score function, stops the timer and ends a generation
  // under way (the report directory then stays as it was).
  void Close() override;

  // The score of a nick with the current formula. Any thread.
  std::string Score(TMohaaServerInfo* info, const std::string& nick) const;

  enum class TStart { Started, Busy, Closed };
  // Starts a generation into the ReportDir setting (relative: under the
  // home) on the generation thread; with progress, a message every so many
  // players (the operator's command; the timer's generations are quiet
  // until their end). Main loop.
  TStart StartGeneration(bool progress);
  // The directory a generation writes into now.
  std::filesystem::path ReportDir() const;
  // Whether a generation runs. Any thread.
  bool Generating() const { return running_.load(); }
  // Progress message spacing, in players (tests use small stores).
  void SetProgressEvery(size_t players) { progress_every_ = players; }

 private:
  class TGenerationThread;
  struct TScoreSource;
  void SetTimer(int64_t interval_ms);

  TRuntime& runtime_;
  THUserList& store_;
  TWebStats web_;
  std::shared_ptr<TScoreSource> source_;  // what the installed score function reads
  std::atomic<size_t> progress_every_{500};
  bool open_ = false;
  std::atomic<bool> running_{false};  // set on the main loop, cleared by the generation thread
  TThreadPtr<TGenerationThread> generation_;
  int64_t interval_ms_ = 0;
  TTimerHandle timer_;  // after the loop it runs on (the runtime's)
};

}  // namespace kv
