// Chat watch throughput: chat lines posted on the bus as the log parser
// posts them, taken by the watch's subscriber into its queue and handled by
// its thread, with five bad-word expressions and five triggers configured.
// One line in twenty carries a bad word (a "Bad Word" event goes back on the
// bus), one in fifty greets (a trigger), one in thirty-three is a command;
// answers and reactions go over loopback UDP to an in-process mohsim
// through the real console senders and the rcon budget. The lines are 1 ms
// of game time apart, so the command pause and the triggers' timeouts let a
// few answers through per second of game time, as on a busy server.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "automation/chat_watch.h"
#include "bench/bench_rcon.h"
#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "domain/settings.h"
#include "enforcement/kicks.h"
#include "enforcement/templates.h"
#include "formats/config.h"
#include "gamelink/console.h"
#include "gamelink/rcon.h"
#include "gamelink/rcon_budget.h"
#include "players/history_store.h"
#include "players/tracker.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

TVarList Trigger(const std::string& pattern, const std::string& reaction) {
  TVarList t;
  t.SetValue("Trigger", pattern);
  t.SetValue("Reaction", reaction);
  t.SetValue("timeout", 30);
  return t;
}

void BM_ChatWatchThroughBus(benchmark::State& state) {
  testing::TTempHome home("chatbench");
  testing::TSimHome sim_home("secret", "chatbench");
  if (!sim_home.Started()) return state.SkipWithError("mohsim did not start");
  TManualClock clock;
  SetClock(&clock);
  TBusScope scope({{"GLOBAL", kDataPointer}});
  RegisterSystemCategories();
  TDynamicConfigData config(nullptr);
  config.SetString("BadWords", "idiot,noob,\"(?i)camp(er|ing)\",\"n[o0]{2}b\",\"(?i)\\bsh[i1]t\\b\"");
  TDataFileRegistry registry;
  TCommandTable commands(scope.Loop());
  TMohaaServerInfo info;
  info.UseConfig(&config);
  bench::PointRconAtSim(info, sim_home.Sim().Port(), "secret");
  TRuntime runtime{home.Path(), clock, scope.Loop(), config, registry, info, commands};
  uint64_t lines = 0, dropped = 0, bad_words = 0;
  {
    THUserList store(home / "Data" / "History", clock);
    store.RefreshKnownUsers();
    TKickThreadList kicks(runtime);
    kicks.Open();
    THistoryUserList tracker(runtime, store, KickThrough(kicks),
                             [](const std::string& c) { return "\"" + c + "\" is:\"0\", the default\n"; });
    tracker.Open();
    TChatWatch watch(runtime, tracker, kicks);
    TSettings settings(config, home.Path());
    watch.ReadSettings(settings);
    for (const auto& t :
         {Trigger("(?i)^hello", "Welcome %playernick%\\nHave fun"), Trigger("(?i)\\brules\\b", "No camping"),
          Trigger("(?i)teamspeak|ts3", "ts.example.invalid"),
          Trigger("^!web", "http://localhost/kelvandrome"),
          Trigger("(?i)admin\\?", "An admin reads the chat")})
      watch.Triggers().Add(t);
    watch.Open();
    static const char* const kChat[] = {"gg",
                                        "nice shot",
                                        "lol",
                                        "who wants a duel?",
                                        "cover me",
                                        "allies win",
                                        "need backup at the bridge",
                                        "sorry"};
    std::vector<std::string> texts;
    for (int i = 0; i < 100; ++i) {
      if (i % 20 == 7)
        texts.push_back("you idiot camper");
      else if (i % 50 == 3)
        texts.push_back("hello all");
      else if (i % 33 == 5)
        texts.push_back(i % 2 ? "!stats" : "!help");
      else
        texts.push_back(std::string(kChat[i % 8]) + " " + std::to_string(i));
    }
    int n = 0;
    for (auto _ : state) {
      // Batches the queue holds whole: a burst beyond it would be dropped,
      // which is the watch's protection, not its throughput.
      for (int batch = 0; batch < 4; ++batch) {
        for (int i = 0; i < 5000; ++i, ++n) {
          auto e = std::make_shared<TMohaaEvent>(ekChatMessage, texts[n % texts.size()]);
          e->time = clock.Now();
          e->log_entry = std::make_unique<TLogEntry>();
          e->log_entry->first_player.client_number = n % 32;
          e->log_entry->first_player.name = "Player" + std::to_string(n % 32);
          e->log_entry->line = e->log_entry->first_player.name + " says @all: " + e->text;
          PostEvent(std::move(e));
          clock.Advance(1);
          ++lines;
          bad_words += n % 100 % 20 == 7;
        }
        if (!watch.Flush(60000)) state.SkipWithError("the watch did not keep up within a minute");
      }
    }
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
    dropped = watch.Dropped();
    state.counters["dropped"] = static_cast<double>(dropped);
    state.counters["bad_word_lines"] = static_cast<double>(bad_words);
    watch.Close();
    bench::CountAtSim(sim_home.Sim(), state);
    SetRconTerminating(info, true);
    info.ConsoleSenders().Clear();
    tracker.Close();
    kicks.Close();
  }
  DestroyLastConsoleMsgs(info);
  SetMessageExpander(info, nullptr);
  info.UseConfig(nullptr);
  SetClock(nullptr);
}
BENCHMARK(BM_ChatWatchThroughBus)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
}  // namespace kv
