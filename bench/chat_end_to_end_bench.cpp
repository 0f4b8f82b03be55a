// The chat watch as the operator meets it: the kelvandrome binary follows
// mohsim's log, where a player's chat is appended in bursts (the
// open-source server's wording), with five bad-word expressions and five
// triggers. Each burst of 5,000 lines ends with a line holding a bad word
// of its own; the burst counts as handled when that line's "Bad Word" event
// is in the events journal (the watch handles the lines in order). Parser,
// bus, the watch's queue and thread, and the journal are all in the figure.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "automation/chat_trigger_file.h"
#include "core/stream.h"
#include "tests/app/service_process.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

constexpr int kBurstLines = 5000;

TVarList Trigger(const std::string& pattern, const std::string& reaction) {
  TVarList t;
  t.SetValue("Trigger", pattern);
  t.SetValue("Reaction", reaction);
  t.SetValue("timeout", 30);
  return t;
}

void BM_ChatWatchEndToEnd(benchmark::State& state) {
  testing::TSimHome server("secret", "chatbench");
  if (!server.Started()) return state.SkipWithError(server.Error().c_str());
  mohsim::TMohSim& sim = server.Sim();
  const fs::path& home = server.Home();
  fs::create_directories(home / "Data");
  TMemoryStream triggers;
  WriteChatTriggerFile(
      triggers,
      {Trigger("(?i)^hello", "Welcome %playernick%\\nHave fun"), Trigger("(?i)\\brules\\b", "No camping"),
       Trigger("(?i)teamspeak|ts3", "ts.example.invalid"), Trigger("^!web", "http://localhost/kelvandrome"),
       Trigger("(?i)admin\\?", "An admin reads the chat")});
  std::ofstream(home / "Data" / "ChatTrigger.dat", std::ios::binary) << triggers.Str();
  // The bad words cost nothing but the event: no warning is said and the
  // kick limit is out of reach, so the speaker stays on the server.
  server.WriteIni("LocalLogFile=" + server.Log().string() +
                  "\r\nStartOnStartup=1\r\nUserRefrestTimer=1\r\nLogAllOtherEvents=1\r\n"
                  "BadWords=idiot,noob,\"(?i)camp(er|ing)\",\"n[o0]{2}b\",\"(?i)\\bendmark\\d+\\b\"\r\n"
                  "BadWordWarning=\r\nBadWordKickCount=100000000\r\n");
  const int bob = sim.Join("Bob", "81.2.3.4");
  const auto client = sim.Client("Bob");
  const std::string prefix = "{#" + std::to_string(bob) + " | " + client->ip + ":" +
                             std::to_string(client->port) + "} Bob says @all: ";
  testing::TServiceProcess service;
  if (!service.Start(home.string())) return state.SkipWithError("the service did not start");
  const fs::path events = home / "Logs" / "Events.txt";
  // Waits (reading what the service prints, so its pipe never fills) until
  // the events journal holds `needle`.
  const auto wait_for = [&](const std::string& needle, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      service.ReadUntil("\x01", 5);
      if (testing::ReadFileText(events).find(needle) != std::string::npos) return true;
    }
    return false;
  };
  // Bob reaches the player list through a poll before his lines can be his.
  int warm = 0;
  bool known = false;
  for (; warm < 30 && !known; ++warm) {
    sim.Chat("Bob", "endmark" + std::to_string(warm));  // written the way Chat writes it
    known = wait_for("Match: endmark" + std::to_string(warm) + " ", 1000);
  }
  if (!known) return state.SkipWithError("the watch never saw Bob's chat");

  static const char* const kChat[] = {
      "gg",   "nice shot", "lol", "who wants a duel?", "cover me", "allies win", "need backup at the bridge",
      "sorry"};
  int64_t lines = 0;
  double seconds = 0;
  int burst = 1000;
  for (auto _ : state) {
    std::string text;
    for (int i = 0; i < kBurstLines - 1; ++i) {
      std::string chat;
      if (i % 20 == 7)
        chat = "you idiot camper";
      else if (i % 50 == 3)
        chat = "hello all";
      else if (i % 33 == 5)
        chat = i % 2 ? "!stats" : "!help";
      else
        chat = std::string(kChat[i % 8]) + " " + std::to_string(i);
      text += prefix + chat + "\n";
    }
    const std::string marker = "endmark" + std::to_string(++burst);
    text += prefix + marker + "\n";
    const auto start = std::chrono::steady_clock::now();
    std::ofstream(server.Log(), std::ios::binary | std::ios::app) << text;
    if (!wait_for("Match: " + marker + " ", 120'000)) return state.SkipWithError("a burst was not handled");
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(s);
    seconds += s;
    lines += kBurstLines;
  }
  state.counters["lines_per_s"] = static_cast<double>(lines) / seconds;
  service.ReadUntil("\x01", 100);
  // Lines the watch had to drop (its queue full) would show here.
  state.counters["queue_full_reports"] =
      service.Output().find("chat lines wait - new ones are dropped") == std::string::npos ? 0 : 1;
  service.Signal(SIGINT);
  service.WaitExit(15000);
}
BENCHMARK(BM_ChatWatchEndToEnd)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kv
