// The weapon classifier as one part of the service: it takes the nine
// expressions at every settings load; parsers classify through it.
#pragma once

#include "domain/subsystem.h"
#include "enforcement/weapon_classes.h"

namespace kv {

class TWeaponClassSubsystem : public TSubsystem {
 public:
  std::string_view Name() const override { return "weapon classes"; }
  // Its rows of the settings catalogue.
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void ApplySettings(TSettings& settings) override;
  // Any thread.
  int Classify(std::string_view weapon_text) const { return classifier_.Classify(weapon_text); }
  TWeaponClassifier& Classifier() { return classifier_; }

 private:
  TWeaponClassifier classifier_;
};

}  // namespace kv
