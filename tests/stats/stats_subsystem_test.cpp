// The score and the web pages as a part of the service: the score function
// it installs in the server state, its commands, and the AutoStats timer on
// the injectable clock; then the whole service from the terminal.
#include "stats/stats_subsystem.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "app/service.h"
#include "domain/settings.h"
#include "tests/stats/stats_fixture.h"
#include "tests/support/sim_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

struct TClockScope {
  TManualClock clock{46000.5};
  TClockScope() { SetClock(&clock); }
  ~TClockScope() { SetClock(nullptr); }
};

class StatsSubsystemTest : public ::testing::Test {
 protected:
  StatsSubsystemTest() {
    server_.UseConfig(&config_);
    SetHistoryLookup(server_, std::make_shared<testing::TStoreLookup>(store_));
    auto h = std::make_shared<THistoryUserEntry>();
    h->player.name = "Veteran";
    h->persistent.SetValue("MapsPlayed", TVariant(21));
    h->persistent.SetValue("hasKilled", TVariant(42));
    h->persistent.SetValue("wasKilled", TVariant(21));
    store_.AddUser(h);
    store_.FlushUsers();
    stats_.RegisterCommands(commands_);
  }
  ~StatsSubsystemTest() override {
    OnLoop([&] { stats_.Close(); });
    SetHistoryLookup(server_, nullptr);
    server_.UseConfig(nullptr);
  }
  void OnLoop(const std::function<void()>& fn) { bus_.scope.Loop().Invoke(fn); }
  void Apply() {
    OnLoop([&] {
      TSettings settings(config_, home_.Path());
      stats_.ApplySettings(settings);
    });
  }
  std::string Skills() {
    const auto h = store_.GetUserEntry("Veteran");
    return ExpandPlaceholders(&server_, "%playernick% scores %skills%", {}, kClientNotSet, nullptr, h.get());
  }

  TClockScope clock_;
  testing::TSystemBus bus_;
  testing::TBusRecorder global_{{"GLOBAL"}};
  testing::TTempHome home_{"statsub"};
  THUserList store_{home_ / "Data" / "History", clock_.clock};
  TDynamicConfigData config_{nullptr};
  TDataFileRegistry registry_;
  TMohaaServerInfo server_;
  TCommandTable commands_{bus_.scope.Loop()};
  TRuntime runtime_{home_.Path(), clock_.clock, bus_.scope.Loop(), config_, registry_, server_, commands_};
  TStatsSubsystem stats_{runtime_, store_};
};

TEST_F(StatsSubsystemTest, ScoreFunctionAndCommandWhileOpen) {
  Apply();
  EXPECT_EQ(Skills(), "Veteran scores %skills%");  // not open yet: no score function
  OnLoop([&] { stats_.Open(); });
  EXPECT_EQ(Skills(), "Veteran scores 20000");
  EXPECT_EQ(commands_.RunLine({}, "score veteran").text, "veteran: 20000");
  const TCommandResult unknown = commands_.RunLine({}, "score Nobody");
  EXPECT_FALSE(unknown.ok);
  EXPECT_EQ(unknown.text, "no player named \"Nobody\" in the player history");
  EXPECT_EQ(commands_.RunLine({}, "score").text, "usage: score NICK");

  // A new formula applies to the next score.
  config_.SetString("ScoreFormular", "%DATAhasKilled% * 2");
  Apply();
  EXPECT_EQ(Skills(), "Veteran scores 84");

  OnLoop([&] { stats_.Close(); });
  EXPECT_EQ(server_.ScoreFunction(), nullptr);
  EXPECT_EQ(Skills(), "Veteran scores %skills%");
}

TEST_F(StatsSubsystemTest, TimerGeneratesIntoReportDirEveryInterval) {
  config_.SetInteger("StatsReportInterval", 2);
  Apply();
  OnLoop([&] { stats_.Open(); });
  const fs::path dir = home_ / "Stats";  // the default ReportDir
  EXPECT_EQ(stats_.ReportDir(), dir);
  clock_.clock.Advance(119'000);
  OnLoop([] {});  // the loop has looked at its timers
  EXPECT_FALSE(fs::exists(dir));
  clock_.clock.Advance(1'000);
  ASSERT_TRUE(global_.WaitForText("THistoryUserList.GenerateStats Done", 10'000));
  ASSERT_TRUE(testing::WaitFor([&] { return !stats_.Generating(); }, 10'000));
  EXPECT_TRUE(fs::exists(dir / "Veteran.html"));

  // Off at 0; a relative ReportDir lies under the home.
  config_.SetInteger("StatsReportInterval", 0);
  config_.SetString("ReportDir", "www");
  Apply();
  clock_.clock.Advance(600'000);
  OnLoop([] {});
  EXPECT_EQ(global_.CountText("THistoryUserList.GenerateStats Done"), 1u);
  {
    // The generation waits for the store while the test holds it: a second
    // request finds it running.
    TRecursiveLockGuard held(store_.StoreLock());
    const TCommandResult started = commands_.RunLine({}, "webstats");
    EXPECT_EQ(started.text, "generating the statistics web pages into " + (home_ / "www").string() +
                                " (progress and the end are reported)");
    const TCommandResult busy = commands_.RunLine({}, "webstats");
    EXPECT_FALSE(busy.ok);
    EXPECT_EQ(busy.text, "the statistics web pages are being generated already");
    EXPECT_TRUE(stats_.Generating());
  }
  ASSERT_TRUE(
      testing::WaitFor([&] { return global_.CountText("THistoryUserList.GenerateStats Done") == 2; }));
  ASSERT_TRUE(testing::WaitFor([&] { return !stats_.Generating(); }));
  EXPECT_TRUE(fs::exists(home_ / "www" / "index.html"));
  EXPECT_EQ(global_.CountText("THistoryUserList.GenerateStats Started"), 2u);
}

// The operator's way: the service on a home whose store has players, the
// terminal's "webstats", the pages in ReportDir.
TEST(StatsService, TerminalWebstatsWritesThePages) {
  testing::TSimHome server("pw", "webstats");
  ASSERT_TRUE(server.Started()) << server.Error();
  server.WriteIni();
  {
    TManualClock clock;
    THUserList store(server.Home() / "Data" / "History", clock);
    for (const char* nick : {"Alice", "<b>Bob</b>"}) {
      auto h = std::make_shared<THistoryUserEntry>();
      h->player.name = nick;
      h->persistent.SetValue("hasKilled", TVariant(3));
      store.AddUser(h);
    }
    store.FlushUsers();
  }
  std::ostringstream terminal;
  TKelvandromeService service({server.Home().string(), &terminal});
  service.Open();
  testing::TBusRecorder global({"GLOBAL"});
  // The loop runs as the program runs it, and ends also when a check fails.
  struct TRunning {
    TKelvandromeService& service;
    std::thread loop{[this] { service.Run(); }};
    ~TRunning() {
      service.RequestStop();
      loop.join();
      service.Close();
    }
  } running{service};
  const fs::path dir = server.Home() / "Stats";
  EXPECT_EQ(service.TerminalCommand("webstats"), "generating the statistics web pages into " + dir.string() +
                                                     " (progress and the end are reported)");
  ASSERT_TRUE(global.WaitForText("THistoryUserList.GenerateStats Done", 20'000));
  EXPECT_NE(
      testing::ReadFileText(dir / "index.html").find("<a href=\"bBobb.html\">&lt;b&gt;Bob&lt;/b&gt;</a>"),
      std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "Alice.html"));
  EXPECT_EQ(service.TerminalCommand("score Alice"), "Alice: not enough maps played");
}

}  // namespace
}  // namespace kv
