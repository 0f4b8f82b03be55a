#include "enforcement/weapon_classes.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/bus_scope.h"
#include "core/config.h"

namespace kv {
namespace {

TEST(WeaponClassifierTest, DefaultsMakeEveryWeaponARifle) {
  TWeaponClassifier c;
  EXPECT_EQ(c.Classify(" was sniped by "), wcRifle);
  EXPECT_EQ(c.Classify(""), wcRifle);
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
  EXPECT_EQ(c.Classify(" was shot by "), wcSMG);  // ".*" of class 3
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
  SetConfig(&config);
  TWeaponClassifier c;
  c.LoadFromConfig();
  SetConfig(nullptr);
  EXPECT_EQ(c.Expressions()[wcRifle], "kar98");
  EXPECT_EQ(c.Expressions()[wcUnknown], ".*");
  EXPECT_EQ(c.Classify("thompson"), wcSniper);  // class 2 keeps ".*"
  EXPECT_EQ(c.Classify("kar98"), wcRifle);
}

TEST(WeaponClassifierTest, ClassifiesWhileExpressionsChange) {
  TWeaponClassifier c;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      const int k = c.Classify("sniped");
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
