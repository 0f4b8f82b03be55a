#include "enforcement/weapon_classes.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "core/bus_scope.h"
#include "domain/events.h"
#include "domain/settings.h"
#include "domain/userlist.h"
#include "formats/config.h"
#include "gamelink/logparser.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

using testing::TBusRecorder;

class GameObituaryTest : public ::testing::Test {
 protected:
  // Names that are parts of the game's words and of each other.
  GameObituaryTest() {
    auto list = std::make_unique<TUserList>();
    int number = 0;
    for (const char* name : {"Major Tom", "Tom", "ed", "by", "himself", "a", "up", "land mine", "head"}) {
      TUserListEntry row;
      row.name = name;
      row.client_number = number++;
      list->Add(row);
    }
    server_.players.With([&](std::unique_ptr<TUserList>& slot) { slot = std::move(list); });
  }

  TWeaponClassifier classifier_;
  TServerLogEventChecker parser_{[this](std::string_view text) { return classifier_.Classify(text); }};
  TMohaaServerInfo server_;
};

// Every way the game words a kill, with and without the hit location, is a
// kill of the victim (first) by the killer (second) in its weapon class.
TEST_F(GameObituaryTest, DefaultsSortEveryKillPhrase) {
  struct TPhrase {
    const char* phrase;
    const char* suffix;
    int weapon_class;
  };
  const TPhrase phrases[] = {
      {"was sniped by", "", wcSniper},
      {"was rifled by", "", wcRifle},
      {"was perforated by", "'s' SMG", wcSMG},
      {"was perforated by", "'s SMG", wcSMG},
      {"was machine-gunned by", "", wcMG},
      {"was gunned down by", "", wcPistol},
      {"was shot by", "", wcUnknown},
      {"took", "'s rocket right in the kisser", wcRocket},
      {"took", "'s rocket in the face", wcRocket},
      {"was hunted down by", "", wcShotgun},
      {"was pumped full of buckshot by", "", wcShotgun},
      {"tripped on", "'s grenade", wcGrenade},
      {"is picking", "'s shrapnel out of his teeth", wcGrenade},
      {"was blown away by", "", wcUnknown},
      {"was bashed by", "", wcUnknown},
      {"was clubbed by", "", wcUnknown},
      {"stepped on", "'s landmine", wcUnknown},
      {"was crushed by", "", wcUnknown},
      {"was telefragged by", "", wcUnknown},
      {"was burned up by", "", wcUnknown},
      {"was melted by", "", wcUnknown},
      {"was pushed over the edge by", "", wcUnknown},
      {"was knocked out by", "", wcUnknown},
      {"was run over by", "", wcUnknown},
      {"was impaled by", "", wcUnknown},
      {"was killed by", "", wcUnknown},
  };
  const std::pair<const char*, const char*> players[] = {{"Major Tom", "ed"}, {"ed", "by"}, {"by", "Tom"}};
  for (const auto& p : phrases) {
    for (const char* location : {"", " in the head", " in the lower left leg"}) {
      for (const auto& [victim, killer] : players) {
        const std::string line =
            std::string("\x04") + victim + " " + p.phrase + " " + killer + p.suffix + location;
        SCOPED_TRACE(line);
        const auto event = parser_.Recognise(&server_, line);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(event->kind, ekKill);
        EXPECT_EQ(event->log_entry->first_player.name, victim);
        EXPECT_EQ(event->log_entry->second_player.name, killer);
        EXPECT_EQ(event->variables.GetValue("Weapon").AsInteger(), p.weapon_class);
      }
    }
  }
}

// A death by oneself or by the world names one player: never a kill, even
// when the other words are names of players.
TEST_F(GameObituaryTest, DeathsWithoutAKillerAreNoKills) {
  const char* deaths[] = {
      "took himself out of commision",
      "was burned to a crisp",
      "was melted to nothing",
      "cratered",
      "blew himself up",
      "played catch with himself",
      "tripped on his own grenade",
      "rocketed himself",
      "shot himself",
      "shot himself in the head",
      "was hoist on his own pitard",
      "died",
      "blew up",
      "caught some shrapnel",
      "caught a rocket",
      "was shot",
      "was shot in the head",
      "was shot in the upper right arm",
      "stepped on a land mine",
  };
  for (const char* death : deaths) {
    for (const char* victim : {"Major Tom", "Tom", "ed", "up"}) {
      const std::string line = std::string("\x04") + victim + " " + death;
      EXPECT_EQ(parser_.Recognise(&server_, line), nullptr) << line;
    }
  }
}

