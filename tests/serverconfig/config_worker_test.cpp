// Configuration sets applied to mohsim over loopback UDP, every wait on the
// manual clock: the commands as the server receives them, the delay, the
// switches of our checks, the busy rule, cancel, and a server that never
// answers.
#include <gtest/gtest.h>

#include <chrono>

#include "serverconfig/configlist.h"
#include "tests/serverconfig/config_fixture.h"

namespace kv::testing {
namespace {

TVariant S(const char* s) { return TVariant(std::string(s)); }
TVariant I(int32_t i) { return TVariant(i); }

class ConfigWorkerTest : public ConfigRig {
 protected:
  ConfigWorkerTest() { list_.Open(); }

  // Moves the clock whenever the worker waits on it until `done` holds;
  // false after 20 s of real time.
  bool DriveUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 1000; ++i) {
      if (!WaitFor([&] { return done() || list_.WorkerWaiting(); }, 20'000)) return false;
      if (done()) return true;
      Advance(500);
    }
    return false;
  }
};

// The operator applies a set from the terminal: the announcement first,
// nothing more until the delay has passed on the clock, then our checks
// switched and the server's commands one by one, each when its pause is
// over, with the server's settings changed accordingly.
TEST_F(ConfigWorkerTest, SetIsAppliedCommandByCommand) {
  ASSERT_TRUE(list_.Add(MakeSet({
      {"Name", S("Clan War")},
      {"announcemessage", S("Clan war in 30 seconds")},
      {"configdelay", I(30)},
      {"TeamKillerCheck", TVariant(false)},
      {"EnableMessageEvents", TVariant(false)},
      {"PingCheck", TVariant(true)},
      {"ServerName", S("War Server")},
      {"passwd", S("war")},
      {"maxping", I(-1)},
      {"maxclients", I(20)},
      {"ff", TVariant(true)},
      {"map", S("dm/mohdm6")},
      {"commands", S("restart=30,\"g_motd hello\"")},
  })));
  const TCommandResult started = commands_.RunLine({}, "config apply clan war");
  ASSERT_TRUE(started.ok) << started.text;
  EXPECT_EQ(started.text, "applying configuration \"Clan War\"");

  ASSERT_TRUE(WaitFor([&] { return list_.WorkerWaiting(); }));
  EXPECT_EQ(Received(), (std::vector<std::string>{"say \"Clan war in 30 seconds\""}));
  EXPECT_NE(commands_.RunLine({}, "config list").text.find("Clan War  (being applied: waiting 30 s)"),
            std::string::npos);
  Advance(29'999);
  EXPECT_EQ(Received().size(), 1u);
  EXPECT_EQ(reapplied_, 0);
  Advance(1);
  // The switches are written before the first command's pause is over.
  ASSERT_TRUE(WaitFor([&] { return list_.WorkerWaiting(); }));
  EXPECT_EQ(reapplied_, 1);
  EXPECT_FALSE(config_.GetBoolDef("EnableTKDetect", true));
  EXPECT_TRUE(config_.GetBoolDef("StopEventMessage", false));
  EXPECT_TRUE(config_.GetBoolDef("PingCheckEnabled", false));
  EXPECT_EQ(Received().size(), 1u);
  Advance(499);
  EXPECT_EQ(Received().size(), 1u);
  Advance(1);
  ASSERT_TRUE(WaitFor([&] { return Received().size() == 2; }));

  ASSERT_TRUE(Drive());
  EXPECT_EQ(Received(), (std::vector<std::string>{
                            "say \"Clan war in 30 seconds\"",
                            "sv_hostname \"War Server\"",
                            "password  \"war\"",
                            "sv_privatepassword  \"\"",
                            "g_teamdamage 1",
                            "set sv_maxclients 20",
                            "map dm/mohdm6",
                            "restart",
                            "g_motd hello",
                        }));
  EXPECT_EQ(sim_.Map(), "dm/mohdm6");
  EXPECT_NE(sim_.Execute("sv_hostname", false).find("is:\"War Server\""), std::string::npos);
  EXPECT_NE(sim_.Execute("sv_maxclients", false).find("is:\"20\""), std::string::npos);
  EXPECT_TRUE(global_.WaitForText("TMohaaConfigList: configuration \"Clan War\" activated"));
  EXPECT_FALSE(list_.Busy());
  EXPECT_EQ(commands_.RunLine({}, "config list").text, "1. Clan War");
}

// While one set is applied no other is taken; cancelling during the delay
// stops before any check is switched or any server setting sent, and the
// next set is taken at once.
TEST_F(ConfigWorkerTest, BusyRuleAndCancelDuringTheDelay) {
  ASSERT_TRUE(list_.Add(MakeSet({{"Name", S("Slow")},
                                 {"announcemessage", S("Changing soon")},
                                 {"configdelay", I(600)},
                                 {"TeamKillerCheck", TVariant(false)}})));
  ASSERT_TRUE(list_.Add(MakeSet({{"Name", S("Quick")}})));
  EXPECT_FALSE(list_.Activate("Nothing"));
  ASSERT_TRUE(list_.Activate("Slow"));
  EXPECT_FALSE(list_.Activate("Quick"));
  const TCommandResult refused = commands_.RunLine({}, "config apply Quick");
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.text.find("another configuration is being applied"), std::string::npos) << refused.text;

  ASSERT_TRUE(WaitFor([&] { return list_.WorkerWaiting(); }));
  Advance(300'000);
  const TCommandResult cancelled = commands_.RunLine({}, "config cancel");
  EXPECT_TRUE(cancelled.ok);
  ASSERT_TRUE(WaitFor([&] { return !list_.Busy(); }));
  EXPECT_TRUE(global_.WaitForText("TMohaaConfigList: activation of configuration \"Slow\" cancelled"));
  EXPECT_EQ(Received(), (std::vector<std::string>{"say \"Changing soon\""}));
  EXPECT_EQ(reapplied_, 0);
  EXPECT_TRUE(config_.GetBoolDef("EnableTKDetect", true));

  ASSERT_TRUE(list_.Activate("Quick"));
  ASSERT_TRUE(Drive());
  EXPECT_EQ(Received("password").size(), 1u);
  EXPECT_TRUE(global_.WaitForText("TMohaaConfigList: configuration \"Quick\" activated"));
}

// A server that never answers: each command costs its attempts and a clear
// word, the activation goes on, and cancel ends it.
TEST_F(ConfigWorkerTest, ServerThatNeverAnswers) {
  config_.SetInteger("UDPTimeOut", 0);  // half a second of real time per attempt
  sim_.SetMuted(true);
  ASSERT_TRUE(list_.Add(MakeSet({{"Name", S("Lost")}, {"passwd", S("secret")}})));
  ASSERT_TRUE(list_.Activate("Lost"));
  const std::string warning =
      "TMohaaConfigList: password not acknowledged after 12 attempts - Timeout - check your setup and "
      "connection";
  ASSERT_TRUE(DriveUntil([&] { return global_.CountText(warning) == 1; }));
  EXPECT_EQ(Received("password").size(), 12u);
  // The second command is under way; the operator gives up.
  list_.Cancel();
  ASSERT_TRUE(WaitFor([&] { return !list_.Busy(); }, 10'000));
  EXPECT_TRUE(global_.WaitForText("TMohaaConfigList: activation of configuration \"Lost\" cancelled"));
  EXPECT_LE(Received("sv_privatepassword").size(), 2u);
  // No password ever shows in a message.
  for (const auto& m : global_.Messages()) EXPECT_EQ(m.text.find("secret"), std::string::npos) << m.text;
}

// Cancel ends a reply wait under way at once, not after the command's
// five minutes.
TEST_F(ConfigWorkerTest, CancelEndsARequestUnderWay) {
  ASSERT_TRUE(list_.Add(MakeSet({{"Name", S("Restart")}, {"commands", S("restart=300")}})));
  ASSERT_TRUE(list_.Activate("Restart"));
  ASSERT_TRUE(
      DriveUntil([&] { return Received("sv_privatepassword").size() == 1 && list_.WorkerWaiting(); }));
  sim_.SetMuted(true);
  ASSERT_TRUE(DriveUntil([&] { return Received("restart").size() == 1; }));
  const auto asked = std::chrono::steady_clock::now();
  list_.Cancel();
  ASSERT_TRUE(WaitFor([&] { return !list_.Busy(); }, 10'000));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
  EXPECT_TRUE(global_.WaitForText("TMohaaConfigList: activation of configuration \"Restart\" cancelled"));
  EXPECT_EQ(Received("restart").size(), 1u);
}

// A set whose values cannot be sent is refused before anything is sent; a
// set deleted while its request waited is reported; the worker goes on.
TEST_F(ConfigWorkerTest, UnsendableSetFailsCleanly) {
  ASSERT_TRUE(list_.Add(MakeSet({{"Name", S("Bad")}, {"announcemessage", S("hi")}, {"passwd", S("a\"b")}})));
  ASSERT_TRUE(list_.Activate("Bad"));
  ASSERT_TRUE(WaitFor([&] { return !list_.Busy(); }));
  EXPECT_TRUE(
      global_.WaitForText("TMohaaConfigList failed with: the value of passwd holds a double quote or a line "
                          "break and cannot be sent"));
  EXPECT_TRUE(Received().empty());
  ASSERT_TRUE(list_.Add(MakeSet({{"Name", S("Fine")}})));
  ASSERT_TRUE(list_.Activate("Fine"));
  ASSERT_TRUE(Drive());
  EXPECT_EQ(Received().size(), 2u);
}

// Closing the service ends a set's long wait at once.
TEST_F(ConfigWorkerTest, CloseEndsAWaitingActivation) {
  ASSERT_TRUE(list_.Add(MakeSet({{"Name", S("Long")}, {"configdelay", I(3600)}})));
  ASSERT_TRUE(list_.Activate("Long"));
  ASSERT_TRUE(WaitFor([&] { return list_.WorkerWaiting(); }));
  list_.Close();
  EXPECT_TRUE(global_.WaitForText("TMohaaConfigList Stopped"));
  EXPECT_TRUE(Received().empty());
  EXPECT_FALSE(list_.Activate("Long"));
}

}  // namespace
}  // namespace kv::testing
