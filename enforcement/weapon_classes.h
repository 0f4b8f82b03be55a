// Sorts the weapon text of a kill line into one of the nine weapon classes
// by the operator's regular expressions ("WeaponRegExpr" + class name).
#pragma once

#include <array>
#include <memory>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>

#include "domain/domain.h"
#include "domain/settings.h"

namespace kv {

class TWeaponClassifier {
 public:
  using TExpressions = std::array<std::string, kWeaponClassCount>;

  // Starts with the default expressions, which sort the game's own
  // obituary phrases into the classes.
  TWeaponClassifier();
  ~TWeaponClassifier();
  TWeaponClassifier(const TWeaponClassifier&) = delete;
  TWeaponClassifier& operator=(const TWeaponClassifier&) = delete;

  // The setting key of a class: "WeaponRegExpr" + class name.
  static std::string SettingKey(int weapon_class);
  // The settings catalogue's defaults of the nine keys.
  static TExpressions DefaultExpressions();
  // The nine expressions' rows of the settings catalogue (keys SettingKey).
  static std::span<const TSettingRows> SettingRows();

  // Replaces the expressions; only those whose text changed are compiled
  // again. One that does not compile is reported once under "GLOBAL" at
  // level 4 ("Illigal Weapon Expression : [class] expression") and is
  // skipped by Classify until it is replaced. Any thread; takes the
  // classifier's lock exclusively.
  void SetExpressions(const TExpressions& expressions);
  // Reads the nine settings from the installed configuration (a missing
  // key gets its default) and applies them. Any thread.
  void LoadFromConfig(TDynamicConfigData& config);
  TExpressions Expressions() const;

  // Classes 1..8 in order; the first whose expression matches anywhere in
  // the text wins; 0 when none does. Any thread; takes the lock shared.
  int Classify(std::string_view weapon_text) const;

 private:
  struct TPattern;
  mutable std::shared_mutex mutex_;  // guards patterns_; a leaf
  std::array<std::unique_ptr<TPattern>, kWeaponClassCount> patterns_;
};

}  // namespace kv
