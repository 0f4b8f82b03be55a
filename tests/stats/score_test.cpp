// The player score over the stored statistics, the ranking by kills and the
// page names.
#include "stats/score.h"

#include <gtest/gtest.h>

#include "domain/settings.h"
#include "tests/stats/stats_fixture.h"

namespace kv {
namespace {

using testing::TRecordedMessage;

std::string DefaultFormula() { return SettingDefaultText(*FindSetting("ScoreFormular"), "/"); }

class ScoreTest : public testing::StatsStoreTest {
 protected:
  std::string Score(const std::string& nick, const std::string& formula = DefaultFormula()) {
    return GetScore(store_, &info_, formula, nick);
  }
  // The level-4 message that starts with `prefix`, or empty.
  std::string Critical(const std::string& prefix) {
    global_.Flush();
    for (const TRecordedMessage& m : global_.Messages())
      if (m.level == mlCritical && m.text.rfind(prefix, 0) == 0) return m.text;
    return {};
  }
};

TEST_F(ScoreTest, DefaultFormulaOverStoredStatistics) {
  AddPlayer("Rookie",
            {{"MapsPlayed", TVariant(20)}, {"hasKilled", TVariant(42)}, {"wasKilled", TVariant(21)}});
  AddPlayer("Veteran",
            {{"MapsPlayed", TVariant(21)}, {"hasKilled", TVariant(42)}, {"wasKilled", TVariant(21)}});
  // Never killed: %DATAwaskilled% is left over and counts as 1.
  AddPlayer("Untouched", {{"MapsPlayed", TVariant(21)}, {"hasKilled", TVariant(42)}});
  EXPECT_EQ(Score("Rookie"), "not enough maps played");
  EXPECT_EQ(Score("Veteran"), "20000");
  EXPECT_EQ(Score("veteran"), "20000");     // nicks as the store matches them
  EXPECT_EQ(Score("Untouched"), "820000");  // ((42 - 1) * (42 / 1)) / 21 * 10000
  EXPECT_EQ(Score("Nobody"), "none");       // unknown player
  EXPECT_EQ(Score("Veteran", "%DATAhasKiled% + %DATAMapsPlayed%"), "22");  // misspelt: 1
  // More unresolved placeholders than allowed, and an unpaired percent sign.
  std::string many;
  for (int i = 0; i < 51; ++i) many += "%x" + std::to_string(i) + "%+";
  EXPECT_EQ(Score("Veteran", many + "1"), "none");
  EXPECT_EQ(Score("Veteran", "%DATAhasKilled% % 2"), "none");
  EXPECT_EQ(Critical("THistoryUserList.GetScore"), "");  // none of these is an error
}

TEST_F(ScoreTest, FormulaErrorsGiveNoneAndTheCriticalText) {
  AddPlayer("Veteran", {{"MapsPlayed", TVariant(21)}, {"hasKilled", TVariant(42)}});
  EXPECT_EQ(Score("Veteran", "((%DATAhasKilled% + 1"), "none");
  const std::string parse =
      Critical("THistoryUserList.GetScore please check the formula [((42+1] Parse Error:");
  EXPECT_GT(parse.size(),
            std::string("THistoryUserList.GetScore please check the formula [((42+1] Parse Error:").size());

  EXPECT_EQ(Score("Veteran", "unknownname + %DATAhasKilled%"), "none");
  EXPECT_NE(
      Critical("THistoryUserList.GetScore please check the formula [UNKNOWNNAME+42] Calculation Error: "),
      "");
}

// A formula that asks for the score again gets "none" for the inner score
// instead of calling itself without end.
TEST_F(ScoreTest, FormulaNamingTheScoreItselfEnds) {
  AddPlayer("Veteran", {{"MapsPlayed", TVariant(21)}, {"hasKilled", TVariant(42)}});
  const std::string formula = "IIF(\"%skills%\"=\"none\";%DATAhasKilled%;0)";
  SetScoreFunction(info_, [&](TMohaaServerInfo* info, const std::string& nick) {
    return GetScore(store_, info, formula, nick);
  });
  EXPECT_EQ(Score("Veteran", formula), "42");
  SetScoreFunction(info_, nullptr);
}

TEST_F(ScoreTest, TopKillersMostKillsFirstAtMostN) {
  AddPlayer("Five", {{"hasKilled", TVariant(5)}});
  AddPlayer("Twelve", {{"hasKilled", TVariant(12)}});
  AddPlayer("Pacifist", {{"MapsPlayed", TVariant(30)}});
  AddPlayer("Seven", {{"hasKilled", TVariant(7)}});
  auto nicks = [](const std::vector<std::unique_ptr<THistoryUserEntry>>& list) {
    std::vector<std::string> out;
    for (const auto& h : list) out.push_back(h->player.name);
    return out;
  };
  EXPECT_EQ(nicks(TopKillers(store_, 2)), (std::vector<std::string>{"Twelve", "Seven"}));
  EXPECT_EQ(nicks(TopKillers(store_, 10)), (std::vector<std::string>{"Twelve", "Seven", "Five"}));
  EXPECT_TRUE(TopKillers(store_, 0).empty());
}

TEST(SafeFileName, KeepsOnlyThePageNameCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"Bob", "Bob"},
      {"a.b c:d", "abcd"},
      {"<script>", "script"},
      {"!#%&()-;=[]_{}", "!#%&()-;=[]_{}"},
      {"Player^7|x/y\\z", "Player7xyz"},
      {"J\xF6rg", "Jrg"},  // letters beyond ASCII go as well
      {". :", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SafeFileName(c.first), c.second) << c.first;
}

}  // namespace
}  // namespace kv
