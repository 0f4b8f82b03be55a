// The ping window and its checks, and the weapon-name check of nicks, on a
// real tracker fed with player lists.
#include "rules/ping.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/rules/checks_fixture.h"

namespace kv::testing {
namespace {

using PingTest = ChecksTest;

struct TPingCase {
  const char* name;
  std::function<void(TChecksSettings&)> change;
  std::string address;
  std::string nick;
  std::vector<int32_t> pings;  // one poll each
  int kicked_at;               // 1-based poll of the kick; 0: none
  bool low = false;            // the low-ping message
};

TEST_F(PingTest, TheWindowKicksWhenItsSumCrossesALimit) {
  const std::vector<int32_t> ten300(10, 300);
  auto with = [](std::vector<int32_t> v, std::initializer_list<int32_t> more) {
    v.insert(v.end(), more);
    return v;
  };
  const TPingCase cases[] = {
      // Ten polls of 300 make 3000, not above the limit; an eleventh of 301
      // pushes the oldest out: 3001.
      {"eleventh", {}, "1.2.3.4", "Ann", with(ten300, {301}), 11},
      {"at the limit", {}, "1.2.3.4", "Ann", with(ten300, {300, 300}), 0},
      {"one huge sample", {}, "1.2.3.4", "Ann", {3001}, 1},
      {"connecting is no sample", {}, "1.2.3.4", "Ann", {999, 999, 999, 999, 2500, 501}, 6},
      {"negative is no sample", {}, "1.2.3.4", "Ann", {-3000, 2900, 101}, 3},
      {"absurd reading", {}, "1.2.3.4", "Ann", {2147483647, 2147483647}, 1},
      {"ignored address", {}, "192.168.0.7", "Ann", {5000, 5000}, 0},
      {"ignored nick",
       [](TChecksSettings& s) {
         std::string error;
         EXPECT_TRUE(CompilePingIgnore(s.ping, "", "^Ann$", error)) << error;
       },
       "1.2.3.4",
       "Ann",
       {5000},
       0},
      {"checks off", [](TChecksSettings& s) { s.ping.check_enabled = false; }, "1.2.3.4", "Ann", {5000}, 0},
      {"invalid ignore pattern spares everybody",
       [](TChecksSettings& s) {
         std::string error;
         EXPECT_FALSE(CompilePingIgnore(s.ping, "(", "", error));
         EXPECT_NE(error.find("PingIgnore [(] is not valid"), std::string::npos) << error;
       },
       "1.2.3.4",
       "Ann",
       {5000},
       0},
      // Low pings: only a full window whose sum is below the limit.
      {"low after a full window", [](TChecksSettings& s) { s.ping.time_min = 50; }, "1.2.3.4", "Ann",
       std::vector<int32_t>(10, 4), 10, true},
      {"a zero keeps its slot free", [](TChecksSettings& s) { s.ping.time_min = 50; }, "1.2.3.4", "Ann",
       with(std::vector<int32_t>(9, 4), {0, 0, 0}), 0},
      {"a short window",
       [](TChecksSettings& s) {
         s.ping.time_min = 50;
         s.ping.measure_count = 3;
       },
       "1.2.3.4",
       "Ann",
       {4, 4, 4},
       3,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRecordingKicker kicker;
    TChecksSettings s = Defaults();
    if (c.change) c.change(s);
    OpenChecks(s, &kicker);
    int kicked_at = 0;
    for (size_t i = 0; i < c.pings.size() && !kicked_at; ++i) {
      List({Row(3, c.nick, c.address, 1000, c.pings[i])});
      if (!kicker.Kicks().empty()) kicked_at = static_cast<int>(i + 1);
    }
    EXPECT_EQ(kicked_at, c.kicked_at);
    if (kicked_at) {
      const auto k = kicker.Kicks().front();
      EXPECT_EQ(k.client, 3);
      EXPECT_EQ(k.repetitions, s.kick_repeat);
      EXPECT_EQ(k.delay, s.kick_delay);
      EXPECT_EQ(k.message, c.low ? s.ping.message_min : s.ping.message);
    }
    List({});
  }
}

TEST_F(PingTest, AReturnLeavesAFreeSlotAndTheSamplesOutliveAKickRequest) {
  OpenChecks(Defaults());
  for (int i = 0; i < 10; ++i) List({Row(2, "Bea", "1.2.3.4", 1000, 100)});
  EXPECT_EQ(History("Bea")->ping_samples, std::vector<int32_t>(10, 100));
  List({});
  List({Row(2, "Bea", "1.2.3.4", 1000, 150)});
  // The return's 0 pushed the oldest out and left the last slot free; this
  // poll's 150 took it.
  auto expected = std::vector<int32_t>(9, 100);
  expected.push_back(150);
  EXPECT_EQ(History("Bea")->ping_samples, expected);
  List({Row(2, "Bea", "1.2.3.4", 1000, 2500)});
  ASSERT_EQ(kicker_.Kicks().size(), 1u);
  EXPECT_EQ(PingSum(History("Bea")->ping_samples), 100 * 8 + 150 + 2500);
}

TEST_F(PingTest, OutOfRangeSettingsAreBroughtIntoRangeAndSaidSo) {
  config_.SetInteger("PingMessure", 100000000);
  config_.SetInteger("SkinKickDelay", -5);
  TSettings settings(config_, home_.Path());
  std::vector<std::string> problems;
  const TChecksSettings s = ReadChecksSettings(settings, &problems);
  EXPECT_EQ(s.ping.measure_count, THistoryUserList::kMaxPingSlots);
  EXPECT_EQ(s.skin_kick_delay, 0);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0], "PingMessure 100000000 is out of range (1..1000); using 1000");
  // The tracker keeps no more slots than that either.
  TChecksSettings unbounded = s;
  unbounded.ping.measure_count = 100000000;
  OpenChecks(unbounded);
  PostList({Row(1, "Cy", "1.2.3.4", 1000, 10)});
  Settle();
  EXPECT_EQ(History("Cy")->ping_samples.size(), 1000u);
}

TEST_F(PingTest, NicksThatAreAPieceOfAWeaponPatternAreKickedOnJoinAndReturn) {
  OpenChecks(Defaults());
  // "rifled" is a piece of the rifle pattern "was rifled by".
  List({Row(1, "rifled", "1.2.3.4"), Row(2, "Dan", "1.2.3.5")});
  ASSERT_EQ(kicker_.Kicks().size(), 1u);
  const auto k = kicker_.Kicks()[0];
  EXPECT_EQ(k.client, 1);
  EXPECT_EQ(k.repetitions, 1);
  EXPECT_EQ(k.delay, 0);
  EXPECT_EQ(k.message,
            "%playernick% get kicked - Playernick cousing potential trouble with Weapon detection");
  kicker_.Release();
  List({});
  List({Row(4, "rifled", "1.2.3.4")});
  ASSERT_EQ(kicker_.Kicks().size(), 2u);
  EXPECT_EQ(kicker_.Kicks()[1].client, 4);

  TChecksSettings s = Defaults();
  EXPECT_EQ(WeaponClassContainingNick(s, "sniped"), 2);
  EXPECT_EQ(WeaponClassContainingNick(s, "was"), 1);  // the first class that holds it
  EXPECT_EQ(WeaponClassContainingNick(s, "|"), 5);    // plain text, not a pattern match
  EXPECT_EQ(WeaponClassContainingNick(s, ""), 0);
  EXPECT_EQ(WeaponClassContainingNick(s, "Dan"), 0);
}

}  // namespace
}  // namespace kv::testing