TEST(WeaponClassifierTest, FirstMatchingClassInOrderWins) {
  TWeaponClassifier c;
  auto e = TWeaponClassifier::DefaultExpressions();
  e[wcRifle] = "rifle";
  e[wcSniper] = "(?i)SNIPED";
  e[wcSMG] = "machine.gunned";  // the dot also takes a line break
  e[wcMG] = "gunned";
  e[wcRocket] = "^rocket$";
  e[wcShotgun] = "\\bshot\\b";
  e[wcGrenade] = "grenade|blown";
  e[wcPistol] = "\xE4";  // Windows-1252 bytes are matched as bytes
  c.SetExpressions(e);
  const std::pair<const char*, int> cases[] = {
      {" was sniped by ", wcSniper},    {" was machine\ngunned by ", wcSMG},
      {" was gunned down by ", wcMG},   {"rocket", wcRocket},
      {"a rocket", wcUnknown},          {" was shot by ", wcShotgun},
      {" was blown up by ", wcGrenade}, {"Rifle", wcUnknown},
      {"rifle and grenade", wcRifle},   {"pist\xE4l", wcPistol},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(c.Classify(text), expected) << text;
}

TEST(WeaponClassifierTest, IllegalExpressionIsReportedOnceAndSkipped) {
  TBusScope bus;
  TBusRecorder global({"GLOBAL"});
  TWeaponClassifier c;
  auto e = TWeaponClassifier::DefaultExpressions();
  e[wcRifle] = "([unclosed";
  e[wcSniper] = "sniped";
  c.SetExpressions(e);
  EXPECT_EQ(c.Classify(" was sniped by "), wcSniper);
  EXPECT_EQ(c.Classify(" was perforated by 's' SMG"), wcSMG);
  const std::string text = "Illigal Weapon Expression : [Rifle] ([unclosed";
  ASSERT_TRUE(global.WaitForText(text));
  c.SetExpressions(e);  // unchanged text: not compiled or reported again
  c.Classify("x");
  global.Monitor().Flush(2000);
  EXPECT_EQ(global.CountText(text), 1u);
  EXPECT_EQ(global.Messages().back().level, mlCritical);
}

TEST(WeaponClassifierTest, ReadsTheNineSettings) {
  TDynamicConfigData config(nullptr);
  config.SetString("WeaponRegExprRifle", "kar98");
  config.SetString("WeaponRegExprSub Machinegun", "thompson");
  TWeaponClassifier c;
  c.LoadFromConfig(config);
  EXPECT_EQ(c.Expressions()[wcRifle], "kar98");
  EXPECT_EQ(c.Expressions()[wcUnknown], ".*");
  EXPECT_EQ(c.Classify("thompson"), wcSMG);
  EXPECT_EQ(c.Classify("kar98"), wcRifle);
  EXPECT_EQ(c.Classify(" was sniped by "), wcSniper);  // a missing key keeps its default
  // The keys read are the catalogue's own, with its defaults.
  for (int k = 0; k < kWeaponClassCount; ++k) {
    const TSettingDef* def = FindSetting(TWeaponClassifier::SettingKey(k));
    ASSERT_NE(def, nullptr) << k;
    EXPECT_EQ(def->def, TWeaponClassifier::DefaultExpressions()[k]);
  }
}

// A fresh INI gets the defaults written as they are (quotes, bars and all),
// a value the operator set stays.
TEST(WeaponClassifierTest, IniKeepsOperatorValuesAndGetsTheDefaults) {
  const testing::TTempHome home("weapons");
  const auto path = home / "kelvandrome.ini";
  {
    std::ofstream(path, std::ios::binary) << "[Global]\r\nWeaponRegExprRifle=kar98\r\n";
    TConfigFile file(path.string());
    TDynamicConfigData config(&file);
    TWeaponClassifier c;
    c.LoadFromConfig(config);
  }
  TConfigFile file(path.string());
  TDynamicConfigData config(&file);
  TWeaponClassifier c;
  c.LoadFromConfig(config);
  // The settings load stores what the INI lacks, in one rewrite.
  StoreMissingSettings(config, path.parent_path());
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto expected = TWeaponClassifier::DefaultExpressions();
  expected[wcRifle] = "kar98";
  EXPECT_EQ(c.Expressions(), expected);
  EXPECT_NE(text.find("\r\nWeaponRegExprGrenade=" + expected[wcGrenade] + "\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\nWeaponRegExprRifle=kar98\r\n"), std::string::npos) << text;
}

TEST(WeaponClassifierTest, ClassifiesWhileExpressionsChange) {
  TWeaponClassifier c;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      const int k = c.Classify(" was sniped by ");
      ASSERT_TRUE(k == wcRifle || k == wcSniper);
    }
  });
  auto e = TWeaponClassifier::DefaultExpressions();
  for (int i = 0; i < 200; ++i) {
    e[wcRifle] = i % 2 ? "nomatch" : ".*";
    c.SetExpressions(e);
  }
  stop = true;
  reader.join();
}

}  // namespace
}  // namespace kv
