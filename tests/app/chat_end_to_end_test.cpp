// The chat watch as an operator meets it: the kelvandrome binary on a home
// whose ChatTrigger.dat greets players, following mohsim's log (chat in the
// open-source server's own wording) and polling it over loopback UDP in
// real time. A player's "!stats" is answered, the greeting fires once
// within its timeout, and a bad word typed twice ends in a kick.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "automation/chat_trigger_file.h"
#include "core/stream.h"
#include "tests/app/service_process.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

size_t CountPrefix(const mohsim::TMohSim& sim, const std::string& prefix) {
  const auto all = sim.Commands();
  return static_cast<size_t>(
      std::count_if(all.begin(), all.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

TEST(ChatEndToEnd, StatsAnsweredTriggerOncePerTimeoutBadWordKicked) {
  testing::TSimHome server("secret", "chat");
  ASSERT_TRUE(server.Started()) << server.Error();
  mohsim::TMohSim& sim = server.Sim();
  sim.SetChatDialect(mohsim::TChatDialect::Says);
  const fs::path& home = server.Home();
  fs::create_directories(home / "Data");
  TVarList greet;
  greet.SetValue("Trigger", "(?i)^hello");
  greet.SetValue("Reaction", "Welcome\\n%playernick%");
  greet.SetValue("timeout", 3600);
  TMemoryStream file;
  WriteChatTriggerFile(file, {greet});
  const std::string original = file.Str();
  std::ofstream(home / "Data" / "ChatTrigger.dat", std::ios::binary) << original;
  // Every chat line is looked at (no command pause) and every answer said
  // (no flood filter): what reaches the server is the watch's doing.
  server.WriteIni("LocalLogFile=" + server.Log().string() +
                  "\r\nStartOnStartup=1\r\nUserRefrestTimer=1\r\nChatCommandTimeout=0\r\n"
                  "FilterMessagesSend=0\r\nBadWords=idiot\r\nBadWordKickCount=2\r\n");
  const int bob = sim.Join("Bob", "81.2.3.4");

  testing::TServiceProcess service;
  ASSERT_TRUE(service.Start(home.string()));
  // Until a poll has brought Bob to the tracker the answer is that he is
  // not known; then his statistics come.
  bool answered = false;
  for (int i = 0; i < 30 && !answered; ++i) {
    const size_t unknown = CountPrefix(sim, "Say \"HMM - User [Bob] not Found\"");
    sim.Chat("Bob", "!stats");
    testing::WaitFor(
        [&] {
          answered = CountPrefix(sim, "Say \"User: [Bob]  ") > 0;
          return answered || CountPrefix(sim, "Say \"HMM - User [Bob] not Found\"") > unknown;
        },
        5000);
  }
  ASSERT_TRUE(answered) << service.Output();

  sim.Chat("Bob", "hello all");
  EXPECT_TRUE(testing::WaitFor([&] { return CountPrefix(sim, "Say \"Bob\"") == 1; }, 10000))
      << service.Output();
  EXPECT_EQ(CountPrefix(sim, "Say \"Welcome\""), 1u);
  sim.Chat("Bob", "Hello again");
  sim.Chat("Bob", "!about");  // handled after the second greeting: its answer marks that it was judged
  EXPECT_TRUE(
      testing::WaitFor([&] { return CountPrefix(sim, "Say \"ZAQ Kelvandrome is coded by") == 1; }, 10000));
  EXPECT_EQ(CountPrefix(sim, "Say \"Welcome\""), 1u);

  sim.Chat("Bob", "you idiot");
  EXPECT_TRUE(testing::WaitFor(
      [&] { return CountPrefix(sim, "Say \"Bob dont use bad Words or get kicked\"") == 1; }, 10000));
  sim.Chat("Bob", "idiot again");
  const std::string kick = "clientkick " + std::to_string(bob);
  EXPECT_TRUE(testing::WaitFor([&] { return CountPrefix(sim, kick) >= 1; }, 20000)) << service.Output();
  EXPECT_GE(CountPrefix(sim, "Say \"Bob get kicked because of bad Words\""), 1u);

  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(15000), 0) << service.Output();
  EXPECT_NE(service.Output().find("TChatWatch Started"), std::string::npos);
  // The greeting's firing travels with the file.
  TMemoryStream saved(testing::ReadFileText(home / "Data" / "ChatTrigger.dat"));
  std::vector<TVarList> triggers;
  ReadChatTriggerFile(saved, triggers);
  ASSERT_EQ(triggers.size(), 1u);
  EXPECT_GT(triggers[0].GetValue("LastExec").AsDouble(), 0.0);
  EXPECT_EQ(triggers[0].GetValue("Trigger").AsString(), "(?i)^hello");
}

}  // namespace
}  // namespace kv
